// TKorviDemo: the data directory, the server with its URL map and actions,
// and what every page shares (the cart in the session, the navigation bar).
#include "korvi_demo.h"

#include <cstdint>
#include <filesystem>
#include <map>
#include <mutex>

#include <korvi/host/datetime.h>
#include <korvi/host/exceptions.h>
#include <korvi/host/files.h>
#include <korvi/host/sysutils.h>
#include <korvi/server/korvi.h>
#include <korvi/session/session_lock.h>
#include <korvi/web/action_item.h>
#include <korvi/web/korvi_request.h>
#include <korvi/web/korvi_response.h>

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

// Content types of the files the demo serves that the server's built-in
// table does not know.
void DemoMimeType(TObject*, const std::string& extension, std::string& type) {
  static const std::map<std::string, std::string> kTypes = {
      {"css", "text/css"},  {"js", "text/javascript"}, {"svg", "image/svg+xml"},
      {"png", "image/png"}, {"ico", "image/x-icon"},   {"pdf", "application/pdf"}};
  const auto found = kTypes.find(extension);
  if (found != kTypes.end()) type = found->second;
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
  server_->SetIniFile(map_file);
  server_->SetPort(settings_.Port);
  server_->ListenAddress = settings_.ListenAddress;
  server_->HTTP11 = settings_.Http11;
  server_->TlsEnabled = !settings_.TlsCertificateFile.empty();
  server_->TlsCertificateFile = settings_.TlsCertificateFile;
  server_->TlsKeyFile = settings_.TlsKeyFile;
  server_->MaxRequestBody = kMaxUpload;
  server_->OnGetMimeType = DemoMimeType;

  // A request field the request does not carry (%^author% on a first visit)
  // stands empty in a processed page instead of showing an error.
  processor_.OnEntry = [](TObject*, TKorviRequest*, TKorviResponse*, const std::string& name,
                          std::string&, bool& handled) { handled = name.starts_with('^'); };
  // The processor's pages show the navigation bar through the <#nav> tag.
  processor_.OnHTMLTag = [this](TObject*, TKorviRequest* request, TKorviResponse* response, TTag,
                                const std::string& tag, TStringList&, std::string& replace) {
    if (SameText(tag, "nav")) replace = NavigationBar(CartItems(*request, *response));
  };

  // Actions are offered a request in this order; the first whose path is a
  // prefix of the request's path (without regard to case) takes it, so the
  // longer paths come first.
  AddAction("/shop", &TKorviDemo::ServeShop);
  AddAction("/tea", &TKorviDemo::ServeTea);
  AddAction("/review", &TKorviDemo::AddReview);
  AddAction("/cart/add", &TKorviDemo::AddToCart);
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
  return server_->ServerPort();
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

}  // namespace korvi
