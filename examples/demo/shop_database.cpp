// TShopDatabase: the schema, the sample rows, the page queries and the named
// queries of the tea house.
#include "shop_database.h"

#include <string_view>
#include <utility>

#include "data/param.h"
#include "data/query.h"

namespace korvi {

namespace {

const char* const kSchemaAndSampleRows = R"SQL(
begin;
create table teas(id integer primary key, name text not null, kind text not null,
  origin text not null, price real not null, description text not null);
create table sizes(grams integer primary key, label text not null);
create table reviews(id integer primary key, tea_id integer not null references teas(id),
  author text not null, rating integer not null, body text not null,
  written text not null default (date('now')));
insert into teas(name, kind, origin, price, description) values
  ('Assam Harmutty', 'Black', 'India', 6.80, 'Malty and brisk, strong enough for milk.'),
  ('Darjeeling First Flush', 'Black', 'India', 12.50, 'Light, floral and bright, picked in spring.'),
  ('Dong Ding', 'Oolong', 'Taiwan', 11.20, 'Roasted, nutty and sweet, from the hills of Nantou.'),
  ('Earl Grey', 'Black', 'Sri Lanka', 5.90, 'Ceylon tea scented with bergamot.'),
  ('Genmaicha', 'Green', 'Japan', 5.40, 'Sencha with toasted rice: savoury and mild.'),
  ('Gyokuro', 'Green', 'Japan', 18.00, 'Shade-grown, deep green and rich in umami.'),
  ('Jasmine Pearls', 'Green', 'China', 14.30, 'Hand-rolled pearls scented with jasmine blossoms.'),
  ('Lapsang Souchong', 'Black', 'China', 7.60, 'Smoked over pine fires: bold and warming.'),
  ('Rooibos Vanilla', 'Herbal', 'South Africa', 4.90, 'Caffeine-free red bush with vanilla.'),
  ('Sencha Kagoshima', 'Green', 'Japan', 9.70, 'Grassy and fresh, steamed in the Japanese way.'),
  ('Silver Needle', 'White', 'China', 21.00, 'Downy buds only: delicate, sweet and soft.'),
  ('Tie Guan Yin', 'Oolong', 'China', 10.40, 'Orchid-like and creamy, lightly oxidised.');
insert into sizes(grams, label) values (50, '50 g tin'), (100, '100 g tin'), (250, '250 g bag');
insert into reviews(tea_id, author, rating, body) values
  (1, 'Mira', 5, 'My morning cup, every single day.'),
  (4, 'Tomas', 4, 'A classic. Fragrant without being soapy.'),
  (4, 'Ines', 3, 'Good, but I prefer it with more bergamot.');
commit;
)SQL";

// SQL reading the text column `column` HTML-escaped, under its own name.
std::string Escaped(std::string_view column) {
  // SQL string literals of each character and its entity; "&" goes first.
  static const std::pair<const char*, const char*> kEntities[] = {{"'&'", "'&amp;'"},
                                                                  {"'<'", "'&lt;'"},
                                                                  {"'>'", "'&gt;'"},
                                                                  {"'\"'", "'&quot;'"},
                                                                  {"''''", "'&#39;'"}};
  std::string sql(column);
  for (const auto& [character, entity] : kEntities)
    sql = "replace(" + sql + ", " + character + ", " + entity + ")";
  return sql + " as " + std::string(column);
}

// Declares parameter `name` of `query` as `type` with the design-time text
// `source`, which says where ProcessQuery takes its value from.
void DeclareParam(TQuery& query, const char* name, TFieldType type, const char* source) {
  TParam& param = query.ParamByName(name);
  param.SetDataType(type);
  param.SetValue(Variant(source));
}

}  // namespace

TShopDatabase::TShopDatabase(std::string path) : path_(std::move(path)) {
  CreateSampleData();

  AddNamedQuery("qTea", "select id, " + Escaped("name") + ", " + Escaped("kind") + ", " +
                            Escaped("origin") + ", printf('%.2f', price) as price, " +
                            Escaped("description") + " from teas where id = :id")
      .ParamByName("id")
      .SetDataType(ftInteger);
  AddNamedQuery("qReviews", "select " + Escaped("author") +
                                ", substr('★★★★★', 1, rating) as stars, " + Escaped("body") +
                                ", written from reviews where tea_id = :tea order by id")
      .ParamByName("tea")
      .SetDataType(ftInteger);
  // A review only for a tea that exists, with a rating from 1 to 5.
  TQuery& add_review =
      AddNamedQuery("qAddReview",
                    "insert into reviews(tea_id, author, rating, body) "
                    "select :id, :author, max(1, min(5, :rating)), :body where exists "
                    "(select 1 from teas where id = :id)");
  DeclareParam(add_review, "id", ftInteger, "^id");
  DeclareParam(add_review, "author", ftString, "^author");
  DeclareParam(add_review, "rating", ftInteger, "^rating");
  DeclareParam(add_review, "body", ftString, "^body");
}

std::unique_ptr<TQuery> TShopDatabase::Teas() const {
  return Open(
      "select id, name, kind, origin, printf('%.2f', price) as price, description "
      "from teas order by name");
}

std::unique_ptr<TQuery> TShopDatabase::TinSizes() const {
  return Open("select grams, label from sizes order by grams");
}

std::unique_ptr<TQuery> TShopDatabase::Kinds() const {
  return Open("select kind, count(*) as teas from teas group by kind order by kind");
}

std::unique_ptr<TQuery> TShopDatabase::Tea(int id) const {
  std::unique_ptr<TQuery> query = Prepare("select name, price from teas where id = :id");
  query->ParamByName("id").SetAsInteger(id);
  query->Open();
  return query;
}

std::unique_ptr<TQuery> TShopDatabase::TinSize(int grams) const {
  std::unique_ptr<TQuery> query = Prepare("select label from sizes where grams = :grams");
  query->ParamByName("grams").SetAsInteger(grams);
  query->Open();
  return query;
}

std::unique_ptr<TQuery> TShopDatabase::Prepare(const std::string& sql) const {
  auto query = std::make_unique<TQuery>(nullptr);
  query->SetDatabaseName(path_);
  query->SetSQL(sql);
  return query;
}

std::unique_ptr<TQuery> TShopDatabase::Open(const std::string& sql) const {
  std::unique_ptr<TQuery> query = Prepare(sql);
  query->Open();
  return query;
}

void TShopDatabase::CreateSampleData() const {
  std::unique_ptr<TQuery> tables =
      Open("select count(*) as found from sqlite_master where type = 'table' and name = 'teas'");
  if (tables->FieldByName("found").AsInteger() > 0) return;
  Prepare(kSchemaAndSampleRows)->ExecSQL();
}

TQuery& TShopDatabase::AddNamedQuery(const char* name, const std::string& sql) {
  // The data module owns the query and frees it.
  auto* query = new TQuery(&named_queries_);
  query->SetName(name);
  query->SetDatabaseName(path_);
  query->SetSQL(sql);
  return *query;
}

}  // namespace korvi
