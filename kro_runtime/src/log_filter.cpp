#include "kro_runtime/log_filter.hpp"

#include <algorithm>
#include <array>

namespace kro_runtime::log {
namespace {

constexpr std::string_view kBlanks = " \t\r\n";

std::string_view trim(std::string_view text) {
  const auto first = text.find_first_not_of(kBlanks);
  if (first == std::string_view::npos) return {};
  const auto last = text.find_last_not_of(kBlanks);
  return text.substr(first, last - first + 1);
}

bool equals_ignoring_case(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           const auto lower = [](char c) {
             return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c;
           };
           return lower(x) == lower(y);
         });
}

bool is_identifier_char(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

// A module path: identifiers separated by `::`.
bool is_module_path(std::string_view text) {
  while (true) {
    const auto separator = text.find("::");
    const auto segment = text.substr(0, separator);
    if (segment.empty() || !std::all_of(segment.begin(), segment.end(), is_identifier_char))
      return false;
    if (separator == std::string_view::npos) return true;
    text.remove_prefix(separator + 2);
  }
}

// `pattern` equals `target` or names a module above it.
bool covers(std::string_view pattern, std::string_view target) {
  if (pattern.empty()) return true;
  if (!target.starts_with(pattern)) return false;
  return target.size() == pattern.size() || target.substr(pattern.size()).starts_with("::");
}

}  // namespace

std::optional<LevelFilter> parse_level_filter(std::string_view text) {
  static constexpr std::array<std::pair<std::string_view, LevelFilter>, 6> kNames{{
      {"trace", LevelFilter::Trace},
      {"debug", LevelFilter::Debug},
      {"info", LevelFilter::Info},
      {"warn", LevelFilter::Warn},
      {"error", LevelFilter::Error},
      {"off", LevelFilter::Off},
  }};
  for (const auto& [name, level] : kNames)
    if (equals_ignoring_case(text, name)) return level;
  return std::nullopt;
}

std::optional<Filter> Filter::parse(std::string_view text) {
  Filter filter;
  while (true) {
    const auto comma = text.find(',');
    const auto item = trim(text.substr(0, comma));
    if (!item.empty()) {
      const auto equals = item.find('=');
      Directive directive{};
      if (equals == std::string_view::npos) {
        // A bare word is the default level.
        const auto level = parse_level_filter(item);
        if (!level) return std::nullopt;
        directive.level = *level;
      } else {
        const auto target = trim(item.substr(0, equals));
        const auto level = parse_level_filter(trim(item.substr(equals + 1)));
        if (!level || !is_module_path(target)) return std::nullopt;
        directive = {std::string(target), *level};
      }
      filter.directives_.push_back(std::move(directive));
    }
    if (comma == std::string_view::npos) break;
    text.remove_prefix(comma + 1);
  }
  if (filter.directives_.empty()) filter.directives_.push_back({"", LevelFilter::Info});
  filter.max_level_ = std::ranges::min(filter.directives_, {}, &Directive::level).level;
  return filter;
}

Filter Filter::from_variable(std::optional<std::string_view> value) {
  if (value) {
    if (auto filter = parse(*value)) return std::move(*filter);
  }
  return *parse("info");
}

LevelFilter Filter::level_for(std::string_view target) const {
  const Directive* best = nullptr;
  for (const auto& directive : directives_) {
    // `>=` keeps the later of two directives for the same target.
    if (covers(directive.target, target) &&
        (best == nullptr || directive.target.size() >= best->target.size()))
      best = &directive;
  }
  return best ? best->level : LevelFilter::Off;
}

bool Filter::enabled(Level level, std::string_view target) const {
  return static_cast<std::uint8_t>(level) >= static_cast<std::uint8_t>(level_for(target));
}

}  // namespace kro_runtime::log
