// TKorviDemo: the data directory, the server with its URL map and actions,
// and what every page shares (the cart in the session, the navigation bar).
#include "korvi_demo.h"

#include <cstdint>
#include <filesystem>
#include <mutex>

#include <korvi/host/datetime.h>
#include <korvi/host/exceptions.h>
#include <korvi/host/files.h>
#include <korvi/host/string_list.h>
#include <korvi/host/sysutils.h>
#include <korvi/server/korvi.h>
#include <korvi/session/session_lock.h>
#include <korvi/web/action_item.h>
#include <korvi/web/http_text.h>
#include <korvi/web/korvi_request.h>
#include <korvi/web/korvi_response.h>

#include "html_producer.h"
#include "shopping_cart.h"
#include "url_map_writer.h"

namespace korvi {

namespace {

// Request variable holding the decoded URL path.
constexpr int kURLPathVariable = 2;
// How long a browser's session lives after its last page.
constexpr TDateTime kSessionLife = 30.0 / (24 * 60);
// The name the cart is stored under in a session.
const char* const kCartObject = "Cart";
// Largest upload the server takes into memory.
constexpr std::int64_t kMaxUpload = 16 * 1024 * 1024;
// The most sessions (browsers) kept at once, about 500 bytes each without a
// cart: the least recently used go first.
constexpr int kMaxSessions = 20000;
// The form field that carries the session's form token.
const char* const kTokenField = "token";

// The absolute form of the directory `directory`, without a trailing "/".
std::string AbsoluteDirectory(const std::string& directory) {
  std::filesystem::path path = std::filesystem::absolute(directory).lexically_normal();
  if (!path.has_filename()) path = path.parent_path();
  return path.string();
}

// `settings` with absolute directories; the data directory is made.
TDemoSettings Prepared(TDemoSettings settings) {
  settings.DataDir = AbsoluteDirectory(settings.DataDir);
  settings.SiteDir = AbsoluteDirectory(settings.SiteDir);
  if (!DirectoryExists(settings.SiteDir + "/templates"))
    throw Exception("no templates in " + settings.SiteDir);
  std::filesystem::create_directories(settings.DataDir);
  return settings;
}

// Uploads end in this extension, which the server answers as
// application/octet-stream (see TKorviDemo::StoreUpload).
void DemoMimeType(TObject*, const std::string& extension, std::string& type) {
  if (extension == "upload") type = "application/octet-stream";
}

}  // namespace

TKorviDemo::TKorviDemo(const TDemoSettings& settings)
    : settings_(Prepared(settings)),
      uploads_dir_(settings_.DataDir + "/files"),
      database_(settings_.Database.empty() ? settings_.DataDir + "/shop.db" : settings_.Database),
      sessions_(nullptr),
      processor_(nullptr),
      server_(std::make_unique<TKorvi>(nullptr)) {
  std::filesystem::create_directories(uploads_dir_);

  // URL map mode: the server answers files only below the mapped
  // directories. The map names the data directory, so it is written anew at
  // every start.
  const std::string map_file = settings_.DataDir + "/url-map.ini";
  WriteURLMap(ProgramBesideThisOne("korvi-map"), map_file,
              {{"/static", settings_.SiteDir + "/static"},
               {"/about", settings_.SiteDir + "/about"},
               {"/files", uploads_dir_}});
  server_->SetURLMapIniFile(map_file);
  server_->SetServerPort(settings_.Port);
  server_->ListenAddress = settings_.ListenAddress;
  server_->HTTP11 = settings_.Http11;
  server_->BatchScheduling = true;
  server_->SteerKeptConnections = true;
  server_->TlsEnabled = !settings_.TlsCertificateFile.empty();
  server_->TlsCertificateFile = settings_.TlsCertificateFile;
  server_->TlsKeyFile = settings_.TlsKeyFile;
  server_->MaxRequestBody = kMaxUpload;
  server_->OnGetMimeType = DemoMimeType;
  server_->UseSystemMimeTypes();
  server_->OnFileHeaders = [this](TObject*, const std::string& path, TStringList& headers) {
    AddSharedFileHeaders(path, headers);
  };
  // Error pages and listings end without a product line.
  server_->ProductLine = std::string();

  // The session cookie stays out of reach of scripts and of other sites'
  // forms; it is made secure in Start, once the server knows it serves HTTPS.
  sessions_.SetCookieHttpOnly(true);
  sessions_.SetCookieSameSite(ssLax);
  sessions_.SetMaxSessions(kMaxSessions);

  // Text from the database goes into the processor's pages escaped, and
  // they end where the template does.
  processor_.EscapeFieldValues = true;
  processor_.Footer.clear();

  // A request field the request does not carry (%^author% on a first visit)
  // stands empty in a processed page instead of showing an error.
  processor_.OnEntry = [](TObject*, TKorviRequest*, TKorviResponse*, const std::string& name,
                          std::string&, bool& handled) { handled = name.starts_with('^'); };
  // The processor's pages show the navigation bar through the <#nav> tag.
  processor_.OnHTMLTag = [this](TObject*, TKorviRequest* request, TKorviResponse* response, TTag,
                                const std::string& tag, TStringList&, std::string& replace) {
    if (SameText(tag, "nav")) replace = NavigationBar(CartItems(*request, *response));
    if (SameText(tag, "token")) replace = TokenField(*request, *response);
  };

  // Actions are offered a request in this order; the first whose path is a
  // prefix of the request's path (without regard to case) takes it, so the
  // longer paths come first.
  AddAction("/shop", &TKorviDemo::ServeShop);
  AddAction("/tea", &TKorviDemo::ServeTea);
  AddAction("/review", &TKorviDemo::AddReview);
  AddAction("/cart/add", &TKorviDemo::AddToCart);
  AddAction("/cart/update", &TKorviDemo::UpdateCart);
  AddAction("/cart/clear", &TKorviDemo::ClearCart);
  AddAction("/cart", &TKorviDemo::ServeCart);
  AddAction("/upload", &TKorviDemo::ServeUpload);
  AddHomeAction();
}

// The server, declared last, goes first. Its destruction waits for every
// connection; their handlers read server_, so the pointer must stay as it is
// until then, as the unique_ptr's own destructor leaves it (reset() would
// clear it before the wait).
TKorviDemo::~TKorviDemo() = default;

int TKorviDemo::Start() {
  server_->StartListening();
  sessions_.SetCookieSecure(server_->ServesTls());
  return server_->ServerPort();
}

std::int64_t TKorviDemo::AcceptedConnections() const {
  return server_->AcceptedConnections();
}

std::int64_t TKorviDemo::RefusedConnections() const {
  return server_->RefusedConnections();
}

void TKorviDemo::AddAction(const std::string& path, TPageHandler page) {
  TKActionItem* action = server_->Actions()->Add();
  action->SetPathInfo(path);
  action->SetOnAction(
      [this, page](TObject*, TKorviRequest* request, TKorviResponse* response, bool& handled) {
        (this->*page)(*request, *response);
        handled = true;
      });
}

void TKorviDemo::AddHomeAction() {
  TKActionItem* home = server_->Actions()->Add();
  home->SetDefault(true);
  home->SetOnAction(
      [this](TObject*, TKorviRequest* request, TKorviResponse* response, bool& handled) {
        // The default action is offered every request no other action took.
        // It answers the home page only; leaving `handled` false hands every
        // other path to the server: files through the URL map, default
        // files, directory listings and error pages.
        if (request->GetStringVariable(kURLPathVariable) != "/") return;
        ServeHome(*request, *response);
        handled = true;
      });
}

std::string TKorviDemo::TemplatePath(const std::string& name) const {
  return settings_.SiteDir + "/templates/" + name;
}

std::shared_ptr<TShoppingCart> TKorviDemo::CartOf(TKorviRequest& request,
                                                  TKorviResponse& response) {
  std::shared_ptr<TKorviSession> session =
      sessions_.StartSession(request, response, Now() + kSessionLife);
  // Two requests of one browser may arrive at once: look for the cart and
  // store a new one as one step.
  std::lock_guard<std::recursive_mutex> lock(CsAccess());
  auto cart = std::dynamic_pointer_cast<TShoppingCart>(session->GetObject(kCartObject));
  if (!cart) {
    cart = std::make_shared<TShoppingCart>();
    session->SetObject(kCartObject, cart);
  }
  return cart;
}

int TKorviDemo::CartItems(TKorviRequest& request, TKorviResponse& response) {
  std::shared_ptr<TKorviSession> session = sessions_.GetSession(request, response);
  if (!session) return 0;
  auto cart = std::dynamic_pointer_cast<TShoppingCart>(session->GetObject(kCartObject));
  return cart ? cart->ItemCount() : 0;
}

std::string TKorviDemo::NavigationBar(int cart_items) {
  return "<header class=\"bar\"><a class=\"brand\" href=\"/\">"
         "<img src=\"/static/teapot.svg\" alt=\"\" width=\"32\" height=\"32\">"
         "Korvi Tea House</a><nav>"
         "<a href=\"/shop\">Teas</a>"
         "<a href=\"/upload\">Share a file</a>"
         "<a href=\"/files/\">Shared files</a>"
         "<a href=\"/about/\">About</a>"
         "<a id=\"cart-link\" href=\"/cart\">Cart (<span id=\"cart-count\">" +
         std::to_string(cart_items) + "</span>)</a></nav></header>";
}

std::string TKorviDemo::TokenField(TKorviRequest& request, TKorviResponse& response) {
  return std::string("<input type=\"hidden\" name=\"") + kTokenField + "\" value=\"" +
         sessions_.FormToken(request, response) + "\">";
}

bool TKorviDemo::RefusedForm(TKorviRequest& request, TKorviResponse& response) {
  if (request.MethodType() == mtPost &&
      sessions_.CheckFormToken(request, response, request.GetFormField(kTokenField, "")))
    return false;
  RenderProblem(request, response, 403, "This form has expired",
                "The form did not come from this browser's visit to the shop. Go back, reload "
                "the page and try again.");
  return true;
}

void TKorviDemo::RenderProblem(TKorviRequest& request, TKorviResponse& response, int status,
                               const std::string& title, const std::string& text) {
  THTMLProducer producer(TemplatePath("problem.htm"),
                         {{"nav", NavigationBar(CartItems(request, response))},
                          {"title", HTMLEscape(title)},
                          {"text", HTMLEscape(text)}});
  response.SetStatusCode(status);
  response.SetContent(producer.Content());
}

}  // namespace korvi
