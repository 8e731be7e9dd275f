// The same rows on SQLite and on PostgreSQL give byte-identical pages, built
// by a loop producer and by the processor (with a query directive and a
// form insert through ProcessQuery).
#include "korvi/dynamic/korvi_processor.h"

#include <gtest/gtest.h>

#include <string>

#include "korvi/data/data_module.h"
#include "korvi/data/data_source.h"
#include "korvi/data/query.h"
#include "korvi/host/datetime.h"
#include "korvi/producer/loop_producer.h"
#include "korvi/web/korvi_request.h"
#include "tests/dynamic/page_fixture.h"
#include "tests/support/test_database.h"

namespace korvi {
namespace {

const char* const kTemplate =
    "<h1>Goods</h1>\n"
    "<#q Action=ADDQUERY Name=qGoods>\n"
    "<!LOOP DS=1><tr><td>%id%</td><td>%name%</td><td>%price%</td><td>%weight%</td>"
    "<td>%stocked%</td><td>%updated%</td><td>%active%</td><td>[%note%]</td></tr>\n"
    "<!ENDLOOP>\n";

const char* const kColumns = "id, name, price, weight, stocked, updated, active, note";

// Fills `database` with the same rows, every value sent as a parameter.
void FillGoods(const std::string& database) {
  TQuery q(nullptr);
  q.SetDatabaseName(database);
  q.SetSQL(
      "create table goods(id integer primary key, name text, price numeric(10,2), "
      "weight double precision, stocked date, updated timestamp, active boolean, note text)");
  q.ExecSQL();
  q.SetSQL(std::string("insert into goods(") + kColumns +
           ") values(:id, :name, :price, :weight, :stocked, :updated, :active, :note)");
  struct Row {
    int id;
    const char* name;
    double price;
    double weight;
    TDateTime day;
    int ms;
    bool active;
    const char* note;
  };
  const Row rows[] = {
      {1, "Lamp <b>", 12.5, 1.25, EncodeDate(2024, 2, 29), 250, true, "it's"},
      {2, "Kettle", 30, 0.1, EncodeDate(1999, 12, 31), 0, false, nullptr},
      {3, "Caf\xC3\xA9", 0.05, 123456789.125, EncodeDate(1900, 1, 1), 999, true, ""},
  };
  for (const Row& row : rows) {
    q.ParamByName("id").SetAsInteger(row.id);
    q.ParamByName("name").SetAsString(row.name);
    q.ParamByName("price").SetAsCurrency(row.price);
    q.ParamByName("weight").SetAsFloat(row.weight);
    q.ParamByName("stocked").SetAsDate(row.day);
    q.ParamByName("updated").SetAsDateTime(row.day + EncodeTime(23, 59, 58, row.ms));
    q.ParamByName("active").SetAsBoolean(row.active);
    if (row.note != nullptr) {
      q.ParamByName("note").SetAsString(row.note);
    } else {
      q.ParamByName("note").Clear();
    }
    q.ExecSQL();
  }
}

class EnginePagesTest : public test::PageTest {
 protected:
  // The page of the template through a loop producer over the goods table.
  std::string ProducerPage(const std::string& database) {
    TQuery goods(nullptr);
    goods.SetDatabaseName(database);
    goods.SetSQL(std::string("select ") + kColumns + " from goods order by id");
    goods.Open();
    TDataSource source(nullptr);
    source.SetDataSet(&goods);
    TKorviProducer producer(nullptr);
    producer.AddDataSource(&source);
    return producer.ContentFromString(kTemplate);
  }

  // The page of the template through the processor after a form insert:
  // its directive opens qGoods, a worker thread's copy of the module query.
  std::string ProcessorPage(const std::string& database) {
    TDataModule module(nullptr);
    db_ = database;
    AddQuery(module, "qGoods", std::string("select ") + kColumns + " from goods order by id");
    AddQuery(module, "qAdd",
             std::string("insert into goods(") + kColumns +
                 ") values(:id, :name, :price, :weight, :stocked, :updated, :active, :note)",
             {{ftInteger, "^id"},
              {ftString, "^name"},
              {ftCurrency, "^price"},
              {ftFloat, "^weight"},
              {ftDate, "^stocked"},
              {ftDateTime, "^updated"},
              {ftBoolean, "^active"},
              {ftString, "^note"}});
    const std::string file = WritePage("goods.htm", kTemplate);
    SetHandler([&](TKorviRequest& request, TKorviResponse& response) {
      std::string message;
      if (!request.GetFieldByName("FQuery").empty()) {
        EXPECT_TRUE(processor_.ProcessQuery(&server_, &request, &response, {&module}, message))
            << message;
      }
      processor_.ProcessHtmlFile(&server_, &request, &response, file, {}, {&module});
    });
    return Body(
        "/?FQuery=qAdd&FRequired=id;name&id=4&name=Form+%3Crow%3E&price=7.25&weight=2.5&stocked="
        "2023-01-02"
        "&updated=2023-01-02+03:04:05&active=true&note=posted");
  }
};

TEST_F(EnginePagesTest, SameRowsGiveIdenticalPagesOnBothEngines) {
  test::TestDatabase sqlite(test::TestEngine::kSQLite);
  test::TestDatabase postgres(test::TestEngine::kPostgres);
  if (!postgres.Available()) GTEST_SKIP() << "KORVI_TEST_POSTGRES is not set";
  FillGoods(sqlite.Name());
  FillGoods(postgres.Name());

  const std::string producer_page = ProducerPage(sqlite.Name());
  EXPECT_EQ(ProducerPage(postgres.Name()), producer_page);
  EXPECT_TRUE(test::Has(producer_page,
                        "<td>1</td><td>Lamp <b></td><td>12.5</td><td>1.25</td><td>2024-02-29</td>"
                        "<td>2024-02-29 23:59:58.250</td><td>1</td><td>[it's]</td>"))
      << producer_page;
  EXPECT_TRUE(test::Has(producer_page, "<td>30</td><td>0.1</td>")) << producer_page;
  EXPECT_TRUE(test::Has(producer_page, "<td>0</td><td>[]</td>")) << producer_page;

  const std::string processor_page = ProcessorPage(sqlite.Name());
  EXPECT_EQ(ProcessorPage(postgres.Name()), processor_page);
  EXPECT_TRUE(test::Has(processor_page,
                        "<td>4</td><td>Form <row></td><td>7.25</td><td>2.5</td><td>2023-01-02</td>"
                        "<td>2023-01-02 03:04:05</td><td>1</td><td>[posted]</td>"))
      << processor_page;
}

}  // namespace
}  // namespace korvi
