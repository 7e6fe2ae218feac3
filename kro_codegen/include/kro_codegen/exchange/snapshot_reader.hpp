// Reading an exchange-schedule snapshot from JSON text.
//
// The reader streams the text once and fills the records directly: there is no document tree.
// Every record may be a JSON object (every key required, unknown keys skipped whatever their
// value) or an array of its field values in field order. Integers must be plain decimal digits
// within the field's range. Errors name the line and column where reading stopped.
//
//   auto snapshot = parse_snapshot(R"({"schema_version":3,"tile_count":4,"phases":[]})");
//   auto loaded = read_snapshot(fd);   // through an 8192-byte buffer
//   if (!loaded) fmt::print("{}", loaded.error().display());
#pragma once

#include <cstddef>
#include <expected>
#include <string>
#include <string_view>

#include "kro_codegen/exchange/snapshot.hpp"

namespace kro_codegen::exchange {

// Size of the read buffer used when reading from a file.
inline constexpr std::size_t kSnapshotReadBufferBytes = 8192;

struct SnapshotReadError {
  enum class Kind : std::uint8_t {
    Io,    // the operating system failed to deliver the bytes
    Json,  // the text is not a valid snapshot
  };
  Kind kind = Kind::Json;
  std::string message;
  // 1-based line; column counts the bytes read on that line (0 before its first byte).
  std::size_t line = 0;
  std::size_t column = 0;

  // "{message} at line {line} column {column}" for JSON errors, the message for I/O errors.
  std::string display() const;

  friend bool operator==(const SnapshotReadError&, const SnapshotReadError&) = default;
};

using SnapshotReadResult = std::expected<ExchangeScheduleSnapshot, SnapshotReadError>;

SnapshotReadResult parse_snapshot(std::string_view json);

// Reads the open file descriptor to its end; does not close it.
SnapshotReadResult read_snapshot(int fd);

}  // namespace kro_codegen::exchange
