// TBenchOptions: parsing of "--name N" options with defaults and usage text.
#include "bench_options.h"

#include <cstdio>
#include <stdexcept>
#include <string_view>

namespace korvi::bench {

TBenchOptions::TBenchOptions(std::string program, std::string summary,
                             std::initializer_list<TBenchOption> options)
    : program_(std::move(program)), summary_(std::move(summary)) {
  for (const TBenchOption& option : options) {
    options_[option.Name] = TOption{option.Default, option.Help};
    order_.push_back(option.Name);
  }
}

std::optional<int> TBenchOptions::Parse(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--help") {
      PrintUsage(stdout);
      return 0;
    }
    const auto option =
        arg.starts_with("--") ? options_.find(std::string(arg.substr(2))) : options_.end();
    if (option == options_.end() || i + 1 >= argc) {
      std::fprintf(stderr, "%s: unknown option or missing value: %s\n", program_.c_str(), argv[i]);
      PrintUsage(stderr);
      return 2;
    }
    const std::string text = argv[++i];
    std::size_t used = 0;
    long long value = 0;
    try {
      value = std::stoll(text, &used);
    } catch (const std::exception&) {
      used = 0;
    }
    if (used != text.size() || value < 0) {
      std::fprintf(stderr, "%s: %s needs a whole number >= 0, not %s\n", program_.c_str(),
                   argv[i - 1], text.c_str());
      return 2;
    }
    option->second.value = value;
  }
  return std::nullopt;
}

long long TBenchOptions::Get(const std::string& name) const {
  const auto option = options_.find(name);
  if (option == options_.end()) throw std::logic_error("undeclared option --" + name);
  return option->second.value;
}

void TBenchOptions::PrintUsage(std::FILE* out) const {
  std::fprintf(out, "Usage: %s [options]\n%s\n\n", program_.c_str(), summary_.c_str());
  for (const std::string& name : order_) {
    const TOption& option = options_.at(name);
    std::fprintf(out, "  --%-14s %s (default %lld)\n", (name + " N").c_str(), option.help.c_str(),
                 option.value);
  }
}

}  // namespace korvi::bench
