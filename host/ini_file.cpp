// TIniFile: reading, changing and atomically saving an ini text file.
#include "korvi/host/ini_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "korvi/host/exceptions.h"
#include "korvi/host/sysutils.h"

namespace korvi {

namespace {

bool HasLineBreak(std::string_view text) {
  return text.find_first_of("\r\n") != std::string::npos;
}

// The line `name`=`value` for `section`; anything that would read back as
// another line, section or key is refused.
std::string EntryLine(std::string_view section, std::string_view key, std::string_view value) {
  const std::string name = Trim(key);
  if (HasLineBreak(section) || section.find(']') != std::string_view::npos || name.empty() ||
      name[0] == '[' || name[0] == ';' || HasLineBreak(name) ||
      name.find('=') != std::string::npos || HasLineBreak(value)) {
    throw Exception("Invalid ini file entry [" + std::string(section) + "] " + name);
  }
  return name + "=" + std::string(value);
}

// Where new entries go: after the last non-blank line, before the blank
// lines that separate the section from the next one.
std::vector<std::string>::iterator EntryInsertPoint(std::vector<std::string>& lines) {
  auto at = lines.end();
  while (at != lines.begin() && Trim(*(at - 1)).empty())
    --at;
  return at;
}

[[noreturn]] void RaiseWriteError(const std::string& path, const std::string& reason) {
  throw EFOpenError("Cannot open file \"" + path + "\". " + reason);
}

// Writes all of `text` to `fd`; false with errno set on failure.
bool WriteAll(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += n;
  }
  return true;
}

}  // namespace

bool IniSectionHeader(std::string_view line, std::string& name) {
  const std::string trimmed = Trim(line);
  if (trimmed.empty() || trimmed[0] != '[') return false;
  const std::size_t close = trimmed.find(']');
  name = Trim(std::string_view(trimmed).substr(
      1, close == std::string::npos ? std::string_view::npos : close - 1));
  return true;
}

bool IsIniRemark(std::string_view line) {
  const std::string trimmed = Trim(line);
  return trimmed.empty() || trimmed[0] == ';';
}

bool SplitIniEntry(std::string_view line, std::string& key, std::string& value) {
  if (IsIniRemark(line)) return false;
  const std::string trimmed = Trim(line);
  const std::size_t separator = trimmed.find('=');
  if (separator == std::string::npos) return false;
  key = TrimRight(std::string_view(trimmed).substr(0, separator));
  value = TrimLeft(std::string_view(trimmed).substr(separator + 1));
  return true;
}

TIniFile::TIniFile(std::string path, TIniSaving saving) : path_(std::move(path)), saving_(saving) {
  TStringList lines;
  try {
    lines.LoadFromFile(path_);
  } catch (const EFOpenError& e) {
    // A file that is not there is an empty ini file; one that is there but
    // cannot be read must not be replaced by what little we know of it.
    if (::access(path_.c_str(), F_OK) == 0) read_error_ = e.Message();
    return;
  }
  for (int i = 0; i < lines.Count(); ++i) {
    std::string name;
    if (IniSectionHeader(lines[i], name)) {
      sections_.push_back({name, {}});
    } else {
      (sections_.empty() ? preamble_ : sections_.back().lines).push_back(lines[i]);
    }
  }
}

TIniFile::Section* TIniFile::Find(std::string_view section) {
  for (Section& s : sections_) {
    if (SameText(s.name, section)) return &s;
  }
  return nullptr;
}

const TIniFile::Section* TIniFile::Find(std::string_view section) const {
  return const_cast<TIniFile*>(this)->Find(section);
}

TIniFile::Section& TIniFile::FindOrAdd(std::string_view section) {
  if (Section* s = Find(section)) return *s;
  sections_.push_back({Trim(section), {}});
  return sections_.back();
}

void TIniFile::Changed() const {
  if (saving_ == TIniSaving::EveryWrite) UpdateFile();
}

