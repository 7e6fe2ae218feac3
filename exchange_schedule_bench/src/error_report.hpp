// The error that ends the program: a message and the chain of causes it wraps.
//
//   ErrorReport::wrap("open snapshot.json", "No such file or directory (os error 2)").render()
//   // "Error: open snapshot.json\n\nCaused by:\n    No such file or directory (os error 2)\n"
#pragma once

#include <string>
#include <vector>

namespace exchange_schedule_bench {

class ErrorReport {
 public:
  explicit ErrorReport(std::string message) : message_(std::move(message)) {}
  ErrorReport(std::string message, std::vector<std::string> causes)
      : message_(std::move(message)), causes_(std::move(causes)) {}

  // `message` as context around one underlying cause.
  static ErrorReport wrap(std::string message, std::string cause) {
    return ErrorReport(std::move(message), {std::move(cause)});
  }

  const std::string& message() const { return message_; }
  const std::vector<std::string>& causes() const { return causes_; }

  // "Error: {message}\n", then for wrapped causes a blank line, "Caused by:" and the causes:
  // one indented four spaces, several numbered from 0 in a five-wide column.
  std::string render() const;

 private:
  std::string message_;
  std::vector<std::string> causes_;
};

}  // namespace exchange_schedule_bench
