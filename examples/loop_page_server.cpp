// loop_page_server: an application that serves a page built by a loop
// producer from an SQLite table. The action for /fruit runs a query per
// request and repeats the table row of the template once per fruit, three
// to a page (list mode); ?page=N picks the page and ?order=desc reverses the
// walk. A default action answers every other path, so no file is served.
//
//   loop_page_server [port]   (default 8082; try http://localhost:8082/fruit)
//
// The fruit names are plain text: the producer inserts field values as they
// are, and escaping for HTML would be the application's business.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include <korvi/data/data_source.h>
#include <korvi/data/query.h>
#include <korvi/host/application.h>
#include <korvi/host/exceptions.h>
#include <korvi/host/sysutils.h>
#include <korvi/producer/loop_producer.h>
#include <korvi/server/korvi.h>
#include <korvi/web/action_item.h>
#include <korvi/web/korvi_request.h>
#include <korvi/web/korvi_response.h>

namespace {

using namespace korvi;

constexpr int kRowsPerPage = 3;

// The page template: the loop repeats the table row for every fruit; the
// <#pages> tag after it becomes the page links.
const char* const kTemplate[] = {
    "<html><head><title>Fruit</title></head><body>",
    "<h1>Fruit in stock</h1>",
    "<table border=1><tr><th>Name</th><th>Price</th><th>In stock</th></tr>",
    "<!LOOPF DS=Fruit&DIRECTION=",  // + FORWARD or REVERSE and ">"
    "<tr><td>%Name%</td><td>%Price%</td><td>%Stock%</td></tr>",
    "<!ENDLOOPF>",
    "</table><p><#pages></p><p>Made on %date% at %time%.</p></body></html>",
};

// Creates the database file with the fruit table.
void CreateDatabase(const std::string& path) {
  TQuery setup(nullptr);
  setup.SetDatabaseName(path);
  setup.SetSQL(
      "create table if not exists fruit(Name text, Price real, Stock integer);"
      "delete from fruit;"
      "insert into fruit values('Apple', 0.5, 120), ('Banana', 0.25, 80), ('Cherry', 4.0, 15),"
      "('Date', 6.5, 7), ('Elderberry', 3.2, 0), ('Fig', 2.1, 33), ('Grape', 2.8, 51);");
  setup.ExecSQL();
}

// Fills `response` with the fruit page for the request's page number and order.
void ServeFruit(const std::string& database, TKorviRequest* request, TKorviResponse* response) {
  // Each request walks its own query: a data set serves one thread at a time.
  TQuery query(nullptr);
  query.SetDatabaseName(database);
  query.SetSQL("select Name, Price, Stock from fruit order by Name");
  query.Open();
  TDataSource source(nullptr);
  source.SetName("Fruit");
  source.SetDataSet(&query);

  TKorviProducer producer(nullptr);
  producer.AddDataSource(&source);
  const bool descending = SameText(request->GetFieldValue("order", ""), "desc");
  for (const char* line : kTemplate) {
    const std::string text = line;
    producer.HTMLDoc().Add(text.back() == '=' ? text + (descending ? "REVERSE>" : "FORWARD>")
                                              : text);
  }
  const int page = std::max(1, StrToIntDef(request->GetFieldValue("page", "1"), 1));
  producer.ListMode = true;
  producer.SetListDS("Fruit");
  producer.FirstRecord = (page - 1) * kRowsPerPage + 1;
  producer.MaxRecords = kRowsPerPage;
  producer.OnHTMLTag = [&producer, descending](TObject*, TTag, const std::string& name,
                                               TStringList&, std::string& replace) {
    if (!SameText(name, "pages")) return;
    // ListCount holds the row count once the loop has run.
    const int pages = (producer.ListCount + kRowsPerPage - 1) / kRowsPerPage;
    for (int i = 1; i <= pages; ++i) {
      replace +=
          Format("<a href=\"/fruit?page=%d%s\">%d</a> ", {i, descending ? "&order=desc" : "", i});
    }
  };
  response->SetContent(producer.Content());
}

}  // namespace

int main(int argc, char** argv) {
  Application().HandleStopSignals();
  char directory[] = "/tmp/korvi-loop-page-XXXXXX";
  if (::mkdtemp(directory) == nullptr) {
    std::perror("loop_page_server: mkdtemp");
    return 1;
  }
  const std::string database = std::string(directory) + "/fruit.db";
  int status = 0;
  try {
    CreateDatabase(database);
    auto server = std::make_unique<TKorvi>(nullptr);
    server->SetServerPort(argc > 1 ? std::atoi(argv[1]) : 8082);

    TKActionItem* fruit = server->Actions()->Add();
    fruit->SetPathInfo("/fruit");
    fruit->SetOnAction(
        [&database](TObject*, TKorviRequest* request, TKorviResponse* response, bool& handled) {
          ServeFruit(database, request, response);
          handled = true;
        });
    // Every other path gets a pointer to the page instead of a file.
    TKActionItem* other = server->Actions()->Add();
    other->SetDefault(true);
    other->SetOnAction([](TObject*, TKorviRequest*, TKorviResponse* response, bool& handled) {
      response->SetContent("<html><body><a href=\"/fruit\">Fruit in stock</a></body></html>\r\n");
      handled = true;
    });

    server->StartListening();
    std::printf("loop_page_server: try http://localhost:%d/fruit\n", server->ServerPort());
    std::fflush(stdout);
    Application().Run();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "loop_page_server: %s\n", e.what());
    status = 1;
  }
  ::unlink(database.c_str());
  ::rmdir(directory);
  return status;
}
