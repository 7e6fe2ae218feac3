// Death tests match the panic message as a regular expression; panic texts contain '.', '<' and
// brackets, so they are escaped to match literally.
#pragma once

#include <string>
#include <string_view>

namespace kro_exchange::test_support {

inline std::string literal(std::string_view text) {
  std::string out;
  for (const char ch : text) {
    if (std::string_view(".[]{}()\\*+?^$|").find(ch) != std::string_view::npos) out += '\\';
    out += ch;
  }
  return out;
}

}  // namespace kro_exchange::test_support
