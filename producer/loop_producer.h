/// \file
/// TKorviProducer: the loop producer, a data producer that also repeats a
/// section of the template once for every row of a data set:
///
///   <!LOOPlabel DS=source&DIRECTION=REVERSE>
///   ...lines with %field% entries of the current row...
///   <!ENDLOOPlabel>
///
/// Keywords are found anywhere in a line, without regard to case. The label
/// (the text after "<!LOOP" up to the first blank, upper-cased) picks the end
/// directive, so a loop nested in another carries a label the outer end
/// directive does not match. Parameters are "&"-separated fields: DS
/// (required: a number or a data source's name) and DIRECTION (REVERSE walks
/// from the last row to the first). A DS naming no data source drops the loop.
///
/// Every line is expanded with ExpandDynamicContent (no second tag pass). A
/// loop writes the expanded text before its directive, one CR LF, for every
/// row the expanded body lines followed by 25 empty reads of two CR LF pairs
/// each, one CR LF and the expanded text after its end directive.
///
/// A loop without DS raises Exception " ERROR: DS not set in Loop Directive ";
/// a loop directive without ">" raises "Unterminated Loop Driective [<text>]";
/// loops nested deeper than kMaxLoopDepth raise "Loop Directive nested too
/// deeply [<directive>]". These end the page. A missing or unterminated end
/// directive ends the template at that loop, which is still processed with
/// the body collected so far.
///
/// List mode limits the loops over one data source (ListDS) to a window of
/// rows: from row FirstRecord, at most MaxRecords rows (at least one).
///
/// Field values go into pages as they are unless EscapeFieldValues is on;
/// other texts (replacement texts of tags and of OnEntryField) always do:
/// escaping those for HTML is the caller's business.
#pragma once

#include <cstdint>
#include <string>

#include "korvi/producer/data_producer.h"

namespace korvi {

class TKorvi;
class TKorviRequest;
class TTemplateLines;
class TKorviResponse;

/// The loop producer: repeats a section of the template for every row of a data set.
class TKorviProducer : public TKorviDataProducer {
 public:
  /// How deeply loops may nest; each level costs stack space.
  static constexpr int kMaxLoopDepth = 100;

  /// Creates the producer with list mode off.
  explicit TKorviProducer(TComponent* owner) : TKorviDataProducer(owner) {}

  /// List mode: the number (from 1) of the first row written.
  std::int32_t FirstRecord = 0;
  /// List mode: the list data set's record count, set when its loop starts.
  std::int32_t ListCount = 0;
  /// List mode: the most rows written (at least one is).
  std::int32_t MaxRecords = 0;
  /// Switches list mode on for the loops over ListDS.
  bool ListMode = false;
  /// Writes the data-set field values of entries with &, <, > and " as HTML
  /// entities, so stored text cannot add markup or tags to the page.
  bool EscapeFieldValues = false;
  /// The list data source, a number or a name as GetDS reads it.
  const std::string& ListDS() const { return list_ds_; }
  /// Stores the list data-source reference.
  void SetListDS(const std::string& value) { list_ds_ = value; }

  ///@{
  /// The request, response and server of the page being produced (not owned;
  /// set and read by whoever drives the producer for a request).
  TKorviRequest* Request = nullptr;
  TKorviResponse* Response = nullptr;
  TKorvi* Server = nullptr;
  ///@}

  /// The page: the template's lines from the stream's start, loops repeated.
  std::string ContentFromStream(TStream& stream) override;
  /// The data producer's field value, escaped when EscapeFieldValues is on.
  std::string HandleEntry(const std::string& name, bool& handled) override;

  /// Writes one loop to `output`: `directive` is its text from "<!LOOP" to
  /// ">" inclusive, `label` its upper-cased label, `body` a stream holding its
  /// lines (each followed by CR LF). Raises for a missing DS or too deep a
  /// nesting; errors of the data layer pass through.
  virtual void ProcessLoop(const std::string& directive, const std::string& label, TStream& body,
                           TStream& output);

 protected:
  /// Expands the lines of `input` (from its start) into `output`, running
  /// ProcessLoop for every loop met.
  void ExpandLines(TStream& input, TStream& output);

 private:
  /// ExpandLines over template lines read before (from where Next stands).
  void ExpandLines(TTemplateLines& lines, TStream& output);

  std::string list_ds_;
  int loop_depth_ = 0;
};

}  // namespace korvi
