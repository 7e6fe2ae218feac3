// Chunked<T>: a sequence split into shared fixed-size chunks with copy on write.
//
// The phase program builder duplicates a tile's whole state for every trial placement and then
// keeps or drops the copy. Keeping the state in chunks of CHUNK elements behind reference-counted
// handles makes that duplication cost one handle per chunk; a copy that is then changed duplicates
// only the chunks it touches (an append touches only the last one).
//
//   Chunked<std::uint32_t> words;
//   words.push(0x41800003);
//   Chunked<std::uint32_t> scratch = words;  // shares every chunk
//   scratch.push(0x43a00000);                // copies the last chunk; `words` is unchanged
//
// Invariants after every operation: every chunk but the last holds exactly CHUNK elements, the
// last holds 1 to CHUNK, and there are ceil(len / CHUNK) chunks (none when empty).
#pragma once

#include <algorithm>
#include <array>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <memory>
#include <ranges>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "kro_runtime/panic.hpp"

namespace kro_exchange::chunked {

inline constexpr std::uint64_t CHUNK = 128;

template <class T>
class Chunked {
  using Chunk = std::vector<T>;
  using Handle = std::shared_ptr<Chunk>;

  static constexpr unsigned kShift = 7;
  static constexpr std::uint64_t kMask = CHUNK - 1;
  static_assert((std::uint64_t{1} << kShift) == CHUNK);

 public:
  // Forward iterator over the elements in index order. Invalidated by any change.
  class const_iterator {
   public:
    using iterator_category = std::forward_iterator_tag;
    using iterator_concept = std::forward_iterator_tag;
    using value_type = T;
    using difference_type = std::ptrdiff_t;
    using reference = const T&;
    using pointer = const T*;

    const_iterator() = default;

    reference operator*() const { return *cur_; }
    pointer operator->() const { return cur_; }

    const_iterator& operator++() {
      if (++cur_ == cur_end_) {
        ++chunk_;
        enter_chunk();
      }
      return *this;
    }
    const_iterator operator++(int) {
      const_iterator before = *this;
      ++*this;
      return before;
    }

    // Element pointers are distinct across chunks and the end position holds none.
    friend bool operator==(const const_iterator& a, const const_iterator& b) {
      return a.cur_ == b.cur_;
    }

   private:
    friend class Chunked;

    const_iterator(const Handle* chunk, const Handle* chunks_end)
        : chunk_(chunk), chunks_end_(chunks_end) {
      enter_chunk();
    }

    void enter_chunk() {
      if (chunk_ != chunks_end_) {
        cur_ = (*chunk_)->data();
        cur_end_ = cur_ + (*chunk_)->size();
      } else {
        cur_ = nullptr;
        cur_end_ = nullptr;
      }
    }

    const T* cur_ = nullptr;
    const T* cur_end_ = nullptr;
    const Handle* chunk_ = nullptr;
    const Handle* chunks_end_ = nullptr;
  };

  Chunked() = default;
  // Copies duplicate the handle array only; no element is copied until one copy changes a chunk.
  Chunked(const Chunked&) = default;
  Chunked& operator=(const Chunked&) = default;
  Chunked(Chunked&& other) noexcept
      : chunks_(std::move(other.chunks_)), len_(std::exchange(other.len_, 0)) {
    other.chunks_.clear();
  }
  Chunked& operator=(Chunked&& other) noexcept {
    if (this != &other) {
      chunks_ = std::move(other.chunks_);
      other.chunks_.clear();
      len_ = std::exchange(other.len_, 0);
    }
    return *this;
  }
  ~Chunked() = default;

  std::uint64_t len() const { return len_; }
  bool is_empty() const { return len_ == 0; }

  const T& operator[](std::uint64_t index) const {
    check_index(index);
    return (*chunks_[index >> kShift])[index & kMask];
  }

  const T& back() const {
    KRO_ASSERT(len_ != 0, "back of an empty chunked sequence");
    return chunks_.back()->back();
  }

  const_iterator begin() const {
    return const_iterator(chunks_.data(), chunks_.data() + chunks_.size());
  }
  const_iterator end() const {
    const Handle* last = chunks_.data() + chunks_.size();
    return const_iterator(last, last);
  }
  std::ranges::subrange<const_iterator> iter() const { return {begin(), end()}; }

  void push(const T& value) {
    if ((len_ & kMask) == 0) chunks_.push_back(fresh_chunk());
    unique_chunk(chunks_.size() - 1).push_back(value);
    ++len_;
  }

  void extend(const std::array<std::uint32_t, 2>& pair) requires std::same_as<T, std::uint32_t> {
    push(pair[0]);
    push(pair[1]);
  }

  void truncate(std::uint64_t new_len) {
    KRO_ASSERT(new_len <= len_, "assertion failed: len <= self.len");
    const std::uint64_t keep = (new_len + kMask) >> kShift;
    if (chunks_.size() >= keep) {
      chunks_.erase(chunks_.begin() + static_cast<std::ptrdiff_t>(keep), chunks_.end());
    }
    const std::uint64_t tail = new_len & kMask;
    if (tail != 0) {
      Chunk& last = unique_chunk(chunks_.size() - 1);
      if (last.size() > tail)
        last.erase(last.begin() + static_cast<std::ptrdiff_t>(tail), last.end());
    }
    len_ = new_len;
  }

  // A copy truncated to `new_len`: the same as copying and then truncating, but only the kept
  // handles are copied (resuming an encoding keeps a prefix of a long shared program).
  Chunked prefix(std::uint64_t new_len) const {
    KRO_ASSERT(new_len <= len_, "assertion failed: len <= self.len");
    Chunked out;
    const std::uint64_t keep = (new_len + kMask) >> kShift;
    out.chunks_.assign(chunks_.begin(), chunks_.begin() + static_cast<std::ptrdiff_t>(keep));
    out.len_ = len_ < (keep << kShift) ? len_ : (keep << kShift);
    out.truncate(new_len);
    return out;
  }

