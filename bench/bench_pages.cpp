// bench_pages: page production speed. Pages per second and MB/s of output
// for a loop template over 1,000 rows held in memory (TMemoryDataSet) and
// the same rows in an SQLite table (with the query kept open, and opened
// afresh per page as an action would), and for a template of 10,000 tags
// through the page producer and line by line through the loop producer.
// With --print-page 1 it writes the page of the rows to standard output
// instead, for comparing it with other template engines' pages.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <stdexcept>
#include <string>

#include "bench_options.h"
#include "bench_runner.h"
#include "korvi/data/data_source.h"
#include "korvi/data/memory_data_set.h"
#include "korvi/data/query.h"
#include "korvi/producer/loop_producer.h"

namespace korvi::bench {
namespace {

using Clock = std::chrono::steady_clock;

// A loop template: a table row with four entries repeated per row.
std::string LoopTemplate() {
  return "<html><head><title>Orders</title></head><body>\r\n"
         "<table><tr><th>Id</th><th>Customer</th><th>Item</th><th>Amount</th></tr>\r\n"
         "<!LOOP DS=Orders>\r\n"
         "<tr><td>%Id%</td><td>%Customer%</td><td>%Item%</td><td>%Amount%</td></tr>\r\n"
         "<!ENDLOOP>\r\n"
         "</table></body></html>\r\n";
}

// A template with `tags` tags, ten to a line, each with two parameters.
std::string TagTemplate(int tags) {
  std::string text = "<html><body><table>\r\n";
  for (int i = 0; i < tags; ++i) {
    if (i % 10 == 0) text += "<tr>";
    text +=
        "<td><#cell row=" + std::to_string(i / 10) + " col=" + std::to_string(i % 10) + "></td>";
    if (i % 10 == 9 || i == tags - 1) text += "</tr>\r\n";
  }
  return text + "</table></body></html>\r\n";
}

// The replacement of every <#cell> tag: its two parameters.
void CellTag(TObject*, TTag, const std::string&, TStringList& params, std::string& replace) {
  replace = params.Values("row") + "." + params.Values("col");
}

// The rows of the orders table in memory: the same values the SQL of Main
// puts in the SQLite table.
void FillOrders(TMemoryDataSet& orders, int rows) {
  for (const char* name : {"Id", "Customer", "Item", "Amount"})
    orders.AddField(name);
  for (int i = 1; i <= rows; ++i) {
    orders.AppendRecord(
        {i, "Customer " + std::to_string(i % 97), "Item number " + std::to_string(i), i * 1.25});
  }
  orders.Open();
}

// The loop template's page over `source`.
std::string OrdersPage(TDataSource& source, const std::string& loop_template) {
  TKorviProducer producer(nullptr);
  producer.AddDataSource(&source);
  return producer.ContentFromString(loop_template);
}

// A database file in a fresh directory under /tmp, removed with it.
class TTempDatabase {
 public:
  TTempDatabase() {
    if (::mkdtemp(directory_) == nullptr) throw std::runtime_error("cannot create a directory");
    path_ = std::string(directory_) + "/orders.db";
  }
  ~TTempDatabase() {
    ::unlink(path_.c_str());
    ::rmdir(directory_);
  }
  TTempDatabase(const TTempDatabase&) = delete;
  TTempDatabase& operator=(const TTempDatabase&) = delete;
  // The database file's path.
  const std::string& Path() const { return path_; }

