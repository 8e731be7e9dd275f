// korvi-map: edits a URL map file (the [MAP] section that korvi-serve --map
// reads) from the command line: one list, add, replace or delete command, or
// an edit session that reads such commands from standard input.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <exception>
#include <iostream>
#include <string>
#include <string_view>
#include <vector>

#include "korvi/design/component_registration.h"
#include "korvi/design/ini_property.h"
#include "korvi/design/map_form.h"
#include "korvi/host/application.h"
#include "korvi/host/exceptions.h"
#include "korvi/host/files.h"
#include "korvi/host/string_list.h"
#include "korvi/web/http_text.h"

namespace korvi {
namespace {

const char* const kUsage =
    "Usage: korvi-map [--file FILE | --config FILE] COMMAND\n"
    "       korvi-map --components | --help\n"
    "Edits a URL map file: section [MAP] of an ini file, one line URL path=directory\n"
    "per mapping, which korvi-serve --map serves.\n"
    "\n"
    "Commands:\n"
    "  list                          print the mappings under the column titles\n"
    "  add PATH DIR                  map the URL path PATH to the directory DIR, a\n"
    "                                full path or one relative to the server root\n"
    "  replace OLDPATH NEWPATH DIR   change the mapping of OLDPATH\n"
    "  delete PATH                   remove the mapping of PATH\n"
    "  edit                          read list, add, replace, delete, help and quit\n"
    "                                from standard input, one per line (words holding\n"
    "                                blanks in quotes), print the table after each,\n"
    "                                and save the changes when the input ends\n"
    "\n"
    "Options:\n"
    "  --file FILE     the map file (default: Korvi.ini in the current directory)\n"
    "  --config FILE   a korvi-serve --config file: edit the map that URLMapIniFile\n"
    "                  in its [Korvi] section names (Korvi.ini in the current\n"
    "                  directory when empty). A change sets an empty URLMapIniFile\n"
    "                  to the file edited and drops ServerRoot, which a map replaces.\n"
    "  --components    print the registered components and the map-file editor\n"
    "  --help          show this text\n"
    "\n"
    "A path gets a leading \"/\" when it lacks one and loses trailing ones; paths\n"
    "compare without regard to case; a path holding \"=\" or a line break is\n"
    "refused. A missing file is created by the first change; a file that cannot be\n"
    "read is replaced by Pirnask.ini in the current directory. A change rewrites the\n"
    "whole file at once, [VERSION] PIRNASK=0.1 and [MAP] in case-insensitive order;\n"
    "comments and other sections stay. A run that changes nothing writes nothing.\n"
    "\n"
    "Exit status: 0 done, 1 a command was refused or the file could not be written,\n"
    "2 usage error.\n";

const char* const kEditHelp =
    "list | add PATH DIR | replace OLDPATH NEWPATH DIR | delete PATH | help | quit\n";

// Section of a korvi-serve configuration file that holds the server's properties.
const char* const kConfigSection = "Korvi";

class TUsageError : public Exception {
 public:
  using Exception::Exception;
};

void Notice(const std::string& text) {
  std::fprintf(stderr, "korvi-map: %s\n", text.c_str());
}

// Raises TUsageError unless `words` is a map command with its arguments.
void CheckCommand(const std::vector<std::string>& words) {
  struct TCommand {
    std::string_view name;
    std::size_t words;
    std::string_view usage;
  };
  static constexpr TCommand kCommands[] = {{"list", 1, "list"},
                                           {"add", 3, "add PATH DIR"},
                                           {"replace", 4, "replace OLDPATH NEWPATH DIR"},
                                           {"delete", 2, "delete PATH"}};
  for (const TCommand& command : kCommands) {
    if (words[0] != command.name) continue;
    if (words.size() != command.words) throw TUsageError("usage: " + std::string(command.usage));
    return;
  }
  throw TUsageError("unknown command " + words[0]);
}

// The mappings under the column titles, the paths padded to one width.
void PrintTable(const TMapForm& form) {
  std::size_t width = 0;
  for (int row = 0; row < form.RowCount(); ++row)
    width = std::max(width, form.Cells(0, row).size());
  for (int row = 0; row < form.RowCount(); ++row) {
    const std::string path = form.Cells(0, row);
    if (path.empty()) continue;  // the empty row of an empty map
    std::printf("%-*s  %s\n", static_cast<int>(width), path.c_str(), form.Cells(1, row).c_str());
  }
  std::fflush(stdout);
}

// The row of the mapping of `path`; -1 with a notice when there is none.
int RowOfPath(const TMapForm& form, const std::string& path) {
  const int row = form.FindRow(path);
  if (row < 0) Notice("no mapping for URL path " + path);
  return row;
}

// Applies one checked command; false when it was refused.
bool RunCommand(TMapForm& form, const std::vector<std::string>& words) {
  const std::string& command = words[0];
  if (command == "list") {
    PrintTable(form);
    return true;
  }
  if (command == "add") return form.Add(words[1], words[2]);
  const int row = RowOfPath(form, words[1]);
  if (row < 0) return false;
  if (command == "replace") return form.Replace(row, words[2], words[3]);
  return form.Delete(row);
}

// The words of a command line: blanks separate them, quotes hold blanks.
std::vector<std::string> SplitWords(const std::string& line) {
  static const TCharSet kBlanks{' ', '\t'};
  TStringList fields;
  ExtractHeaderFields(kBlanks, kBlanks, line, fields, false);
  std::vector<std::string> words;
  for (int i = 0; i < fields.Count(); ++i)
    words.push_back(fields[i]);
  return words;
}

// Reads commands from standard input until it ends or says quit, showing the
// table first and after each command; false when any line was refused.
bool EditSession(TMapForm& form) {
  const bool prompt = ::isatty(STDIN_FILENO) != 0;
  bool all_done = true;
  PrintTable(form);
  for (;;) {
    if (prompt) {
      std::fputs("> ", stdout);
      std::fflush(stdout);
    }
    std::string line;
    if (!std::getline(std::cin, line)) break;
    const std::vector<std::string> words = SplitWords(line);
    if (words.empty()) continue;
    if (words[0] == "quit") break;
    if (words[0] == "help") {
      std::fputs(kEditHelp, stdout);
      continue;
    }
    try {
      CheckCommand(words);
      if (!RunCommand(form, words)) all_done = false;
      if (words[0] != "list") PrintTable(form);
    } catch (const TUsageError& e) {
      Notice(e.Message());
      all_done = false;
    }
  }
  return all_done;
}

void PrintComponents() {
  std::printf("Components on the palette page \"%s\", in registration order:\n",
              std::string(PalettePage).c_str());
  for (const TComponentRegistration& component : RegisteredComponents) {
    std::printf("  %-16s %s\n", std::string(component.ClassName).c_str(),
                std::string(component.Description).c_str());
  }
  std::printf("Property editor %s for %s.%s (%s): korvi-map --config\n",
              std::string(MapFileEditor.EditorClass).c_str(),
              std::string(MapFileEditor.ComponentClass).c_str(),
              std::string(MapFileEditor.PropertyName).c_str(),
              std::string(MapFileEditor.PropertyType).c_str());
}

int Run(int argc, char** argv) {
  std::string file;
  std::string config;
  std::vector<std::string> words;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (!words.empty()) {
      words.emplace_back(arg);
    } else if (arg == "--help") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (arg == "--components") {
      PrintComponents();
      return 0;
    } else if (arg == "--file" || arg == "--config") {
      if (i + 1 >= argc || argv[i + 1][0] == '\0') {
        throw TUsageError(std::string(arg) + " needs a value");
      }
      (arg == "--file" ? file : config) = argv[++i];
    } else if (arg.starts_with("--")) {
      throw TUsageError("unknown option " + std::string(arg));
    } else {
      words.emplace_back(arg);
    }
  }
  if (!file.empty() && !config.empty()) throw TUsageError("--file and --config exclude each other");
  if (words.empty()) throw TUsageError("no command");
  const bool edit = words[0] == "edit";
  if (edit && words.size() != 1) throw TUsageError("usage: edit");
  if (!edit) CheckCommand(words);
  if (!config.empty() && !FileExists(config)) throw TUsageError("no config file " + config);

  Application().OnMessageBox = [](const std::string& text, const std::string&) { Notice(text); };
  bool all_done = true;
  const TMapForm::TMapSession session = [&](TMapForm& form) {
    all_done = edit ? EditSession(form) : RunCommand(form, words);
  };
  if (!config.empty()) {
    ZIniProperty(config, kConfigSection).Edit(session);
  } else {
    TMapForm(file.empty() ? std::string(ZIniProperty::DefaultFile) : file).ShowModal(session);
  }
  return all_done ? 0 : 1;
}

}  // namespace
}  // namespace korvi

int main(int argc, char** argv) {
  try {
    return korvi::Run(argc, argv);
  } catch (const korvi::TUsageError& e) {
    std::fprintf(stderr, "korvi-map: %s\n%s", e.Message().c_str(), korvi::kUsage);
    return 2;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "korvi-map: %s\n", e.what());
    return 1;
  }
}
