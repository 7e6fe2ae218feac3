// Errors of the exchange-program builder and encoder.
//
// `ExchangeError` is a small plain value: a variant tag plus the payload that variant carries.
// It is returned through `Result<T>` (std::expected) by every fallible operation of the
// topology, row timing, builder, encoder and decoder.
//
//   Result<int> r = std::unexpected(ExchangeError::schedule("sender delay"));
//   r.error().display();  // "exchange schedule is not encodable: sender delay"
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

namespace kro_exchange {

// The largest number of payload words one exchange can carry.
inline constexpr std::uint32_t kMaximumExchangeWords = 4148;

class [[nodiscard]] ExchangeError {
 public:
  enum class Kind : std::uint8_t {
    ValidationBudgetExceeded = 0,
    Tile = 1,
    DuplicateTile = 2,
    Count = 3,
    ReceiverSet = 4,
    Schedule = 5,
    PlanOffsetRange = 6,
    Address = 7,
    HostPacket = 8,
  };

  static ExchangeError validation_budget_exceeded() { return {Kind::ValidationBudgetExceeded}; }
  static ExchangeError tile(std::uint16_t tile) { return {Kind::Tile, tile}; }
  static ExchangeError duplicate_tile() { return {Kind::DuplicateTile}; }
  static ExchangeError count(std::uint32_t count) { return {Kind::Count, count}; }
  static ExchangeError receiver_set() { return {Kind::ReceiverSet}; }
  // `text` must be a static string: it names what cannot be encoded.
  static ExchangeError schedule(std::string_view text) { return {Kind::Schedule, 0, 0, text}; }
  static ExchangeError plan_offset_range(std::uint32_t cycles, std::uint32_t maximum) {
    return {Kind::PlanOffsetRange, cycles, maximum};
  }
  static ExchangeError address(std::uint32_t address) { return {Kind::Address, address}; }
  static ExchangeError host_packet() { return {Kind::HostPacket}; }

  Kind kind() const { return kind_; }
  // Tile number, count, address or `cycles`, depending on the variant.
  std::uint32_t value() const { return value_; }
  std::uint32_t maximum() const { return maximum_; }
  // The static text of a `Schedule` error; empty for the other variants.
  std::string_view text() const { return text_; }

  bool is_schedule(std::string_view text) const { return kind_ == Kind::Schedule && text_ == text; }

  std::string display() const;
  std::string debug() const;

  friend bool operator==(const ExchangeError&, const ExchangeError&) = default;

 private:
  ExchangeError(Kind kind, std::uint32_t value = 0, std::uint32_t maximum = 0,
                std::string_view text = {})
      : kind_(kind), value_(value), maximum_(maximum), text_(text) {}

  Kind kind_;
  std::uint32_t value_;
  std::uint32_t maximum_;
  std::string_view text_;
};

template <class T>
using Result = std::expected<T, ExchangeError>;

// Shorthand for returning a `Schedule` failure from a function returning `Result<T>`.
inline std::unexpected<ExchangeError> schedule_error(std::string_view text) {
  return std::unexpected(ExchangeError::schedule(text));
}

}  // namespace kro_exchange
