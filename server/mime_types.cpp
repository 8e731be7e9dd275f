// Content types of served files: built-in table, application hook and the
// reader of mime.types files.
#include "korvi/server/mime_types.h"

#include <fstream>
#include <sstream>

#include "korvi/host/sysutils.h"

namespace korvi {

namespace {

// Longest extension passed on, as the classic server cut it.
constexpr size_t kMaxExtension = 255;

struct TBuiltInType {
  const char* ext;
  const char* type;
};

constexpr TBuiltInType kBuiltInTypes[] = {
    {"gif", "image/gif"}, {"jpg", "image/jpeg"}, {"jpeg", "image/jpeg"},
    {"htm", "text/html"}, {"html", "text/html"}, {"txt", "text/plain"},
};

// The last segment of `path`: only it names the file, so a "." in a
// directory name is never taken for an extension.
std::string_view FileNameOf(std::string_view path) {
  const size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

}  // namespace

std::string MimeExtension(std::string_view path) {
  const std::string_view name = FileNameOf(path);
  const size_t dot = name.rfind('.');
  if (dot == std::string_view::npos) return {};
  return LowerCase(name.substr(dot + 1, kMaxExtension));
}

std::string BuiltInMimeType(std::string_view ext) {
  for (const TBuiltInType& entry : kBuiltInTypes) {
    if (ext == entry.ext) return entry.type;
  }
  return {};
}

std::string FileMimeType(std::string_view path, const TGetMimeType& hook, TObject* sender,
                         const TMimeTable* table) {
  if (FileNameOf(path).find('.') == std::string_view::npos) return {};
  const std::string ext = MimeExtension(path);
  std::string type;
  if (hook) hook(sender, ext, type);
  if (type.empty() && table != nullptr) type = table->TypeOf(ext);
  return type.empty() ? BuiltInMimeType(ext) : type;
}

bool TMimeTable::LoadFromFile(const std::string& path) {
  types_.clear();
  std::ifstream file(path);
  if (!file) return false;
  std::string line;
  while (std::getline(file, line)) {
    const size_t hash = line.find('#');
    if (hash != std::string::npos) line.erase(hash);
    std::istringstream words(line);
    std::string type;
    std::string ext;
    if (!(words >> type)) continue;
    // The first line naming an extension wins, as in other readers of the format.
    while (words >> ext)
      types_.emplace(LowerCase(ext), type);
  }
  return true;
}

std::string TMimeTable::TypeOf(std::string_view ext) const {
  const auto found = types_.find(std::string(ext));
  return found == types_.end() ? std::string() : found->second;
}

}  // namespace korvi
