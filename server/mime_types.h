/// \file
/// Content types of served files: the server's built-in table, the
/// application's OnGetMimeType hook, and TMimeTable, a reader of system MIME
/// tables (/etc/mime.types), which TKorvi::UseSystemMimeTypes puts between
/// the two.
#pragma once

#include <string>
#include <string_view>
#include <unordered_map>

#include "korvi/server/korvi.h"

namespace korvi {

/// The extension of the file named by `path`: the text after the last "." of
/// its last segment, at most 255 bytes, lower-cased; empty without a ".".
std::string MimeExtension(std::string_view path);
/// The built-in type of a lower-case extension (gif, jpg, jpeg, htm, html,
/// txt); empty for any other.
std::string BuiltInMimeType(std::string_view ext);
/// A table of extension -> type read from a file in the mime.types format:
/// one type per line followed by its extensions, "#" starting a comment.
class TMimeTable {
 public:
  /// Reads `path`; false (and an empty table) when it cannot be read.
  bool LoadFromFile(const std::string& path);
  /// The type of a lower-case extension, or empty.
  std::string TypeOf(std::string_view ext) const;
  /// Number of extensions known.
  int Count() const { return static_cast<int>(types_.size()); }

 private:
  std::unordered_map<std::string, std::string> types_;
};

/// The content type of the file `path`: `hook` (raised with `sender`) when it
/// is assigned and answers, else `table` when given and it knows the
/// extension, else the built-in table; empty when unknown or when the name
/// has no extension.
std::string FileMimeType(std::string_view path, const TGetMimeType& hook, TObject* sender,
                         const TMimeTable* table = nullptr);

}  // namespace korvi
