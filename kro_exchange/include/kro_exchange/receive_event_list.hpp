// The short list of receive events decoded from one row.
//
// A row has nine words: Sync, at most seven instructions and Return. Each word yields at most one
// event (a PicPair yields two from two words; its second word may be the Return slot), so a row
// never holds more than eight events. The list keeps them inline: decoding a row for every
// candidate offset allocates nothing.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "kro_exchange/receive_event.hpp"
#include "kro_runtime/panic.hpp"

namespace kro_exchange {

class ReceiveEventList {
 public:
  static constexpr std::size_t kCapacity = 8;

  constexpr void push_back(const ReceiveEvent& event) {
    KRO_ASSERT(size_ < kCapacity, "receive events of one row fit the inline list");
    items_[size_++] = event;
  }
  constexpr void clear() { size_ = 0; }
  // Keeps the first `size` events.
  constexpr void resize_down(std::size_t size) {
    KRO_ASSERT(size <= size_, "receive event list shrinks");
    size_ = size;
  }

  constexpr std::size_t size() const { return size_; }
  constexpr bool empty() const { return size_ == 0; }

  constexpr ReceiveEvent& operator[](std::size_t i) {
    KRO_ASSERT(i < size_, "receive event index is in bounds");
    return items_[i];
  }
  constexpr const ReceiveEvent& operator[](std::size_t i) const {
    KRO_ASSERT(i < size_, "receive event index is in bounds");
    return items_[i];
  }

  constexpr ReceiveEvent* begin() { return items_.data(); }
  constexpr ReceiveEvent* end() { return items_.data() + size_; }
  constexpr const ReceiveEvent* begin() const { return items_.data(); }
  constexpr const ReceiveEvent* end() const { return items_.data() + size_; }
  constexpr const ReceiveEvent* data() const { return items_.data(); }

  friend constexpr bool operator==(const ReceiveEventList& a, const ReceiveEventList& b) {
    if (a.size_ != b.size_) return false;
    for (std::size_t i = 0; i < a.size_; ++i)
      if (!(a.items_[i] == b.items_[i])) return false;
    return true;
  }

 private:
  std::array<ReceiveEvent, kCapacity> items_{};
  std::size_t size_ = 0;
};

}  // namespace kro_exchange
