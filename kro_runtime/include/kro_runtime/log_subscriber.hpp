// Filtering and writing log events to one C stdio stream.
//
// Each event becomes exactly one line written with a single fwrite, so log lines interleave with
// the program's own lines on the same stream in program order and are never split by them.
#pragma once

#include <chrono>
#include <cstdio>
#include <span>
#include <string_view>

#include <fmt/format.h>

#include "kro_runtime/log.hpp"
#include "kro_runtime/log_filter.hpp"

namespace kro_runtime::log {

enum class Format : std::uint8_t { Text, Json };

// Selected by `KRO_LOG_FORMAT`: exactly "json" gives JSON lines, anything else the line format.
Format format_from_variable(const char* value);

class Subscriber {
 public:
  using Clock = std::chrono::system_clock::time_point (*)();

  Subscriber(Filter filter, Format format, std::FILE* sink,
             Clock clock = &std::chrono::system_clock::now);

  bool enabled(Level level, std::string_view target) const {
    return filter_.enabled(level, target);
  }
  // Writes the event as one line (does not filter: ask `enabled` first).
  void write(const EventMeta& meta, std::span<const std::string_view> names,
             std::span<const FieldValue> values) const;
  // Appends the event's line, ending in a line feed, to `out`.
  void render(const EventMeta& meta, std::span<const std::string_view> names,
              std::span<const FieldValue> values, fmt::memory_buffer& out) const;

  const Filter& filter() const { return filter_; }
  Format output_format() const { return format_; }

 private:
  Filter filter_;
  Format format_;
  std::FILE* sink_;
  Clock clock_;
};

// Installs the process-wide subscriber. Returns false (changing nothing) when one is installed.
bool install(Subscriber subscriber);
// Whether a process-wide subscriber is installed.
bool installed();

}  // namespace kro_runtime::log