  void insert(std::uint64_t index, const T& value) {
    KRO_ASSERT(index <= len_, "assertion failed: index <= self.len");
    if (index == len_) {
      push(value);
      return;
    }
    // `value` may be an element of this container that the shifting below moves.
    T pending = value;
    std::size_t c = static_cast<std::size_t>(index >> kShift);
    const auto offset = static_cast<std::ptrdiff_t>(index & kMask);
    {
      Chunk& chunk = unique_chunk(c);
      if (chunk.size() < CHUNK) {
        chunk.insert(chunk.begin() + offset, std::move(pending));
        ++len_;
        return;
      }
      // Full chunk: take the carried element off first so the chunk never outgrows CHUNK.
      T carry = std::move(chunk.back());
      chunk.pop_back();
      chunk.insert(chunk.begin() + offset, std::move(pending));
      pending = std::move(carry);
    }
    for (++c;; ++c) {
      if (c == chunks_.size()) {
        chunks_.push_back(fresh_chunk());
        chunks_.back()->push_back(std::move(pending));
        break;
      }
      Chunk& chunk = unique_chunk(c);
      if (chunk.size() < CHUNK) {
        chunk.insert(chunk.begin(), std::move(pending));
        break;
      }
      T carry = std::move(chunk.back());
      chunk.pop_back();
      chunk.insert(chunk.begin(), std::move(pending));
      pending = std::move(carry);
    }
    ++len_;
  }

  void remove(std::uint64_t index) {
    KRO_ASSERT(index < len_, "assertion failed: index < self.len");
    const auto c = static_cast<std::size_t>(index >> kShift);
    {
      Chunk& chunk = unique_chunk(c);
      chunk.erase(chunk.begin() + static_cast<std::ptrdiff_t>(index & kMask));
    }
    for (std::size_t next = c + 1; next < chunks_.size(); ++next) {
      Chunk& following = unique_chunk(next);
      T first = std::move(following.front());
      following.erase(following.begin());
      // Already unique: it was changed in the previous step.
      chunks_[next - 1]->push_back(std::move(first));
    }
    --len_;
    if ((len_ & kMask) == 0) chunks_.pop_back();
  }

  // Copies of the elements start..end-1; empty when end is not above start.
  std::vector<T> range(std::uint64_t start, std::uint64_t end) const {
    std::vector<T> out;
    if (end <= start) return out;
    if (end > len_) check_index(std::max(start, len_));
    out.reserve(static_cast<std::size_t>(end - start));
    std::uint64_t i = start;
    while (i < end) {
      const Chunk& chunk = *chunks_[i >> kShift];
      const std::uint64_t from = i & kMask;
      const std::uint64_t to = std::min<std::uint64_t>(chunk.size(), from + (end - i));
      out.insert(out.end(), chunk.begin() + static_cast<std::ptrdiff_t>(from),
                 chunk.begin() + static_cast<std::ptrdiff_t>(to));
      i += to - from;
    }
    return out;
  }

  // First index whose element fails `pred`, given that `pred` holds on a prefix; len if it
  // holds everywhere.
  template <class Pred>
  std::uint64_t partition_point(Pred pred) const {
    std::uint64_t lo = 0;
    std::uint64_t count = len_;
    while (count > 0) {
      const std::uint64_t half = count / 2;
      const std::uint64_t mid = lo + half;
      if (pred(static_cast<const T&>((*chunks_[mid >> kShift])[mid & kMask]))) {
        lo = mid + 1;
        count -= half + 1;
      } else {
        count = half;
      }
    }
    return lo;
  }

  friend bool operator==(const Chunked& a, const Chunked& b) requires std::equality_comparable<T> {
    return a.len_ == b.len_ && std::ranges::equal(a.iter(), b.iter());
  }

  // Chunk structure, for tests and benchmarks.
  std::size_t chunk_count() const { return chunks_.size(); }
  std::size_t chunk_len(std::size_t chunk) const { return handle(chunk)->size(); }
  long chunk_use_count(std::size_t chunk) const { return handle(chunk).use_count(); }
  bool shares_chunk_with(const Chunked& other, std::size_t chunk) const {
    return chunk < chunks_.size() && chunk < other.chunks_.size() &&
           chunks_[chunk] == other.chunks_[chunk];
  }

 private:
  static Handle fresh_chunk() {
    auto chunk = std::make_shared<Chunk>();
    chunk->reserve(CHUNK);
    return chunk;
  }

  // Copy on write: the chunk is changed in place only when no other container holds it. The copy
  // gets room for a full chunk so that following pushes do not reallocate.
  Chunk& unique_chunk(std::size_t c) {
    Handle& h = chunks_[c];
    if (h.use_count() > 1) {
      Handle copy = fresh_chunk();
      copy->assign(h->begin(), h->end());
      h = std::move(copy);
    }
    return *h;
  }

  const Handle& handle(std::size_t chunk) const {
    KRO_ASSERT(chunk < chunks_.size(), "chunk index out of bounds");
    return chunks_[chunk];
  }

  void check_index(std::uint64_t index) const {
    KRO_ASSERT(index < len_,
               fmt::format("index out of bounds: the len is {} but the index is {}", len_, index));
  }

  std::vector<Handle> chunks_;
  std::uint64_t len_ = 0;
};

}  // namespace kro_exchange::chunked

namespace kro_exchange {
using chunked::CHUNK;
using chunked::Chunked;
}  // namespace kro_exchange