 private:
  char directory_[32] = "/tmp/korvi-bench-pages-XXXXXX";
  std::string path_;
};

// Runs `page` (returning the page's size) for about `seconds` and prints
// pages/s and MB/s.
void Measure(const char* name, int seconds, const std::function<std::size_t()>& page) {
  std::size_t bytes = page();  // warm-up, and the size of one page
  const std::size_t page_bytes = bytes;
  bytes = 0;
  long long pages = 0;
  const Clock::time_point start = Clock::now();
  const Clock::time_point end = start + std::chrono::seconds(seconds);
  Clock::time_point now = start;
  while (now < end) {
    bytes += page();
    ++pages;
    now = Clock::now();
  }
  const double elapsed = std::chrono::duration<double>(now - start).count();
  std::printf("%-44s %8lld %10.1f %12zu %10.1f\n", name, pages, pages / elapsed, page_bytes,
              static_cast<double>(bytes) / elapsed / 1e6);
  std::fflush(stdout);
}

int Main(int argc, char** argv) {
  TBenchOptions options("bench_pages",
                        "Pages/s and MB/s of output of the loop producer over an SQLite table\n"
                        "and of the page and loop producers over a template full of tags.",
                        {{"seconds", 3, "length of each case in seconds"},
                         {"rows", 1000, "rows of the table the loop walks"},
                         {"tags", 10000, "tags in the tag template (0: no tag cases)"},
                         {"print-page", 0, "1: print the page of the rows and stop"}});
  if (const auto exit_code = options.Parse(argc, argv)) return *exit_code;
  const int seconds = static_cast<int>(std::max(1LL, options.Get("seconds")));
  const int rows = static_cast<int>(std::max(1LL, options.Get("rows")));
  const int tags = static_cast<int>(std::max(0LL, options.Get("tags")));
  TWatchdog watchdog("bench_pages", std::chrono::seconds(5 * seconds + 120));

  const std::string loop_template = LoopTemplate();
  TMemoryDataSet orders(nullptr);
  FillOrders(orders, rows);
  TDataSource memory_source(nullptr);
  memory_source.SetName("Orders");
  memory_source.SetDataSet(&orders);
  const std::string memory_page = OrdersPage(memory_source, loop_template);
  if (options.Get("print-page") != 0) {
    std::fwrite(memory_page.data(), 1, memory_page.size(), stdout);
    return 0;
  }

  const TTempDatabase temp;
  const std::string& database = temp.Path();
  {
    TQuery setup(nullptr);
    setup.SetDatabaseName(database);
    setup.SetSQL(
        "create table orders(Id integer primary key, Customer text, Item text, Amount real);"
        "with recursive n(i) as (select 1 union all select i + 1 from n where i < " +
        std::to_string(rows) +
        ") insert into orders select i, 'Customer ' || (i % 97), 'Item number ' || i, "
        "i * 1.25 from n;");
    setup.ExecSQL();
  }
  const std::string select = "select * from orders order by Id";

  std::printf("bench_pages: %d s per case, %d rows, %d tags\n", seconds, rows, tags);
  std::printf("%-44s %8s %10s %12s %10s\n", "case", "pages", "pages/s", "bytes/page", "MB/s");

  TQuery query(nullptr);
  query.SetDatabaseName(database);
  query.SetSQL(select);
  query.Open();
  TDataSource source(nullptr);
  source.SetName("Orders");
  source.SetDataSet(&query);
  if (OrdersPage(source, loop_template) != memory_page) {
    throw std::runtime_error("the rows in memory and in SQLite make different pages");
  }
  Measure("loop producer, rows (memory data set)", seconds,
          [&] { return OrdersPage(memory_source, loop_template).size(); });
  Measure("loop producer, rows (query open)", seconds,
          [&] { return OrdersPage(source, loop_template).size(); });
  Measure("loop producer, rows (query per page)", seconds, [&] {
    TQuery page_query(nullptr);
    page_query.SetDatabaseName(database);
    page_query.SetSQL(select);
    page_query.Open();
    TDataSource page_source(nullptr);
    page_source.SetName("Orders");
    page_source.SetDataSet(&page_query);
    return OrdersPage(page_source, loop_template).size();
  });
  if (tags == 0) return 0;
  const std::string tag_template = TagTemplate(tags);
  Measure("page producer, tags", seconds, [&] {
    TKorviPageProducer producer(nullptr);
    producer.OnHTMLTag = CellTag;
    return producer.ContentFromString(tag_template).size();
  });
  Measure("loop producer, tags (line by line)", seconds, [&] {
    TKorviProducer producer(nullptr);
    producer.OnHTMLTag = CellTag;
    return producer.ContentFromString(tag_template).size();
  });
  return 0;
}

}  // namespace
}  // namespace korvi::bench

int main(int argc, char** argv) {
  return korvi::bench::GuardedMain("bench_pages", korvi::bench::Main, argc, argv);
}
