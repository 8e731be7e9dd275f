// WriteURLMap: one "korvi-map --file FILE add PATH DIR" run per mapping.
#include "url_map_writer.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "host/exceptions.h"

namespace korvi {

namespace {

// Runs `arguments` (the program first) and waits for it; true when it
// exited with status 0.
bool RunProgram(const std::vector<std::string>& arguments) {
  std::vector<char*> argv;
  for (const std::string& argument : arguments)
    argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  pid_t child = 0;
  const int error = ::posix_spawn(&child, argv[0], nullptr, nullptr, argv.data(), environ);
  if (error != 0) throw Exception("cannot run " + arguments[0] + ": " + std::strerror(error));
  int status = 0;
  while (::waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) return false;
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

std::string ProgramBesideThisOne(const std::string& name) {
  return (std::filesystem::read_symlink("/proc/self/exe").parent_path() / name).string();
}

void WriteURLMap(const std::string& korvi_map, const std::string& map_file,
                 const std::vector<TURLMapping>& mappings) {
  // korvi-map adds to the map it finds: start from none.
  std::filesystem::remove(map_file);
  for (const TURLMapping& mapping : mappings) {
    if (!RunProgram({korvi_map, "--file", map_file, "add", mapping.Path, mapping.Directory}))
      throw Exception(korvi_map + " could not map " + mapping.Path + " in " + map_file);
  }
}

}  // namespace korvi
