// TKorviProducer: the line loop that finds loop sections and collects their
// bodies, and ProcessLoop, which walks a data set and expands the body once
// per row (recursively for nested loops).
#include "korvi/producer/loop_producer.h"

#include <exception>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "korvi/data/data_set.h"
#include "korvi/data/data_source.h"
#include "korvi/host/exceptions.h"
#include "korvi/host/streams.h"
#include "korvi/host/sysutils.h"
#include "korvi/producer/korvi_parser.h"
#include "korvi/web/http_text.h"

namespace korvi {

// The lines of a template as the scanner reads them, read once and given
// out as often as wanted: Next returns them in order, then raises what
// ended the reading if anything did, else returns empty lines (as the
// scanner does once the input is exhausted).
class TTemplateLines {
 public:
  explicit TTemplateLines(TStream& input) {
    input.SetPosition(0);
    try {
      // The scanner's copies are not wanted: it writes to no stream.
      TKorviParser parser(input, nullptr);
      for (std::string line = parser.SkipToEOL(); !line.empty(); line = parser.SkipToEOL())
        lines_.push_back(std::move(line));
    } catch (...) {
      failure_ = std::current_exception();
    }
  }

  const std::string& Next() {
    if (next_ < lines_.size()) return lines_[next_++];
    if (failure_) std::rethrow_exception(failure_);
    return kNone;
  }

  /// The next Next returns the first line again.
  void Rewind() { next_ = 0; }

 private:
  static inline const std::string kNone;
  std::vector<std::string> lines_;
  std::exception_ptr failure_;
  std::size_t next_ = 0;
};

namespace {

// A line loop ends after its 25th consecutive empty read (the scanner
// returns empty lines only once the input is exhausted).
constexpr int kEmptyReadsToEnd = 25;
const char* const kCRLF = "\r\n";

// The page as it is produced; it is moved out when complete.
class TPageStream : public TStringStream {
 public:
  std::string Take() { return std::move(data_); }
};

// Room the expanded lines of one pass gather in before they are written.
constexpr std::size_t kGatherSize = 1024;

// Where "<!LOOP" (in any case) first stands in `line`, else npos.
std::size_t FindLoopDirective(std::string_view line) {
  static constexpr std::string_view kDirective = "<!LOOP";
  for (std::size_t at = line.find("<!"); at != line.npos; at = line.find("<!", at + 1)) {
    if (line.size() - at >= kDirective.size() &&
        SameText(line.substr(at + 2, 4), kDirective.substr(2))) {
      return at;
    }
  }
  return line.npos;
}

// The label of a loop directive: the text after "<!LOOP" up to the first
// blank (or the closing ">"), upper-cased.
std::string LoopLabel(const std::string& directive) {
  const std::size_t start = 6;  // after "<!LOOP"
  std::size_t end = directive.find(' ', start);
  if (end == std::string::npos) end = directive.size() - 1;  // before ">"
  return UpperCase(directive.substr(start, end - start));
}

// Reads the lines of a loop's body into `body` (each followed by CR LF) up
// to the first line holding `end_marker`, whose text before the marker is
// the body's last line. `remainder` receives the text after the end
// directive's ">". Returns false when the template ends at this loop: the
// input ended first (`remainder` empty), the end directive has no ">"
// (`remainder` is the line from the marker on) or reading failed
// (`remainder` is the last line read).
bool CollectBody(TTemplateLines& lines, const std::string& end_marker, TStringStream& body,
                 std::string& remainder) {
  try {
    for (;;) {
      remainder = lines.Next();
      if (remainder.empty()) return false;  // only at the end of the input
      const std::size_t marker = UpperCase(remainder).find(end_marker);
      if (marker == std::string::npos) {
        body.WriteString(remainder + kCRLF);
        continue;
      }
      body.WriteString(remainder.substr(0, marker) + kCRLF);
      remainder.erase(0, marker);
      const std::size_t close = remainder.find('>');
      if (close == std::string::npos) {
        throw Exception("Unterminated ENDLoop Driective [" + remainder + "]");
      }
      remainder.erase(0, close + 1);
      return true;
    }
  } catch (const std::exception&) {
    // The loop is still processed with the body so far; the error itself is
    // not reported.
    return false;
  }
}

// Keeps the nesting depth of loops being processed.
class TDepthGuard {
 public:
  explicit TDepthGuard(int& depth) : depth_(depth) { ++depth_; }
  ~TDepthGuard() { --depth_; }
  TDepthGuard(const TDepthGuard&) = delete;
  TDepthGuard& operator=(const TDepthGuard&) = delete;

