// TKorviDemo: the Korvi Tea House, a small shop built on every part of the
// library. It owns the server and its actions, the session store that keeps
// each browser's cart, the page processor and the shop's database, and
// answers:
//
//   /              the home page: the default action, which leaves every
//                  other path to the server's own file answering
//   /shop?kind=K&page=N   the teas (of one kind), four to a page, made by a
//                  loop producer
//   /tea?id=N      one tea with its reviews and a review form, a page run by
//                  the page processor
//   /review        the review form's target: the server checks the fields and
//                  ProcessQuery runs the query the application names, or the
//                  page comes back (status 400) saying what is wrong
//   /cart/add, /cart/update, /cart/clear, /cart   the browser's cart, kept
//                  in its session
//   /upload        a form that stores a file in the shared files
//   /static/..., /about/, /files/   files, a default file and a directory
//                  listing answered by the server through the URL map; any
//                  other path gets the server's error page
//
// How it defends itself: the session cookie is HttpOnly and SameSite=Lax
// (and secure over HTTPS), and the store holds a bounded number of
// sessions. Every form that changes something carries the session's form
// token; a POST without it gets 403. Field values go into pages HTML-escaped,
// the review form runs a query the application chooses, and the server
// checks every field. Uploads are stored under names of their own ending in
// ".upload", within a quota, and go out as application/octet-stream
// attachments that the browser may not sniff.
//
// The data directory holds the database unless another one is named (made
// with sample rows on the first start), the uploaded files and the URL map,
// which korvi-map writes at every start since it names that directory.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include <korvi/dynamic/korvi_processor.h>
#include <korvi/session/korvi_sessions.h>

#include "shop_database.h"

namespace korvi {

class TKorvi;
class TKorviRequest;
class TKorviResponse;
class TShoppingCart;
class TStringList;

// Where the demo listens and keeps its files.
struct TDemoSettings {
  // The port to listen on (the next free one when it is taken; 0: any).
  int Port = 8080;
  // The address to listen on (empty: every address).
  std::string ListenAddress;
  // The directory of the database, the uploads and the URL map; made when missing.
  std::string DataDir;
  // The directory holding templates/, static/ and about/.
  std::string SiteDir;
  // The database: empty for the SQLite file shop.db in the data directory,
  // or any database name a query takes (a PostgreSQL connection URI or
  // key=value string puts the shop on that server).
  std::string Database;
  // HTTPS: the PEM certificate chain and its private key (both empty: HTTP).
  std::string TlsCertificateFile;
  std::string TlsKeyFile;
  // Answers in HTTP/1.1 with connections kept between requests (false:
  // HTTP/1.0, one request per connection).
  bool Http11 = true;
};

class TKorviDemo {
 public:
  // Prepares the data directory (the database, the upload directory and the
  // URL map) and the server with its actions. Raises an exception when any
  // of it fails.
  explicit TKorviDemo(const TDemoSettings& settings);
  // Destroys the server first: that waits for its worker threads, which use
  // everything else.
  ~TKorviDemo();

  // Starts listening; returns the port taken.
  int Start();
  // The connections the server handed to a worker, and those it refused,
  // since it was made.
  std::int64_t AcceptedConnections() const;
  std::int64_t RefusedConnections() const;
  // The absolute data directory.
  const std::string& DataDir() const { return settings_.DataDir; }

 private:
  // A page: fills the response to the request.
  using TPageHandler = void (TKorviDemo::*)(TKorviRequest& request, TKorviResponse& response);

  // --- Set-up (korvi_demo.cpp) ---

  // Adds the action that answers the paths beginning with `path` with `page`.
  void AddAction(const std::string& path, TPageHandler page);
  // Adds the default action, which answers the home page only.
  void AddHomeAction();
  // The absolute path of the template file `name`.
  std::string TemplatePath(const std::string& name) const;

  // --- Shared by the pages (korvi_demo.cpp) ---

  // The cart of the request's browser, in the session its cookie names or in
  // a new one. Keeps the session for another half hour and (re)sets the
  // session cookie on the response.
  std::shared_ptr<TShoppingCart> CartOf(TKorviRequest& request, TKorviResponse& response);
  // The number of tins in the cart of the request's browser, 0 without a session.
  int CartItems(TKorviRequest& request, TKorviResponse& response);
  // The bar on top of every page, showing the cart's item count.
  static std::string NavigationBar(int cart_items);
  // The hidden field that carries the session's form token, for the forms
  // of a page that CartOf has given a session.
  std::string TokenField(TKorviRequest& request, TKorviResponse& response);
  // False when the request is a POST carrying the form token of its
  // session; otherwise true, with the response made a 403 page. Every
  // handler of a form that changes something asks it first.
  bool RefusedForm(TKorviRequest& request, TKorviResponse& response);
  // Makes the response the page with status `status` and the plain text
  // `text` under the heading `title`.
  void RenderProblem(TKorviRequest& request, TKorviResponse& response, int status,
                     const std::string& title, const std::string& text);

  // --- Shop pages (korvi_demo_shop.cpp) ---

  void ServeHome(TKorviRequest& request, TKorviResponse& response);
  void ServeShop(TKorviRequest& request, TKorviResponse& response);
  void ServeTea(TKorviRequest& request, TKorviResponse& response);
  void AddReview(TKorviRequest& request, TKorviResponse& response);
  // The tea of the request's "id" field exists; otherwise false, with the
  // response made the 404 page.
  bool TeaFound(TKorviRequest& request, TKorviResponse& response);
  // The tea page for the request's "id" field, showing `message` above its form.
  void RenderTeaPage(TKorviRequest& request, TKorviResponse& response, const std::string& message);

  // --- Cart pages (korvi_demo_cart.cpp) ---

  void ServeCart(TKorviRequest& request, TKorviResponse& response);
  void AddToCart(TKorviRequest& request, TKorviResponse& response);
  // Sets the quantity of one line (the fields tea, grams and quantity; 0
  // removes the line).
  void UpdateCart(TKorviRequest& request, TKorviResponse& response);
  void ClearCart(TKorviRequest& request, TKorviResponse& response);
  // The page showing `cart` with `notice` (plain text) above it.
  void RenderCartPage(TKorviRequest& request, TKorviResponse& response, const TShoppingCart& cart,
                      const std::string& notice);

  // --- Upload page (korvi_demo_upload.cpp) ---

  void ServeUpload(TKorviRequest& request, TKorviResponse& response);
  // Stores the file of the multipart field "file"; returns the notice to show.
  std::string StoreUpload(TKorviRequest& request);
  // The headers of the server's answers with a shared file: the file's
  // original name as an attachment, not to be sniffed.
  void AddSharedFileHeaders(const std::string& path, TStringList& headers) const;

  TDemoSettings settings_;
  std::string uploads_dir_;
  // Held while an upload checks the quota and takes its name.
  std::mutex uploads_lock_;
  TShopDatabase database_;
  TKorviSessions sessions_;
  TKorviProcessor processor_;
  // Declared last, so it is destroyed first.
  std::unique_ptr<TKorvi> server_;
};

}  // namespace korvi
