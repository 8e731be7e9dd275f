/// \file
/// TKorviProcessor: serves an HTML file as the content of a response in one
/// call. Each ProcessHtmlFile call runs the file through a loop producer of
/// its own whose entries understand the request:
///
///   %name%          a data-source field, else the request field
///                   HTTPFieldPrefix + name, else OnEntry, else the built-in
///                   names request.host, date, time and datetime
///   `%#n.field%`    field of data source n (`%#.field%`: the highest-numbered
///                   source that has it)
///   %^field%        the request field HTTPFieldPrefix + field
///   %&name%         the value OnEntry gives for name
///
/// and whose tags open and close named queries for the page:
///
///   `<#q Action=ADDQUERY Name=qOrders CustNo=^cust>` the next data source
///   `<#q Action=DELQUERY DS=3>`                       source 3 removed
///
/// Values that come from the request (%^field%, the prefixed request field,
/// request.host) are HTML-escaped in the page, so a request can neither put
/// markup into it nor forge a query directive; bound as query parameters they
/// keep their raw text. Data-set fields (`%name%`, `%#n.field%`) go into the
/// page as they are unless EscapeFieldValues is on; texts from OnEntry always
/// do: the application owns them.
///
/// ProcessQuery runs a named query for a submitted form. In its first form
/// the form itself names the query (field FQuery) and the fields it must
/// fill (FRequired), so any client can run any query of the data modules it
/// is given without those fields: use it only where every client is trusted.
/// A public site uses the second form, where the application fixes the query
/// and its required fields (TFormQuery) and the form supplies only values.
/// Calls may overlap on one processor: everything a call opens belongs to
/// that call.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "korvi/dynamic/page_queries.h"
#include "korvi/host/component.h"
#include "korvi/producer/loop_producer.h"

namespace korvi {

class TKorvi;
class TKorviRequest;
class TKorviResponse;
class TParam;
class TStringList;

/// Asks the application for the text of entry `Name` (lower case). Handled
/// arrives true from a page entry and false for a marked "&" reference;
/// leaving it true makes ReplaceStr the text. Sender is the page's producer,
/// or nullptr while ProcessQuery resolves a query parameter.
using TDPOnEntry =
    std::function<void(TObject* Sender, TKorviRequest* Request, TKorviResponse* Response,
                       const std::string& Name, std::string& ReplaceStr, bool& Handled)>;
/// A query the application runs for a form, whatever the form asks for.
struct TFormQuery {
  /// A field the form must fill, and the message reported when it is empty
  /// ("" gives "ERROR: Missing Required Field [<Name>]").
  struct TRequiredField {
    /// The field's name.
    std::string Name;
    /// The message reported when it is empty.
    std::string Help;
  };
  /// The component name of the query in the data modules.
  std::string Query;
  /// Checked in this order; the first empty one is reported.
  std::vector<TRequiredField> Required;
};

/// Asks the application for the text that replaces a tag that is no query
/// directive. Sender is the page's producer.
using TDPTagEvent = std::function<void(
    TObject* Sender, TKorviRequest* Request, TKorviResponse* Response, TTag Tag,
    const std::string& TagString, TStringList& TagParams, std::string& ReplaceText)>;

/// Serves an HTML file with entries and query tags as a response.
class TKorviProcessor : public TComponent {
 public:
  /// Creates the processor with HandleHTTPFields and HandleQueryTags on and
  /// no HTTPFieldPrefix.
  explicit TKorviProcessor(TComponent* Owner);

  // --- Published properties ---

  /// Entries no data source resolves, and "&" references.
  TDPOnEntry OnEntry;
  /// Tags that are not query directives.
  TDPTagEvent OnHTMLTag;
  /// Entries and "^" references may read request fields.
  bool HandleHTTPFields = true;
  /// Put in front of an entry name to form the request field name read.
  std::string HTTPFieldPrefix;
  /// Tags of custom kind with Action=ADDQUERY or DELQUERY are query directives.
  bool HandleQueryTags = true;
  /// Data-set field values in the page are HTML-escaped (&, <, >, "), so
  /// stored text cannot add markup or directives to it.
  bool EscapeFieldValues = false;
  /// HTML appended to every processed page, after everything the file holds
  /// (empty: nothing). DefaultFooter() unless the application changes it.
  std::string Footer = DefaultFooter();
  /// The product footer: "<br><center>Produced by the Korvi web server, ..."
  static std::string DefaultFooter();

