// THTMLProducer: a loop producer that escapes the field values it inserts
// and answers its tags from the page parts.
#include "html_producer.h"

#include <utility>

#include <korvi/data/data_set.h>
#include <korvi/data/data_source.h>
#include <korvi/host/sysutils.h>

namespace korvi {

THTMLProducer::THTMLProducer(const std::string& template_file, TPageParts parts)
    : TKorviProducer(nullptr), parts_(std::move(parts)) {
  SetHTMLFile(template_file);
  EscapeFieldValues = true;
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

void THTMLProducer::DoTagEvent(TTag, const std::string& tag_string, TStringList&,
                               std::string& replace_text) {
  const auto part = parts_.find(LowerCase(tag_string));
  if (part != parts_.end()) replace_text = part->second;
}

}  // namespace korvi
