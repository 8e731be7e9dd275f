/// \file
/// TKorviDataProducer: a page producer that also fills a template with values
/// from data sets. It keeps a numbered list of up to twelve data sources and
/// replaces field entries ‘%name%’ with field values:
///
///   %City%           field City of the first source whose data set has it
///   %Customer.City%  field City of the source named Customer (any case)
///   %2.City%         field City of source number 2
///   %First+Name%     "+" stands for a blank: field "First Name"
///   %%               nothing
///
/// An entry no source resolves goes to OnEntryField; then "TIME" and "DATE"
/// give the current local time and date; anything else leaves
/// " ERROR: Field [<name>] not found " in the page. A "%" with a blank before
/// the next "%" (or without a next one on its line) is plain text.
///
/// The template is read line by line: blank lines and leading blanks are
/// dropped and every line is written with two CR LF pairs, followed by 26
/// empty reads of two pairs each; then the tag pass of the page producer runs
/// over the result, so tags in field values and replacement texts are
/// expanded too. That pass reads whole lines through the scanner, so an
/// expanded line longer than its buffer (a long field value without line
/// ends) raises EParserError "Error: line to long on line <n>".
///
/// Texts go into pages as they are: escaping for HTML is the caller's business.
#pragma once

#include <array>
#include <functional>
#include <string>
#include <string_view>

#include "korvi/producer/page_producer.h"

namespace korvi {

class TDataSource;

/// An entry ‘%Name%’ no data source resolved: set Handled and ReplaceStr to
/// supply its text.
using TKPOnEntry = std::function<void(TObject* Sender, const std::string& Name,
                                      std::string& ReplaceStr, bool& Handled)>;

/// A page producer that also fills field entries with values from data sets.
class TKorviDataProducer : public TKorviPageProducer {
 public:
  /// Most data sources a producer holds.
  static constexpr int kMaxDataSources = 12;

  /// Creates the producer with no data sources.
  explicit TKorviDataProducer(TComponent* owner) : TKorviPageProducer(owner) {}

  /// Raised for entries that no data source resolved.
  TKPOnEntry OnEntryField;

  /// Number of data sources held (numbered 1 to TotalDS).
  int TotalDS() const { return total_ds_; }
  /// Appends `source` (not owned) as number TotalDS + 1; false when it is
  /// null or all twelve slots are in use.
  bool AddDataSource(TDataSource* source);
  /// Removes source `number` (1 to TotalDS); later sources move down one
  /// number. Any other number does nothing.
  void DelDataSource(int number);
  /// Source `number` (1 to TotalDS), else null.
  TDataSource* GetDSByNumber(int number) const;
  /// GetDS(name).
  TDataSource* GetDSByName(const std::string& name) const { return GetDS(name); }
  /// The source `reference` designates: a number (any integer text but "-1")
  /// reads as GetDSByNumber, anything else as a component name compared
  /// without regard to case. Null when there is none.
  TDataSource* GetDS(const std::string& reference) const;

  /// The value of entry `name` from the data sources ("+" read as a blank).
  /// `handled` is false when no source has the field; errors of the data
  /// layer count as not found. An empty name is handled and gives "". A bad
  /// "%" escape in `name` raises EConvertError.
  virtual std::string HandleEntry(const std::string& name, bool& handled);
  /// One template line with its entries and then its tags expanded; the
  /// result ends with two CR LF pairs.
  std::string ExpandDynamicContent(const std::string& line);
  /// ExpandDynamicContent appending to `out`.
  void AppendDynamicContent(std::string_view line, std::string& out);
  /// One line with its tags ‘`<#name params>`’ replaced through HandleTag (the
  /// tag must end on the line; "<" and "#" must touch); the result ends with
  /// CR LF.
  std::string ExpandTags(const std::string& line);

  /// The page: the entry pass line by line from the stream's start, then the
  /// tag pass over its result.
  std::string ContentFromStream(TStream& stream) override;

 private:
  /// The text an entry resolves to, down the chain of sources, OnEntryField,
  /// TIME/DATE and the error text.
  std::string ResolveEntry(const std::string& name);
  /// ExpandTags appending to `out`, without the CR LF.
  void AppendTags(std::string_view text, std::string& out);

  std::array<TDataSource*, kMaxDataSources> sources_{};
  int total_ds_ = 0;
};

}  // namespace korvi