  // --- Pages ---

  /// Sets the content of `Response` to the file `FileName` run through a loop
  /// producer with `DataSources` as its sources 1, 2, ... (at most 12) and
  /// queries taken from `DataModules` (at most 24), followed by Footer.
  /// Any failure makes the content "ERROR: " and the message, as "text/html".
  /// The response is not sent.
  void ProcessHtmlFile(TKorvi* Server, TKorviRequest* Request, TKorviResponse* Response,
                       const std::string& FileName, const std::vector<TDataSource*>& DataSources,
                       const TDataModules& DataModules);

  /// The producer's entry handler: request-aware meanings of `Name`.
  void KP1EntryField(TObject* Sender, const std::string& Name, std::string& ReplaceStr,
                     bool& Handled);
  /// The producer's tag handler: query directives, then OnHTMLTag. `Page`
  /// holds the call's data modules and opened queries.
  void KP1HTMLTag(TObject* Sender, TTag Tag, const std::string& TagString, TStringList& TagParams,
                  std::string& ReplaceText, TPageQueries& Page);
  /// The raw text of a marked reference ("#", "&" or "^" first); empty for
  /// any other text. `Producer` may be nullptr ("#" then gives nothing).
  std::string ExpandIt(TKorviProducer* Producer, TKorviRequest* Request, TKorviResponse* Response,
                       const std::string& Name);

  // --- Queries ---

  /// ADDQUERY: opens a copy of the query named by parameter "Name" from the
  /// page's data modules, its parameters set from the directive's marked
  /// references, as the producer's next data source. Nothing happens when no
  /// module holds the name, no copy can be made or the list is full.
  void AddQuery(TKorviProducer* Producer, const TStringList& Params, TPageQueries& Page);
  /// DELQUERY: removes data source number "DS" from the producer's list and
  /// closes its query when the page opened it (a source the caller supplied
  /// is only taken off the list); never fails.
  void DelQuery(TKorviProducer* Producer, const TStringList& Params, TPageQueries& Page);
  /// True when request field `Name` is filled; otherwise false with Message
  /// set to the field Name + "Help" or "ERROR: Missing Required Field [Name]".
  /// The message may come from the request and is not escaped.
  static bool CheckForField(TKorviRequest* Request, TKorviResponse* Response, std::string& Message,
                            const std::string& Name);
  /// True when every field named in FRequired (";"-separated) is filled;
  /// otherwise false with the message of the first missing one.
  static bool GotRequired(TKorviRequest* Request, TKorviResponse* Response, std::string& Message);
  /// Sets `Param` from `Value` as its declared type requires; "0" and ""
  /// set an empty text. Raises Exception "Unmatched parameter type for
  /// [name]" for types without a text form, and conversion errors.
  static void SetParam(TParam& Param, const std::string& Value);
  /// Runs the query named by form field FQuery, found in `DataModules`, once
  /// the FRequired fields are filled, with its parameters resolved from their
  /// design-time texts. True when it ran; otherwise false with Message set.
  bool ProcessQuery(TKorvi* Server, TKorviRequest* Request, TKorviResponse* Response,
                    const TDataModules& DataModules, std::string& Message);
  /// Runs `Form.Query`, found in `DataModules`, once the fields of
  /// `Form.Required` are filled, with its parameters resolved from their
  /// design-time texts as above. The request's FQuery, FRequired and
  /// `<name>Help` fields are never read. True when it ran; otherwise false with
  /// Message set.
  bool ProcessQuery(TKorvi* Server, TKorviRequest* Request, TKorviResponse* Response,
                    const TDataModules& DataModules, const TFormQuery& Form, std::string& Message);

 private:
  /// Runs the query named `Name` from `DataModules` with its parameters
  /// resolved for the request. True when it ran; otherwise false with
  /// Message set.
  bool RunQuery(TKorvi* Server, TKorviRequest* Request, TKorviResponse* Response,
                const TDataModules& DataModules, const std::string& Name, std::string& Message);
};

}  // namespace korvi
