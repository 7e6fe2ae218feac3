#include "kro_exchange/error.hpp"

#include <fmt/format.h>

namespace kro_exchange {

std::string ExchangeError::display() const {
  switch (kind_) {
    case Kind::ValidationBudgetExceeded:
      return "exchange incremental-encoding work budget exhausted";
    case Kind::Tile:
      return fmt::format("logical tile {} is out of range", value_);
    case Kind::DuplicateTile:
      return "exchange endpoints must be distinct";
    case Kind::Count:
      return fmt::format("exchange count {} is outside 1..={}", value_, kMaximumExchangeWords);
    case Kind::ReceiverSet:
      return "invalid multicast receiver set";
    case Kind::Schedule:
      return fmt::format("exchange schedule is not encodable: {}", text_);
    case Kind::PlanOffsetRange:
      return fmt::format(
          "exchange event offset {} cycles from the phase-entry sync exceeds the encodable "
          "maximum of {} cycles",
          value_, maximum_);
    case Kind::Address:
      return fmt::format("tile address 0x{:x} is not encodable", value_);
    case Kind::HostPacket:
      return "host exchange address or length is not encodable";
  }
  return {};
}

std::string ExchangeError::debug() const {
  switch (kind_) {
    case Kind::ValidationBudgetExceeded:
      return "ValidationBudgetExceeded";
    case Kind::Tile:
      return fmt::format("Tile({})", value_);
    case Kind::DuplicateTile:
      return "DuplicateTile";
    case Kind::Count:
      return fmt::format("Count({})", value_);
    case Kind::ReceiverSet:
      return "ReceiverSet";
    case Kind::Schedule:
      return fmt::format("Schedule(\"{}\")", text_);
    case Kind::PlanOffsetRange:
      return fmt::format("PlanOffsetRange {{ cycles: {}, maximum: {} }}", value_, maximum_);
    case Kind::Address:
      return fmt::format("Address({})", value_);
    case Kind::HostPacket:
      return "HostPacket";
  }
  return {};
}

}  // namespace kro_exchange
