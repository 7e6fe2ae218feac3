// Encoder checkpoints: points in a tile's encoding from which a later encoding may resume.
#pragma once

#include <cstdint>

namespace kro_exchange::encoding {

struct Checkpoint {
  // The checkpoint follows a PicPair whose length was cut by the next event or target; resuming
  // there is only sound while that bound (`limit`) is unchanged.
  bool pair = false;
  std::uint32_t limit = 0;
  // Sender rows fully encoded.
  std::uint64_t rows_done = 0;
  // Receive events encoded.
  std::uint64_t events_done = 0;
  // Words written.
  std::uint64_t words_len = 0;
  // Cycle at which the next word would start.
  std::uint32_t cycle = 0;

  friend bool operator==(const Checkpoint&, const Checkpoint&) = default;
};

}  // namespace kro_exchange::encoding
