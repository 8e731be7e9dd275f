// TKorviDemo's upload page: a multipart form whose file goes into the shared
// directory, where the server's own file answering and directory listing
// (/files/ in the URL map) make it reachable.
//
// Each upload is stored as "<number>-<name>.upload": nothing is overwritten,
// no upload takes the name of a default file, and the extension makes the
// server answer application/octet-stream. The answer names the original file
// as an attachment and forbids sniffing, so no upload runs as a page of the
// shop.
#include "korvi_demo.h"

#include <algorithm>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>

#include <korvi/host/streams.h>
#include <korvi/host/string_list.h>
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
// The quota of the shared directory.
constexpr std::size_t kMaxSharedFiles = 200;
constexpr std::uintmax_t kMaxSharedBytes = 64 * 1024 * 1024;
// The extension of every stored upload.
const char* const kUploadExtension = ".upload";

// The original name of an upload, made safe to store and to quote in a
// header: its last path segment (some browsers send a whole path), with every
// byte but letters, digits, ".", "-" and "_" written as "_", and without
// leading dots, which would hide the file.
std::string SafeFileName(const std::string& client_name) {
  std::string name = client_name.substr(client_name.find_last_of("/\\") + 1);
  for (char& c : name) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                       c == '.' || c == '-';
    if (!plain) c = '_';
  }
  name.erase(0, name.find_first_not_of('.'));
  name.resize(std::min(name.size(), kMaxFileName));
  return name.empty() ? "upload" : name;
}

// The original name of the stored upload `path` ("<number>-<name>.upload"),
// or "" when `path` names no stored upload.
std::string OriginalName(const std::string& path) {
  const std::string stored = std::filesystem::path(path).filename().string();
  const size_t dash = stored.find('-');
  if (dash == std::string::npos || !stored.ends_with(kUploadExtension)) return "";
  return stored.substr(dash + 1, stored.size() - dash - 1 - std::string(kUploadExtension).size());
}

// The number of files in `directory` and their bytes.
struct TUsage {
  std::size_t Files = 0;
  std::uintmax_t Bytes = 0;
};
TUsage UsageOf(const std::string& directory) {
  TUsage usage;
  for (const auto& entry : std::filesystem::directory_iterator(directory)) {
    ++usage.Files;
    if (entry.is_regular_file()) usage.Bytes += entry.file_size();
  }
  return usage;
}

std::string Notice(const std::string& html) {
  return "<p class=\"notice\">" + html + "</p>";
}

}  // namespace

void TKorviDemo::ServeUpload(TKorviRequest& request, TKorviResponse& response) {
  const int cart_items = CartOf(request, response)->ItemCount();
  if (request.MethodType() == mtPost && RefusedForm(request, response)) return;
  const std::string notice = request.MethodType() == mtPost ? StoreUpload(request) : "";
  THTMLProducer producer(TemplatePath("upload.htm"), {{"nav", NavigationBar(cart_items)},
                                                      {"notice", notice},
                                                      {"token", TokenField(request, response)}});
  response.SetContent(producer.Content());
}

std::string TKorviDemo::StoreUpload(TKorviRequest& request) {
  // A large upload is read from the server's temporary file as it is
  // stored, never held in memory whole.
  std::unique_ptr<TStream> file = request.GetFileStream("file");
  const std::string client_name = request.GetFileName("file");
  if (!file || client_name.empty()) return Notice("Choose a file to share first.");
  const std::string name = SafeFileName(client_name);
  std::string stored;
  try {
    // The quota check and the choice of a free name go together.
    std::lock_guard<std::mutex> lock(uploads_lock_);
    const TUsage usage = UsageOf(uploads_dir_);
    if (usage.Files >= kMaxSharedFiles ||
        usage.Bytes + static_cast<std::uintmax_t>(file->Size()) > kMaxSharedBytes)
      return Notice("The shared files are full: nothing more can be shared.");
    std::size_t number = usage.Files;
    do
      stored = std::to_string(++number) + "-" + name + kUploadExtension;
    while (std::filesystem::exists(uploads_dir_ + "/" + stored));
    TFileStream copy(uploads_dir_ + "/" + stored, fmCreate);
    copy.CopyFrom(*file, 0);
  } catch (const std::exception& e) {
    return Notice("The file could not be stored: " + HTMLEscape(e.what()));
  }
  return Notice("Shared <span id=\"shared-name\">" + name + "</span> (" +
                std::to_string(file->Size()) + " bytes) as <a id=\"shared-file\" href=\"/files/" +
                stored + "\">" + stored + "</a>.");
}

void TKorviDemo::AddSharedFileHeaders(const std::string& path, TStringList& headers) const {
  if (!path.starts_with(uploads_dir_ + "/")) return;
  const std::string original = OriginalName(path);
  headers.Add("Content-Disposition=attachment" +
              (original.empty() ? "" : "; filename=\"" + original + "\""));
  headers.Add("X-Content-Type-Options=nosniff");
  headers.Add("Content-Security-Policy=sandbox");
}

}  // namespace korvi
