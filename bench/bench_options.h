// TBenchOptions: the integer command-line options of a benchmark program
// ("--name N"), each declared with its default and a line of help.
#pragma once

#include <cstdio>
#include <initializer_list>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace korvi::bench {

// One "--name N" option: its name, default value and one-line description.
struct TBenchOption {
  std::string Name;
  long long Default;
  std::string Help;
};

class TBenchOptions {
 public:
  // The options of the program `program`, described by `summary`.
  TBenchOptions(std::string program, std::string summary,
                std::initializer_list<TBenchOption> options);
  // Reads the command line. Returns the exit code the program should stop
  // with (0 after --help, 2 after a bad option, with the usage printed), or
  // nothing when the benchmark should run.
  std::optional<int> Parse(int argc, char** argv);
  // The value of a declared option.
  long long Get(const std::string& name) const;
  // The program's name, for messages.
  const std::string& Program() const { return program_; }

 private:
  struct TOption {
    long long value;
    std::string help;
  };
  void PrintUsage(std::FILE* out) const;
  std::string program_;
  std::string summary_;
  std::map<std::string, TOption> options_;
  std::vector<std::string> order_;
};

}  // namespace korvi::bench
