// Finding ":name" markers in SQL texts.
#include "korvi/data/sql_params.h"

#include <gtest/gtest.h>

namespace korvi {
namespace {

TEST(ParamNamesInSQL, MarkersOutsideQuotesAndComments) {
  struct Case {
    const char* sql;
    std::vector<std::string> names;
  };
  const Case cases[] = {
      {"select * from t", {}},
      {"select * from t where a = :a and b=:Beta_2", {"a", "Beta_2"}},
      {"insert into t values(:x,:y,:x)", {"x", "y"}},
      {"where a=:Name or b=:NAME", {"Name"}},
      {"where a = 'it''s :no' and b = :yes", {"yes"}},
      {"where \":no\" = `:no` and [:no] = :yes", {"yes"}},
      {"-- :no\nselect :yes /* :no\n :no */ + :also", {"yes", "also"}},
      {"select '10:30', time('12:00') where x = :t", {"t"}},
      {"select a: b, : c, :", {}},
      {"where a = :p$1 and b = :\xC3\xA9t\xC3\xA9", {"p$1", "\xC3\xA9t\xC3\xA9"}},
      {"select ':unterminated", {}},
      {"select 1 /* :unterminated", {}},
      {"select a::text, :b::int, $$ :no $$, $q$ :no $q$, $1, x$y:c", {"b", "c"}},
      {"select $$ :unterminated", {}},
  };
  for (const Case& c : cases)
    EXPECT_EQ(ParamNamesInSQL(c.sql), c.names) << c.sql;
}

}  // namespace
}  // namespace korvi
