// Page producers: template sources, the tag pass and tag kinds.
#include "korvi/producer/page_producer.h"

#include <memory>

#include "korvi/host/streams.h"
#include "korvi/host/sysutils.h"
#include "korvi/producer/korvi_parser.h"
#include "korvi/web/http_text.h"

namespace korvi {

TTag TagKindOf(std::string_view name) {
  static constexpr struct {
    const char* name;
    TTag kind;
  } kKinds[] = {{"EMBED", tgEmbed}, {"OBJECT", tgObject}, {"IMAGEMAP", tgImageMap},
                {"TABLE", tgTable}, {"IMAGE", tgImage},   {"LINK", tgLink}};
  for (const auto& kind : kKinds) {
    if (SameText(name, kind.name)) return kind.kind;
  }
  return tgCustom;
}

// TKorviCustomPageProducer

void TKorviCustomPageProducer::SetHTMLFile(const std::string& value) {
  if (SameText(value, html_file_)) return;
  html_doc_.Clear();
  html_file_ = value;
}

void TKorviCustomPageProducer::SetHTMLDoc(const TStringList& value) {
  html_doc_.Assign(value);
  html_file_.clear();
}

std::string TKorviCustomPageProducer::Content() {
  std::unique_ptr<TStream> stream;
  if (!html_file_.empty()) {
    stream = std::make_unique<TFileStream>(html_file_, fmOpenRead | fmShareDenyWrite);
  } else {
    stream = std::make_unique<TStringStream>(html_doc_.Text());
  }
  return ContentFromStream(*stream);
}

std::string TKorviCustomPageProducer::ContentFromString(const std::string& text) {
  TStringStream stream(text);
  return ContentFromStream(stream);
}

void TKorviCustomPageProducer::SplitTagParams(std::string_view text, TStringList& params) {
  static const TCharSet kBlank{' '};
  ExtractHTTPFields(kBlank, kBlank, text, params);
}

std::string TKorviCustomPageProducer::ContentFromStream(TStream& stream) {
  TStringStream out;
  TKorviParser parser(stream, &out);
  for (;;) {
    // Ordinary text flows through with the blanks between its tokens.
    while (parser.Token() != toEOF && parser.Token() != '<') {
      parser.CopyTokenToOutput();
      parser.SkipToken(true);
    }
    if (parser.Token() == toEOF) break;
    // A "<": the blanks after it are dropped whether or not a tag follows.
    parser.SkipToken(false);
    if (parser.Token() != '#') {
      out.WriteString("<");
      parser.CopyTokenToOutput();
      parser.SkipToken(true);
      continue;
    }
    parser.SkipToken(false);
    const std::string name = parser.TokenString();
    TStringList params;
    SplitTagParams(Trim(parser.SkipToToken('>')), params);
    out.WriteString(HandleTag(name, params));
    parser.SkipToken(true);
  }
  return out.DataString();
}

std::string TKorviCustomPageProducer::HandleTag(const std::string& tag_string, TStringList&) {
  return Format("<#%s>", {tag_string});
}

// TKorviPageProducer

std::string TKorviPageProducer::HandleTag(const std::string& tag_string, TStringList& tag_params) {
  std::string replace_text;
  DoTagEvent(TagKindOf(tag_string), tag_string, tag_params, replace_text);
  return replace_text;
}

void TKorviPageProducer::DoTagEvent(TTag tag, const std::string& tag_string,
                                    TStringList& tag_params, std::string& replace_text) {
  if (OnHTMLTag) OnHTMLTag(this, tag, tag_string, tag_params, replace_text);
}

}  // namespace korvi
