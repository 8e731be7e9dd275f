// TKorviDemo's upload page: a multipart form whose file goes into the shared
// directory, where the server's own file answering and directory listing
// (/files/ in the URL map) make it reachable.
#include "korvi_demo.h"

#include <algorithm>
#include <exception>
#include <memory>
#include <string>

#include <korvi/host/streams.h>
#include <korvi/host/sysutils.h>
#include <korvi/web/http_text.h>
#include <korvi/web/korvi_request.h>
#include <korvi/web/korvi_response.h>

#include "html_producer.h"
#include "shopping_cart.h"

namespace korvi {

namespace {

// Longest name an uploaded file keeps.
constexpr std::size_t kMaxFileName = 100;

// The name an uploaded file gets in the shared directory, made from the name
// the browser sent: its last path segment (some browsers send a whole path),
// in lower case like the listing's links, with every byte but letters,
// digits, ".", "-" and "_" written as "_", and without leading dots, which
// would hide the file.
std::string SharedFileName(const std::string& client_name) {
  std::string name = LowerCase(client_name.substr(client_name.find_last_of("/\\") + 1));
  for (char& c : name) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '-';
    if (!plain) c = '_';
  }
  name.erase(0, name.find_first_not_of('.'));
  name.resize(std::min(name.size(), kMaxFileName));
  return name.empty() ? "upload" : name;
}

std::string Notice(const std::string& html) {
  return "<p class=\"notice\">" + html + "</p>";
}

}  // namespace

void TKorviDemo::ServeUpload(TKorviRequest& request, TKorviResponse& response) {
  const int cart_items = CartOf(request, response)->ItemCount();
  const std::string notice = request.MethodType() == mtPost ? StoreUpload(request) : "";
  THTMLProducer producer(TemplatePath("upload.htm"),
                         {{"nav", NavigationBar(cart_items)}, {"notice", notice}});
  response.SetContent(producer.Content());
}

std::string TKorviDemo::StoreUpload(TKorviRequest& request) {
  // A large upload is read from the server's temporary file as it is
  // stored, never held in memory whole.
  std::unique_ptr<TStream> file = request.GetFileStream("file");
  const std::string client_name = request.GetFileName("file");
  if (!file || client_name.empty()) return Notice("Choose a file to share first.");
  const std::string name = SharedFileName(client_name);
  try {
    TFileStream stored(uploads_dir_ + "/" + name, fmCreate);
    stored.CopyFrom(*file, 0);
  } catch (const std::exception& e) {
    return Notice("The file could not be stored: " + HTMLEscape(e.what()));
  }
  return Notice("Shared <a id=\"shared-file\" href=\"/files/" + name + "\">" + name + "</a> (" +
                std::to_string(file->Size()) + " bytes).");
}

}  // namespace korvi
