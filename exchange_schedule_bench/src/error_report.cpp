#include "error_report.hpp"

#include <fmt/format.h>

namespace exchange_schedule_bench {

std::string ErrorReport::render() const {
  std::string out = fmt::format("Error: {}\n", message_);
  if (causes_.empty()) return out;
  out += "\nCaused by:\n";
  if (causes_.size() == 1) {
    out += fmt::format("    {}\n", causes_.front());
    return out;
  }
  for (std::size_t index = 0; index < causes_.size(); ++index) {
    out += fmt::format("{:>5}: {}\n", index, causes_[index]);
  }
  return out;
}

}  // namespace exchange_schedule_bench