 private:
  int& depth_;
};

}  // namespace

std::string TKorviProducer::HandleEntry(const std::string& name, bool& handled) {
  const std::string value = TKorviDataProducer::HandleEntry(name, handled);
  return EscapeFieldValues && handled ? HTMLEscape(value) : value;
}

std::string TKorviProducer::ContentFromStream(TStream& stream) {
  TPageStream page;
  ExpandLines(stream, page);
  return page.Take();
}

void TKorviProducer::ExpandLines(TStream& input, TStream& output) {
  TTemplateLines lines(input);
  ExpandLines(lines, output);
}

void TKorviProducer::ExpandLines(TTemplateLines& lines, TStream& output) {
  // The expanded lines gather here and go to `output` in one write before
  // each loop and at the end, also when an error ends the page.
  std::string text;
  text.reserve(kGatherSize);
  auto flush = [&output, &text] {
    output.WriteBuffer(text.data(), static_cast<std::int64_t>(text.size()));
    text.clear();
  };
  // A part whose expansion fails leaves nothing of itself.
  auto expand = [this, &text](std::string_view part) {
    const std::size_t before = text.size();
    try {
      AppendDynamicContent(part, text);
    } catch (...) {
      text.resize(before);
      throw;
    }
  };
  try {
    int empty_reads = 0;
    bool last_pass = false;
    while (!last_pass) {
      const std::string& line = lines.Next();
      empty_reads = line.empty() ? empty_reads + 1 : 0;
      last_pass = empty_reads >= kEmptyReadsToEnd;
      const std::size_t at = FindLoopDirective(line);
      if (at == std::string::npos) {
        expand(line);
        continue;
      }
      expand(std::string_view(line).substr(0, at));
      const std::size_t close = line.find('>', at);
      if (close == std::string::npos) {
        throw Exception("Unterminated Loop Driective [" + line.substr(at) + "]");
      }
      const std::string directive = line.substr(at, close - at + 1);
      std::string remainder = line.substr(close + 1);
      text += kCRLF;
      const std::string label = LoopLabel(directive);
      TStringStream body;
      body.WriteString(remainder + kCRLF);
      if (!CollectBody(lines, "<!ENDLOOP" + label, body, remainder)) last_pass = true;
      flush();
      ProcessLoop(directive, label, body, output);
      text += kCRLF;
      expand(remainder);
    }
  } catch (...) {
    flush();
    throw;
  }
  flush();
}

void TKorviProducer::ProcessLoop(const std::string& directive, const std::string&, TStream& body,
                                 TStream& output) {
  TDepthGuard depth(loop_depth_);
  if (loop_depth_ > kMaxLoopDepth) {
    throw Exception("Loop Directive nested too deeply [" + directive + "]");
  }
  TStringList params;
  const std::size_t blank = directive.find(' ');
  if (blank != std::string::npos) {
    const std::size_t close = directive.find('>', blank);
    static const TCharSet kAmpersand{'&'};
    static const TCharSet kBlank{' '};
    ExtractHeaderFields(kAmpersand, kBlank, Trim(directive.substr(blank, close - blank)), params,
                        false);
  }
  const std::string ds = params.Values("DS");
  if (ds.empty()) throw Exception(" ERROR: DS not set in Loop Directive ");
  TDataSource* source = GetDS(ds);
  TDataSet* dataset = source == nullptr ? nullptr : source->DataSet();
  if (dataset == nullptr) return;

  const bool reverse = SameText(params.Values("DIRECTION"), "REVERSE");
  auto ended = [&] { return reverse ? dataset->Bof() : dataset->Eof(); };
  auto step = [&] { reverse ? dataset->Prior() : dataset->Next(); };
  if (reverse) {
    dataset->Last();
  } else {
    dataset->First();
  }
  const bool list_mode = ListMode && GetDS(list_ds_) == source;
  if (list_mode) {
    ListCount = dataset->RecordCount();
    for (std::int32_t row = 1; !ended() && FirstRecord > row; ++row)
      step();
  }
  // One pass per record at most: a loop inside this one that walks the same
  // data set the other way leaves the cursor where this loop never ends.
  const std::int32_t records = dataset->RecordCount();
  std::int32_t written = 0;
  // The body is read once; every row expands the lines read.
  TTemplateLines lines(body);
  for (std::int32_t pass = 0; pass < records && !ended(); ++pass) {
    lines.Rewind();
    ExpandLines(lines, output);
    step();
    if (list_mode && ++written >= MaxRecords) break;
  }
}

}  // namespace korvi
