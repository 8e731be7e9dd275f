// PageTest: a real TKorvi on a loopback port whose every request runs a
// handler the test sets, a TKorviProcessor, a SQLite file in a temporary
// directory and a data module holding named queries on it.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "korvi/data/data_module.h"
#include "korvi/data/param.h"
#include "korvi/dynamic/korvi_processor.h"
#include "korvi/server/korvi.h"
#include "tests/support/temp_dir.h"

namespace korvi {

class TQuery;

namespace test {

class PageTest : public ::testing::Test {
 protected:
  // Runs on the worker thread of every request.
  using Handler = std::function<void(TKorviRequest& request, TKorviResponse& response)>;

  PageTest();

  // Makes `handler` answer the requests that follow.
  void SetHandler(Handler handler) { handler_ = std::move(handler); }
  // Answers every request with the page `file` processed with `sources`
  // and the fixture's data module.
  void ServePage(const std::string& file, const std::vector<TDataSource*>& sources = {});

  // The whole answer to "GET `target` HTTP/1.0" with `headers` (each line
  // ending in CR LF), once the worker thread has ended.
  std::string Answer(const std::string& target, const std::string& headers = "");
  // The body of that answer.
  std::string Body(const std::string& target, const std::string& headers = "");

  // Runs `sql` on the test database.
  void Exec(const std::string& sql);
  // The rows of `sql` on the test database, fields joined by "," and rows
  // ended by ";".
  std::string Rows(const std::string& sql);
  // A query named `name` on the test database over `sql`, owned by
  // `module`; its parameters get the declared types and design-time texts
  // of `params`, in order.
  struct ParamSetting {
    TFieldType type;
    std::string value;
  };
  TQuery* AddQuery(TDataModule& module, const std::string& name, const std::string& sql,
                   const std::vector<ParamSetting>& params = {});
  // Writes the page `name` into the temporary directory; returns its path.
  std::string WritePage(const std::string& name, const std::string& text);

  TempDir dir_;
  std::string db_;
  TDataModule module_{nullptr};
  TKorviProcessor processor_{nullptr};
  Handler handler_;
  TKorvi server_{nullptr};  // last: destroyed, with its threads, first
};

// True when `text` contains `part`.
inline bool Has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

}  // namespace test
}  // namespace korvi
