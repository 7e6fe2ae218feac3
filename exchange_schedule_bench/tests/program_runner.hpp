// Runs the built kro-tests program and captures what it printed.
#pragma once

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace program_test {

struct Outcome {
  int status = -1;
  std::string out;
  std::string err;
};

inline std::string slurp(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// Runs the program with `args`; `KRO_LOG` is removed from its environment unless `log_filter`
// is given, so log lines never mix into the checked output.
inline Outcome run_program(const std::vector<std::string>& args, const char* log_filter = nullptr) {
  const auto dir = std::filesystem::temp_directory_path();
  const auto out_path = dir / ("kro_program_out_" + std::to_string(::getpid()));
  const auto err_path = dir / ("kro_program_err_" + std::to_string(::getpid()));
  const pid_t child = ::fork();
  if (child == 0) {
    const int out = ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int err = ::open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ::dup2(out, 1);
    ::dup2(err, 2);
    if (log_filter) {
      ::setenv("KRO_LOG", log_filter, 1);
    } else {
      ::unsetenv("KRO_LOG");
    }
    std::vector<char*> argv{const_cast<char*>(KRO_BENCH_BINARY)};
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    ::execv(KRO_BENCH_BINARY, argv.data());
    ::_exit(127);
  }
  int wait_status = 0;
  ::waitpid(child, &wait_status, 0);
  Outcome outcome;
  outcome.status = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : -1;
  outcome.out = slurp(out_path);
  outcome.err = slurp(err_path);
  std::filesystem::remove(out_path);
  std::filesystem::remove(err_path);
  return outcome;
}

// A scratch directory for snapshot files, removed with everything in it.
class ScratchDir {
 public:
  ScratchDir()
      : path_(std::filesystem::temp_directory_path() /
              ("kro_program_test_" + std::to_string(::getpid()))) {
    std::filesystem::create_directories(path_);
  }
  ~ScratchDir() { std::filesystem::remove_all(path_); }

  std::string write(const std::string& name, const std::string& contents) const {
    const auto file = path_ / name;
    std::ofstream(file, std::ios::binary) << contents;
    return file.string();
  }
  std::string path(const std::string& name) const { return (path_ / name).string(); }
  std::string dir() const { return path_.string(); }

 private:
  std::filesystem::path path_;
};

}  // namespace program_test