void TIniFile::ReadSectionValues(std::string_view section, TStringList& lines) const {
  lines.Clear();
  const Section* s = Find(section);
  if (s == nullptr) return;
  std::string key, value;
  for (const std::string& line : s->lines) {
    if (SplitIniEntry(line, key, value)) lines.Add(key + "=" + value);
  }
}

std::string TIniFile::ReadString(std::string_view section, std::string_view key,
                                 std::string_view fallback) const {
  if (const Section* s = Find(section)) {
    std::string name, value;
    for (const std::string& line : s->lines) {
      if (SplitIniEntry(line, name, value) && SameText(name, key)) return value;
    }
  }
  return std::string(fallback);
}

void TIniFile::WriteString(std::string_view section, std::string_view key, std::string_view value) {
  const std::string line = EntryLine(section, key, value);
  const std::string name = line.substr(0, line.find('='));
  Section& s = FindOrAdd(section);
  std::string existing, ignored;
  for (std::string& old : s.lines) {
    if (SplitIniEntry(old, existing, ignored) && SameText(existing, name)) {
      old = line;
      Changed();
      return;
    }
  }
  s.lines.insert(EntryInsertPoint(s.lines), line);
  Changed();
}

void TIniFile::ReplaceSectionValues(std::string_view section, const TStringList& values) {
  std::vector<std::string> entries;
  for (int i = 0; i < values.Count(); ++i) {
    entries.push_back(EntryLine(section, values.Names(i), values.ValueFromIndex(i)));
  }
  Section& s = FindOrAdd(section);
  std::vector<std::string> kept;
  std::ptrdiff_t first_entry = -1;
  std::string key, value;
  for (std::string& line : s.lines) {
    if (!SplitIniEntry(line, key, value)) {
      kept.push_back(std::move(line));
    } else if (first_entry < 0) {
      first_entry = static_cast<std::ptrdiff_t>(kept.size());
    }
  }
  const auto at = first_entry >= 0 ? kept.begin() + first_entry : EntryInsertPoint(kept);
  kept.insert(at, entries.begin(), entries.end());
  s.lines = std::move(kept);
  Changed();
}

void TIniFile::DeleteKey(std::string_view section, std::string_view key) {
  Section* s = Find(section);
  if (s == nullptr) return;
  std::string name, value;
  const std::size_t removed = std::erase_if(s->lines, [&](const std::string& line) {
    return SplitIniEntry(line, name, value) && SameText(name, Trim(key));
  });
  if (removed != 0) Changed();
}

void TIniFile::EraseSection(std::string_view section) {
  const std::size_t before = sections_.size();
  std::erase_if(sections_, [&](const Section& s) { return SameText(s.name, section); });
  if (sections_.size() != before) Changed();
}

bool TIniFile::SectionExists(std::string_view section) const {
  return Find(section) != nullptr;
}

void TIniFile::UpdateFile() const {
  if (!read_error_.empty()) RaiseWriteError(path_, "It could not be read: " + read_error_);
  std::string text;
  for (const std::string& line : preamble_)
    text += line + "\n";
  for (const Section& s : sections_) {
    text += "[" + s.name + "]\n";
    for (const std::string& line : s.lines)
      text += line + "\n";
  }
  // The new content goes to a temporary file beside the old one, which is
  // then renamed over it: readers see either the old or the new file whole.
  static std::atomic<unsigned> counter{0};
  const std::string temp =
      path_ + ".tmp" + std::to_string(::getpid()) + "_" + std::to_string(counter++);
  const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) RaiseWriteError(path_, std::strerror(errno));
  int error = 0;
  struct stat old {};
  if (!WriteAll(fd, text)) {
    error = errno;
  } else if (::stat(path_.c_str(), &old) == 0 && ::fchmod(fd, old.st_mode & 07777) != 0) {
    error = errno;
  } else if (::fsync(fd) != 0) {
    error = errno;
  }
  if (::close(fd) != 0 && error == 0) error = errno;
  if (error == 0 && ::rename(temp.c_str(), path_.c_str()) != 0) error = errno;
  if (error != 0) {
    ::unlink(temp.c_str());
    RaiseWriteError(path_, std::strerror(error));
  }
}

}  // namespace korvi
