// TKorviParser: the forward-only template scanner under every producer.
//
// The scanner reads an input stream through one 4096-byte buffer that always
// holds whole lines, splits the text into tokens and can copy what it passes
// (blanks, tokens, stretches of text) to an output stream, so that a producer
// lets ordinary text flow through and intercepts only what it recognises.
//
// Tokens: toEOF (0) at the end of the input, toSymbol (1) for an identifier
// (a letter or "_", then letters, digits and "_"), and for every other
// non-blank byte the byte itself ('<', '#', '>', ...). Blanks are the bytes 1
// to 32 (CR and LF included); a zero byte ends the input as far as the
// scanner is concerned. A line longer than the buffer raises EParserError
// "Error: line to long on line <n>".
//
// Errors raise EParserError with "<message> on line <n>"; stream errors pass
// through. After an error the scanner's state is unspecified: destroy it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>

#include "korvi/host/exceptions.h"

namespace korvi {

class TStream;

// Token codes; every other code is the byte of a one-character token.
constexpr char toEOF = 0;
constexpr char toSymbol = 1;
constexpr char toString = 2;   // named by CheckToken only; never scanned
constexpr char toInteger = 3;  // named by CheckToken only; never scanned
constexpr char toFloat = 4;    // named by CheckToken only; never scanned

class TKorviParser {
 public:
  // Size of the line buffer: no line of the input may be longer.
  static constexpr std::size_t kBufferSize = 4096;

  // Scans `input` from its position; `output` (may be null, then every copy
  // is skipped) receives the copies. The leading blanks are copied and the
  // first token becomes current without being copied. Neither stream is owned.
  TKorviParser(TStream& input, TStream* output);
  // Moves the input stream back to the start of the current token, so that
  // the buffered but unscanned bytes are given back.
  ~TKorviParser();
  TKorviParser(const TKorviParser&) = delete;
  TKorviParser& operator=(const TKorviParser&) = delete;

  // Skips blanks (copying them when `copy_blanks`), reads one token (copying
  // it when `copy_token`) and makes it current; returns its code.
  char SkipToNextToken(bool copy_blanks, bool copy_token);
  // SkipToNextToken copying blanks and token.
  char NextToken() { return SkipToNextToken(true, true); }
  // SkipToNextToken without copying the token.
  char SkipToken(bool copy_blanks) { return SkipToNextToken(copy_blanks, false); }
  // Advances over blanks, refilling the buffer as needed.
  void SkipBlanks(bool copy_blanks);
  // Writes the current token's text to the output.
  void CopyTokenToOutput() { UpdateOutStream(token_start_); }

  // The current token's code.
  char Token() const { return token_; }
  // The current token's text (empty at the end of the input).
  std::string TokenString() const;
  // The token text as an integer; raises EConvertError when it is none.
  std::int32_t TokenInt() const;
  // The token text as a floating-point number; raises EConvertError when it is none.
  double TokenFloat() const;
  // True when the current token is an identifier equal to `symbol` without
  // regard to ASCII case.
  bool TokenSymbolIs(std::string_view symbol) const;
  // Reads a dotted identifier starting with the current one ("a.b.c") and
  // returns it; raises "Identifier Expected" when a "." is not followed by one.
  std::string TokenComponentIdent();
  // Raises unless the current token has code `token`.
  void CheckToken(char token);
  // Raises "<symbol> expected" unless TokenSymbolIs(symbol).
  void CheckTokenSymbol(std::string_view symbol);
  // Byte position of the current token relative to where the input stood
  // when the scanner was created.
  std::int64_t SourcePos() const { return origin_ + static_cast<std::int64_t>(token_start_); }
  // The line counter: 1 plus the line feeds skipped so far.
  std::int64_t SourceLine() const { return source_line_; }

  // Refills the buffer with whole lines from the input.
  void ReadBuffer();

  // Advances token by token until the current token has code `token` or the
  // input ends; returns the blanks and tokens passed (neither the token on
  // entry nor the one that stops). Copies them too when `copy`.
  std::string CopySkipToToken(char token, bool copy);
  // Returns the rest of the current line from the token start, then reads the
  // next token (copying it and the blanks before it). Empty only at the end
  // of the input.
  std::string CopySkipToEOL(bool copy);
  // Returns (and copies when `copy`) up to `count` bytes from the token
  // start; reads no new token.
  std::string CopySkipTo(std::int64_t count, bool copy);
  // Returns (and copies when `copy`) everything from the token start to the
  // end of the input; the current token is then toEOF.
  std::string CopySkipToEOF(bool copy);

  std::string CopyToToken(char token) { return CopySkipToToken(token, true); }
  std::string CopyToEOL() { return CopySkipToEOL(true); }
  std::string CopyTo(std::int64_t count) { return CopySkipTo(count, true); }
  std::string CopyToEOF() { return CopySkipToEOF(true); }
  std::string SkipToToken(char token) { return CopySkipToToken(token, false); }
  std::string SkipToEOL() { return CopySkipToEOL(false); }
  std::string SkipTo(std::int64_t count) { return CopySkipTo(count, false); }
  std::string SkipToEOF() { return CopySkipToEOF(false); }

  // Raises EParserError "<message> on line <n>".
  [[noreturn]] void Error(const std::string& message) const { ErrorStr(message); }
  // Formats `format` with `args` (korvi::Format), then as Error.
  [[noreturn]] void ErrorFmt(std::string_view format, std::initializer_list<FormatArg> args) const;
  // Raises EParserError "<message> on line <n>".
  [[noreturn]] void ErrorStr(const std::string& message) const;

 protected:
  // Writes the buffer bytes from index `from` up to the source position to
  // the output.
  void UpdateOutStream(std::size_t from);

 private:
  // SkipBlanks that also appends the skipped blanks to `collected` (when not null).
  void SkipBlanksInto(bool copy_blanks, std::string* collected);
  // Writes buffer bytes [from, to) to the output (when there is one).
  void WriteOut(std::size_t from, std::size_t to);
  // Takes buffer bytes from the source position up to the first zero byte or
  // `limit` bytes, into `result` (and the output when `copy`).
  void TakeBuffered(std::int64_t limit, bool copy, std::string& result);

  TStream& input_;
  TStream* output_;
  std::int64_t origin_ = 0;
  std::unique_ptr<char[]> buffer_;
  std::size_t fill_end_ = 0;
  std::size_t source_ = 0;
  std::size_t source_end_ = 0;
  std::size_t token_start_ = 0;
  std::int64_t source_line_ = 1;
  char save_char_ = 0;
  char token_ = toEOF;
};

}  // namespace korvi
