// Errors of the exchange scheduler. `ExchangeLoweringError` also carries the builder's
// `ExchangeError` and the storage layout's `StorageError` unchanged: their display texts are
// shown as they are, with no prefix and no chained cause.
//
//   LoweringResult<void> r = std::unexpected(ExchangeLoweringError::invalid_snapshot("duplicate
//   phase 7")); r.error().display();  // "invalid exchange-schedule snapshot: duplicate phase 7"
#pragma once

#include <cstdint>
#include <expected>
#include <string>

#include "kro_codegen/storage/error.hpp"
#include "kro_exchange/error.hpp"

namespace kro_codegen::exchange {

class [[nodiscard]] ExchangeLoweringError {
 public:
  enum class Kind : std::uint8_t {
    Exchange = 0,
    Storage = 1,
    UnplacedShard = 2,
    InvalidDestination = 3,
    UnalignedPayload = 4,
    SizeMismatch = 5,
    Overflow = 6,
    IncompatibleRepeatRows = 7,
    DiagnosticTile = 8,
    InvalidSnapshot = 9,
    Invariant = 10,
  };

  // Conversions used wherever a builder or storage failure is propagated.
  ExchangeLoweringError(kro_exchange::ExchangeError error)  // NOLINT(google-explicit-constructor)
      : kind_(Kind::Exchange), exchange_(error) {}
  ExchangeLoweringError(storage::StorageError error)  // NOLINT(google-explicit-constructor)
      : kind_(Kind::Storage), storage_(error) {}

  static ExchangeLoweringError unplaced_shard() {
    return ExchangeLoweringError(Kind::UnplacedShard);
  }
  static ExchangeLoweringError invalid_destination() {
    return ExchangeLoweringError(Kind::InvalidDestination);
  }
  static ExchangeLoweringError unaligned_payload() {
    return ExchangeLoweringError(Kind::UnalignedPayload);
  }
  static ExchangeLoweringError size_mismatch() { return ExchangeLoweringError(Kind::SizeMismatch); }
  static ExchangeLoweringError overflow() { return ExchangeLoweringError(Kind::Overflow); }
  static ExchangeLoweringError incompatible_repeat_rows() {
    return ExchangeLoweringError(Kind::IncompatibleRepeatRows);
  }
  static ExchangeLoweringError diagnostic_tile(std::uint16_t tile) {
    ExchangeLoweringError e(Kind::DiagnosticTile);
    e.tile_ = tile;
    return e;
  }
  static ExchangeLoweringError invalid_snapshot(std::string text) {
    ExchangeLoweringError e(Kind::InvalidSnapshot);
    e.text_ = std::move(text);
    return e;
  }
  static ExchangeLoweringError invariant(std::string text) {
    ExchangeLoweringError e(Kind::Invariant);
    e.text_ = std::move(text);
    return e;
  }

  Kind kind() const { return kind_; }
  // Valid for `Exchange` only.
  const kro_exchange::ExchangeError& exchange() const { return exchange_; }
  // Valid for `Storage` only.
  const storage::StorageError& storage() const { return storage_; }
  std::uint16_t tile() const { return tile_; }
  // The owned text of `InvalidSnapshot` and `Invariant`.
  const std::string& text() const { return text_; }

  std::string display() const;
  std::string debug() const;

  friend bool operator==(const ExchangeLoweringError&, const ExchangeLoweringError&) = default;

 private:
  explicit ExchangeLoweringError(Kind kind) : kind_(kind) {}

  Kind kind_;
  kro_exchange::ExchangeError exchange_ = kro_exchange::ExchangeError::host_packet();
  storage::StorageError storage_ = storage::StorageError::overflow();
  std::uint16_t tile_ = 0;
  std::string text_;
};

template <class T>
using LoweringResult = std::expected<T, ExchangeLoweringError>;

}  // namespace kro_codegen::exchange
