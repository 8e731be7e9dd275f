// Fuzz target for templates: the input is a template. The scanner walks it
// token by token, copying everything it passes; then the page, data and loop
// producers each make a page from it over two small SQLite tables (the loop
// producers only when it has at most four loop directives). Checks:
// the scanner's copy is the input up to its first zero byte, and every
// producer ends with a page or one of the errors the producers raise for a
// malformed template, never a crash or a hang.
#include "korvi/producer/loop_producer.h"

#include <stdlib.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "fuzz_check.h"
#include "korvi/data/data_source.h"
#include "korvi/data/query.h"
#include "korvi/host/exceptions.h"
#include "korvi/host/streams.h"
#include "korvi/host/sysutils.h"
#include "korvi/producer/korvi_parser.h"

using korvi::fuzz::Check;

namespace {

// Two tables in an SQLite file of a scratch directory, each open behind a
// named data source ("Fruit" and "Pair"), made once for the whole run.
struct TTables {
  TTables() {
    char pattern[] = "/tmp/korvi-fuzz-templates-XXXXXX";
    const std::string dir = mkdtemp(pattern);
    const std::string db = dir + "/pages.db";
    korvi::TQuery setup(nullptr);
    setup.SetDatabaseName(db);
    setup.SetSQL(
        "begin; create table fruit(Name text, N integer);"
        "insert into fruit values('a', 1); insert into fruit values('b', 2);"
        "insert into fruit values('c', 3);"
        "create table pair(Name text, N integer);"
        "insert into pair values('x', 7); insert into pair values('<#t>', 8); commit;");
    setup.ExecSQL();
    fruit = Source(db, "Fruit", "select * from fruit");
    pair = Source(db, "Pair", "select * from pair");
  }

  static korvi::TDataSource* Source(const std::string& db, const std::string& name,
                                    const std::string& select) {
    auto* query = new korvi::TQuery(nullptr);
    query->SetDatabaseName(db);
    query->SetSQL(select);
    query->Open();
    auto* source = new korvi::TDataSource(nullptr);
    source->SetName(name);
    source->SetDataSet(query);
    return source;
  }

  korvi::TDataSource* fruit = nullptr;
  korvi::TDataSource* pair = nullptr;
};

TTables& Tables() {
  static TTables* const tables = new TTables;
  return *tables;
}

// Creation copies the leading blanks and NextToken the blanks and the token
// it moves to, so with the first token copied by hand, walking the whole
// input must reproduce it up to the zero byte that ends it for the scanner.
void ScanAndCompare(const std::string& templ) {
  korvi::TStringStream input(templ);
  korvi::TStringStream output;
  try {
    korvi::TKorviParser parser(input, &output);
    parser.CopyTokenToOutput();
    while (parser.Token() != korvi::toEOF)
      parser.NextToken();
  } catch (const korvi::EParserError& e) {
    Check(e.Message().starts_with("Error: line to long on line "), "the scanner's only error");
    return;
  }
  Check(output.DataString() == templ.substr(0, templ.find('\0')),
        "the scanner's copy is the input up to its first zero byte");
}

void Produce(korvi::TCustomKorviProducer& producer, const std::string& templ) {
  try {
    producer.ContentFromString(templ);
  } catch (const korvi::EParserError& e) {
    Check(e.Message().starts_with("Error: line to long on line "), "a scanner error");
  } catch (const korvi::EConvertError&) {
    // A bad "%" escape in a tag's parameters.
  } catch (const korvi::Exception& e) {
    const std::string& m = e.Message();
    Check(m == " ERROR: DS not set in Loop Directive " ||
              m.starts_with("Unterminated Loop Driective [") ||
              m.starts_with("Loop Directive nested too deeply ["),
          "a loop directive error");
  }
}

}  // namespace

// Loops nest, and a page grows with the product of the rows of its nested
// loops, as it should; with more than a few loop directives the producers
// would spend the run making one enormous page.
bool FewLoops(const std::string& templ) {
  constexpr int kMaxLoops = 4;
  int loops = 0;
  const std::string upper = korvi::UpperCase(templ);
  for (std::size_t at = upper.find("<!LOOP"); at != std::string::npos;
       at = upper.find("<!LOOP", at + 1)) {
    if (++loops > kMaxLoops) return false;
  }
  return true;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  TTables& tables = Tables();
  const std::string templ(reinterpret_cast<const char*>(data), size);
  ScanAndCompare(templ);

  const korvi::THTMLTagEvent tag = [](korvi::TObject*, korvi::TTag, const std::string& name,
                                      korvi::TStringList&,
                                      std::string& replace) { replace = "[" + name + "%N%]"; };
  korvi::TKorviPageProducer page(nullptr);
  korvi::TKorviDataProducer entries(nullptr);
  korvi::TKorviProducer loops(nullptr);
  korvi::TKorviProducer list(nullptr);
  page.OnHTMLTag = entries.OnHTMLTag = loops.OnHTMLTag = list.OnHTMLTag = tag;
  for (korvi::TKorviDataProducer* producer :
       {&entries, static_cast<korvi::TKorviDataProducer*>(&loops),
        static_cast<korvi::TKorviDataProducer*>(&list)}) {
    producer->AddDataSource(tables.fruit);
    producer->AddDataSource(tables.pair);
  }
  list.ListMode = true;
  list.SetListDS("2");
  list.MaxRecords = 1;
  Produce(page, templ);
  Produce(entries, templ);
  if (!FewLoops(templ)) return 0;
  Produce(loops, templ);
  Produce(list, templ);
  return 0;
}
