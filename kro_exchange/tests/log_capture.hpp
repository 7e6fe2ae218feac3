// Capturing log lines in tests. The subscriber is process-wide and installs once, so these run
// only inside a forked child (EXPECT_EXIT), which reports its verdict through its exit status.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "kro_runtime/log_filter.hpp"
#include "kro_runtime/log_subscriber.hpp"

namespace kro_exchange::testing_support {

// Installs a line-format subscriber with `filter` writing to a temporary file, runs `body`, and
// returns the lines written (without their line feeds).
inline std::vector<std::string> capture_log_lines(std::string_view filter,
                                                  const std::function<void()>& body) {
  std::FILE* sink = std::tmpfile();
  kro_runtime::log::install(kro_runtime::log::Subscriber(*kro_runtime::log::Filter::parse(filter),
                                                         kro_runtime::log::Format::Text, sink));
  body();
  std::fflush(sink);
  std::rewind(sink);
  std::vector<std::string> lines;
  std::string line;
  for (int c; (c = std::fgetc(sink)) != EOF;) {
    if (c == '\n') {
      lines.push_back(std::exchange(line, {}));
    } else {
      line.push_back(static_cast<char>(c));
    }
  }
  if (!line.empty()) lines.push_back(line);
  return lines;
}

// Ends the child: status 0 when `failures` is empty, else 1 with the failures on standard error.
[[noreturn]] inline void finish_child(const std::vector<std::string>& failures) {
  for (const std::string& failure : failures) std::fputs((failure + "\n").c_str(), stderr);
  std::fflush(stderr);
  std::_Exit(failures.empty() ? 0 : 1);
}

}  // namespace kro_exchange::testing_support
