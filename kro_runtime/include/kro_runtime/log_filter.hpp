// The log filter: a default level and per-target levels, in the directive syntax of `KRO_LOG`.
//
// "info,kro_exchange=debug,kro_codegen::exchange::order=off": comma-separated directives, each a
// level (the default for every target) or `target=level`. A target directive applies to that
// module path and every path below it (prefix match at `::` boundaries only); the directive with
// the longest matching target wins, and among equal targets the later one.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "kro_runtime/log.hpp"

namespace kro_runtime::log {

// A level threshold: events at or above it pass. `Off` lets nothing through.
enum class LevelFilter : std::uint8_t { Trace, Debug, Info, Warn, Error, Off };

// Parses "trace", "debug", "info", "warn", "error" or "off" (ASCII case-insensitive).
std::optional<LevelFilter> parse_level_filter(std::string_view text);

class Filter {
 public:
  struct Directive {
    std::string target;  // empty for the default level
    LevelFilter level;
  };

  // Parses a directive list; nullopt when any directive is malformed. A value without directives
  // (empty or only blanks and commas) is the default filter "info": setting the variable at all
  // switches logging on. A list without a bare level lets nothing through outside its targets.
  static std::optional<Filter> parse(std::string_view text);
  // The filter for a value of the environment variable: absent or unparsable gives "info".
  static Filter from_variable(std::optional<std::string_view> value);

  // The threshold for `target`: the most specific matching directive's, else `Off`.
  LevelFilter level_for(std::string_view target) const;
  bool enabled(Level level, std::string_view target) const;
  // The lowest threshold of any directive: no event below it can pass.
  LevelFilter max_level() const { return max_level_; }
  const std::vector<Directive>& directives() const { return directives_; }

 private:
  std::vector<Directive> directives_;
  LevelFilter max_level_ = LevelFilter::Off;
};

}  // namespace kro_runtime::log
