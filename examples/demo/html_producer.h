// THTMLProducer: the loop producer of the tea house's own pages.
//
// Field values from its data sets go into the page HTML-escaped
// (EscapeFieldValues), so text from the database (a name somebody typed,
// say) can add neither markup nor producer tags to it. Tags <#name> are replaced by the
// page parts the application hands over: HTML it builds itself, which goes
// in as it is (escape what a part takes from a request).
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include <korvi/producer/loop_producer.h>

namespace korvi {

class TDataSet;
class TDataSource;

// The HTML that replaces each tag <#name>, by the tag's name in lower case.
using TPageParts = std::map<std::string, std::string>;

class THTMLProducer : public TKorviProducer {
 public:
  // A producer of the page in the template file `template_file` whose tags
  // are replaced by `parts`; tags without a part vanish.
  THTMLProducer(const std::string& template_file, TPageParts parts);
  ~THTMLProducer() override;

  // Adds `dataset` (owned from now on) as the next data source, named `name`
  // for the page's entries (%name.field%) and loops (DS=name).
  void AddDataSet(const std::string& name, std::unique_ptr<TDataSet> dataset);

 protected:
  // Replaces the tag named `tag_string` by its page part.
  void DoTagEvent(TTag tag, const std::string& tag_string, TStringList& tag_params,
                  std::string& replace_text) override;

 private:
  TPageParts parts_;
  std::vector<std::unique_ptr<TDataSet>> datasets_;
  std::vector<std::unique_ptr<TDataSource>> sources_;
};

}  // namespace korvi
