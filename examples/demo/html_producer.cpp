// THTMLProducer: a loop producer that escapes the field values it inserts
// and answers its tags from the page parts.
#include "html_producer.h"

#include <utility>

#include "data/data_set.h"
#include "data/data_source.h"
#include "host/sysutils.h"
#include "web/http_text.h"

namespace korvi {

THTMLProducer::THTMLProducer(const std::string& template_file, TPageParts parts)
    : TKorviProducer(nullptr), parts_(std::move(parts)) {
  SetHTMLFile(template_file);
}

THTMLProducer::~THTMLProducer() = default;

void THTMLProducer::AddDataSet(const std::string& name, std::unique_ptr<TDataSet> dataset) {
  auto source = std::make_unique<TDataSource>(nullptr);
  source->SetName(name);
  source->SetDataSet(dataset.get());
  AddDataSource(source.get());
  datasets_.push_back(std::move(dataset));
  sources_.push_back(std::move(source));
}

std::string THTMLProducer::HandleEntry(const std::string& name, bool& handled) {
  return HTMLEscape(TKorviProducer::HandleEntry(name, handled));
}

void THTMLProducer::DoTagEvent(TTag, const std::string& tag_string, TStringList&,
                               std::string& replace_text) {
  const auto part = parts_.find(LowerCase(tag_string));
  if (part != parts_.end()) replace_text = part->second;
}

}  // namespace korvi
