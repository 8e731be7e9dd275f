/// \file
/// Page producers: TKorviCustomPageProducer runs the tag pass over a template
/// (a file or inline lines) and replaces every tag ‘`<#name parameters>`’ with
/// the text HandleTag gives; TKorviPageProducer hands each tag to the
/// application's OnHTMLTag event.
///
/// Template syntax: a tag is "<", optional blanks, "#", optional blanks, a
/// name, optional parameters and ">" (the first ">" after the name, even
/// inside quotes; across line ends if need be; the end of the input when
/// there is none). Parameters are blank-separated name=value fields,
/// URL-decoded, so a value with blanks is written with "+" or "%20" or the
/// whole field is quoted. Everything else is copied unchanged, except that
/// the blanks after a "<" that does not open a tag are dropped.
///
/// Texts go into pages as they are: escaping for HTML is the caller's business.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "korvi/host/string_list.h"
#include "korvi/producer/custom_producer.h"

namespace korvi {

/// The kind of a tag, found from its name.
enum TTag { tgCustom, tgLink, tgImage, tgTable, tgImageMap, tgObject, tgEmbed };

/// The kind of the tag named `name` ("LINK", "IMAGE", "TABLE", "IMAGEMAP",
/// "OBJECT", "EMBED", whole names without regard to case); tgCustom otherwise.
TTag TagKindOf(std::string_view name);

/// A tag was met: set ReplaceText to the text that takes the tag's place.
using THTMLTagEvent = std::function<void(TObject* Sender, TTag Tag, const std::string& TagString,
                                         TStringList& TagParams, std::string& ReplaceText)>;

/// A producer that runs the tag pass over a template file or inline lines.
class TKorviCustomPageProducer : public TCustomKorviProducer {
 public:
  /// Creates the producer with an empty HTMLDoc.
  explicit TKorviCustomPageProducer(TComponent* owner) : TCustomKorviProducer(owner) {}

  /// The template file; when set, Content reads it instead of HTMLDoc.
  const std::string& HTMLFile() const { return html_file_; }
  /// Stores a new name and empties HTMLDoc; a change of letter case only is ignored.
  void SetHTMLFile(const std::string& value);
  ///@{
  /// The inline template, one line per entry.
  TStringList& HTMLDoc() { return html_doc_; }
  const TStringList& HTMLDoc() const { return html_doc_; }
  ///@}
  /// Copies `value` into HTMLDoc and empties HTMLFile.
  void SetHTMLDoc(const TStringList& value);

  /// The page made from HTMLFile (opened for reading, others may read but not
  /// write it meanwhile; a missing file raises EFOpenError) or else from the
  /// lines of HTMLDoc, each followed by CR LF, through ContentFromStream.
  std::string Content() override;
  /// The tag pass over `stream` from its position; scanner errors and
  /// exceptions of HandleTag pass to the caller.
  std::string ContentFromStream(TStream& stream) override;
  /// ContentFromStream over the text.
  std::string ContentFromString(const std::string& text) override;

  /// The text that replaces the tag `tag_string`: here "<#name>" (the
  /// parameters are dropped).
  virtual std::string HandleTag(const std::string& tag_string, TStringList& tag_params);

 protected:
  /// Appends the blank-separated, URL-decoded fields of a tag's parameter
  /// text to `params`; raises EConvertError for a bad "%" escape.
  static void SplitTagParams(std::string_view text, TStringList& params);

 private:
  std::string html_file_;
  TStringList html_doc_;
};

/// A page producer that hands each tag to OnHTMLTag.
class TKorviPageProducer : public TKorviCustomPageProducer {
 public:
  /// Creates the producer without a tag handler.
  explicit TKorviPageProducer(TComponent* owner) : TKorviCustomPageProducer(owner) {}

  /// Raised for every tag; without a handler tags are replaced by nothing.
  THTMLTagEvent OnHTMLTag;

  /// The kind of the tag, then DoTagEvent; returns the text it leaves.
  std::string HandleTag(const std::string& tag_string, TStringList& tag_params) override;

 protected:
  /// Calls OnHTMLTag with this producer as Sender when a handler is assigned.
  virtual void DoTagEvent(TTag tag, const std::string& tag_string, TStringList& tag_params,
                          std::string& replace_text);
};

}  // namespace korvi
