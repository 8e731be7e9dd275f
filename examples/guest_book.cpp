// guest_book: dynamic pages from a SQLite file with TKorviProcessor.
//
// A data module holds two named queries on guest_book.db: qEntries lists
// the entries and qSign adds one. The page guest_book.htm opens qEntries
// with an ADDQUERY directive and lists it with a loop; its form posts to
// /guestbook/sign, whose action runs qSign through ProcessQuery once the
// required fields are filled, then shows the page again. The program writes
// the database and the page into a directory of its own and serves that
// directory as its document root.
//
//   guest_book [directory] [port] [database]
//
// Defaults: a new directory under /tmp, port 8082, the SQLite file
// guest_book.db in the directory. A PostgreSQL connection URI or key=value
// string as the database puts the book on that server, where several
// instances can share it; the table is created on first start either way.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include <korvi/data/data_module.h>
#include <korvi/data/database_engine.h>
#include <korvi/data/query.h>
#include <korvi/dynamic/korvi_processor.h>
#include <korvi/host/application.h>
#include <korvi/host/exceptions.h>
#include <korvi/server/korvi.h>
#include <korvi/web/action_item.h>
#include <korvi/web/http_text.h>
#include <korvi/web/korvi_request.h>
#include <korvi/web/korvi_response.h>

namespace {

using namespace korvi;

// The page. Entries of the loop come from the data set; %^name% is what the
// visitor typed last, escaped by the processor.
const char* const kPage = R"(<html><head><title>Guest book</title></head><body>
<h1>Guest book</h1>
<#q Action=ADDQUERY Name=qEntries>
<ul>
<!LOOP DS=1><li><b>%name%</b>: %message% <small>(%signed%)</small></li>
<!ENDLOOP>
</ul>
<form method="post" action="/guestbook/sign">
<input type="hidden" name="FQuery" value="qSign">
<input type="hidden" name="FRequired" value="name;message">
<input type="hidden" name="nameHelp" value="Please tell us your name.">
Name <input name="name" value="%^name%"><br>
Message <input name="message" size="60"><br>
<input type="submit" value="Sign">
</form>
<p>Today is %date%.</p>
</body></html>
)";

// SQL for a column written into the page: data-set fields go into it as
// they are, so text that visitors typed is escaped here.
std::string Escaped(const std::string& column) {
  return "replace(replace(replace(replace(replace(" + column +
         ", '&', '&amp;'), '<', '&lt;'), '>', '&gt;'), '\"', '&quot;'), '''', '&#39;') as " +
         column;
}

void WriteFile(const std::filesystem::path& path, const std::string& text) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) {
    std::perror(path.c_str());
    std::exit(1);
  }
  std::fwrite(text.data(), 1, text.size(), file);
  std::fclose(file);
}

// The entries table in the dialect of the engine `database` names; "signed"
// is the UTC time of signing as "yyyy-mm-dd hh:nn:ss" on both.
std::string CreateEntries(const std::string& database) {
  if (IsPostgresName(database)) {
    return "create table if not exists entries(id serial primary key, name text, message text, "
           "signed text default to_char(now() at time zone 'utc', 'YYYY-MM-DD HH24:MI:SS'))";
  }
  return "create table if not exists entries(id integer primary key, name text, "
         "message text, signed text default (datetime('now')))";
}

// A query owned by `module`, named `name`, on `database`.
TQuery* NamedQuery(TDataModule& module, const char* name, const std::string& database,
                   const std::string& sql) {
  auto* query = new TQuery(&module);
  query->SetName(name);
  query->SetDatabaseName(database);
  query->SetSQL(sql);
  return query;
}

}  // namespace

int main(int argc, char** argv) {
  std::filesystem::path dir;
  if (argc > 1) {
    dir = argv[1];
    std::filesystem::create_directories(dir);
  } else {
    std::string pattern = (std::filesystem::temp_directory_path() / "guest_book.XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
      std::perror("mkdtemp");
      return 1;
    }
    dir = pattern;
  }
  const int port = argc > 2 ? std::atoi(argv[2]) : 8082;
  const std::string database = argc > 3 ? argv[3] : (dir / "guest_book.db").string();
  const std::string page = (dir / "guest_book.htm").string();
  WriteFile(page, kPage);

  Application().HandleStopSignals();
  try {
    TQuery setup(nullptr);
    setup.SetDatabaseName(database);
    setup.SetSQL(CreateEntries(database));
    setup.ExecSQL();
  } catch (const Exception& e) {
    std::fprintf(stderr, "guest_book: %s\n", e.Message().c_str());
    return 1;
  }
  // Only the queries a page or a form may name belong in the module.
  TDataModule module(nullptr);
  NamedQuery(module, "qEntries", database,
             "select " + Escaped("name") + ", " + Escaped("message") +
                 ", signed from entries order by id desc");
  // Each parameter's design-time text says where its value comes from:
  // "^name" is the posted field "name".
  TQuery* sign =
      NamedQuery(module, "qSign", database, "insert into entries(name, message) values(:n, :m)");
  sign->ParamByName("n").SetDataType(ftString);
  sign->ParamByName("n").SetValue(Variant("^name"));
  sign->ParamByName("m").SetDataType(ftString);
  sign->ParamByName("m").SetValue(Variant("^message"));

  TKorvi server(nullptr);
  TKorviProcessor processor(nullptr);
  server.SetRoot(dir.string());
  server.SetServerPort(port);

  TKActionItem* book = server.Actions()->Add();
  book->SetPathInfo("/guestbook");
  book->SetOnAction([&](TObject*, TKorviRequest* request, TKorviResponse* response, bool& handled) {
    std::string message;
    if (request->MethodType() == mtPost &&
        !processor.ProcessQuery(&server, request, response, {&module}, message)) {
      // The message may quote the request (a field's "Help" text).
      response->SetContent("<html><body><p>" + HTMLEscape(message) +
                           "</p><a href=\"/guestbook\">Back</a></body></html>");
    } else {
      processor.ProcessHtmlFile(&server, request, response, page, {}, {&module});
    }
    handled = true;
  });

  server.StartListening();
  std::printf("guest_book: http://localhost:%d/guestbook (files in %s)\n", server.ServerPort(),
              dir.c_str());
  std::fflush(stdout);
  Application().Run();
  return 0;
}
