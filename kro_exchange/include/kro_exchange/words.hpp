// Exchange instruction words: the one definition of their kinds, bit fields, ranges and durations.
//
// A tile's exchange program is a list of 32-bit words run one after another from the phase-entry
// synchronisation. Everything that writes or reads words (row builders, row timing, encoder,
// decoder) goes through this header, so the bit layouts live in exactly one place.
//
//   std::uint32_t w = words::explicit_send(64, 0, 1);   // 0x7fe00001
//   words::classify(w) == words::Kind::ExplicitSend;    // lasts words::duration(w) == 64 cycles
//
// Encoders check their fields and stop the program on an out-of-range value: a caller that can
// be handed such a value by input tests it first (the `fits_*` helpers) and reports an error.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "kro_runtime/panic.hpp"

namespace kro_exchange::words {

using Word = std::uint32_t;

enum class Kind : std::uint8_t {
  Return,
  Delay,
  XpicControl,
  PicControl,
  PicPairSend,  // two words
  PicSend,
  ExplicitSend,
  OffsetSend,
  Sync,
  Unknown,
};

inline constexpr Word kReturn = 0x43a00000;
inline constexpr Word kSync3 = 0x41800003;
inline constexpr Word kSyncBase = 0x41800000;
inline constexpr Word kDelayBase = 0x40a00000;
inline constexpr Word kXpicBase = 0x64000000;
inline constexpr Word kPicBase = 0x60000000;
inline constexpr Word kPicSendBase = 0x70100000;
inline constexpr Word kExplicitBase = 0x78000000;
inline constexpr Word kOffsetBase = 0x70000000;
inline constexpr Word kPicPairBase = 0xf0000000;

inline constexpr std::uint32_t kMaxDelayCycles = 0x80000;  // 524288
inline constexpr std::uint32_t kMaxPicAdvance = 127;
inline constexpr std::uint32_t kMaxXpicAdvance = 4095;
inline constexpr std::uint32_t kMaxExplicitWords = 64;
inline constexpr std::uint32_t kMaxOffsetWords = 4096;
inline constexpr std::uint32_t kMaxPicSendWords = 64;
inline constexpr std::uint32_t kMaxSendOperand = 0x3ffff;
inline constexpr std::uint32_t kMaxOffsetOperand = 0x7ff;
inline constexpr std::uint32_t kXpicValueMask = 0x3fff;
inline constexpr std::uint32_t kPicValueMask = 0x7ffff;
inline constexpr std::uint32_t kTileSelectMask = 0x1fff;
// XPIC value (low 13 bits) that releases the stream.
inline constexpr std::uint32_t kTeardownSelect = 0x640;
inline constexpr std::uint32_t kXpicPairedBit = 1u << 13;
inline constexpr std::uint32_t kPicFormatBit = 1u << 18;
inline constexpr std::uint32_t kPicPointerMask = 0x3ffff;

// ---- classification -------------------------------------------------------------------------

constexpr Kind classify(Word w) {
  if (w == kReturn) return Kind::Return;
  if (w >= kDelayBase && w <= 0x40a7ffff) return Kind::Delay;
  if (w >= kXpicBase && w <= 0x67ffffff) return Kind::XpicControl;
  if (w >= kPicBase && w <= 0x63ffffff) return Kind::PicControl;
  if (w >= kPicPairBase) return Kind::PicPairSend;
  if ((w & 0xf8100000) == kPicSendBase) return Kind::PicSend;
  if (w >= kExplicitBase && w <= 0x7fffffff) return Kind::ExplicitSend;
  if ((w & 0xf8100000) == kOffsetBase) return Kind::OffsetSend;
  if (w >= kSyncBase && w <= 0x418000ff) return Kind::Sync;
  return Kind::Unknown;
}

constexpr bool is_send(Kind k) {
  return k == Kind::PicPairSend || k == Kind::PicSend || k == Kind::ExplicitSend ||
         k == Kind::OffsetSend;
}
// Explicit and Offset sends: the words that carry a payload without incoming controls.
constexpr bool is_payload_send(Kind k) { return k == Kind::ExplicitSend || k == Kind::OffsetSend; }
// Words that occupy one slot of the program (a PicPair occupies two).
constexpr std::uint32_t word_count(Kind k) { return k == Kind::PicPairSend ? 2 : 1; }

// ---- field decoders -------------------------------------------------------------------------

constexpr std::uint32_t delay_cycles(Word w) { return (w & 0x7ffff) + 1; }
constexpr std::uint32_t xpic_value(Word w) { return w & kXpicValueMask; }
constexpr std::uint32_t xpic_advance(Word w) { return (w >> 14) & 0xfff; }
constexpr std::uint32_t pic_value(Word w) { return w & kPicValueMask; }
constexpr std::uint32_t pic_advance(Word w) { return (w >> 19) & 0x7f; }
// Bits 21-26 hold count - 1 in every send kind (the low six bits for Offset sends).
constexpr std::uint32_t send_count_low(Word w) { return ((w >> 21) & 0x3f) + 1; }
// Send control of Explicit, Offset and PicPair (first word) sends.
constexpr std::uint32_t send_control(Word w) { return w & 0x7; }
// Operand of Explicit and PicPair (first word) sends.
constexpr std::uint32_t send_operand(Word w) { return (w >> 3) & kMaxSendOperand; }
constexpr std::uint32_t offset_operand(Word w) { return (w >> 3) & kMaxOffsetOperand; }
constexpr std::uint32_t offset_count(Word w) {
  return ((((w >> 14) & 0x3f) << 6) | ((w >> 21) & 0x3f)) + 1;
}
// Pic send: bit 19 selects the PIC stream.
constexpr bool pic_send_selects_pic(Word w) { return (w & (1u << 19)) != 0; }
constexpr std::uint32_t pic_send_value(Word w) {
  return pic_send_selects_pic(w) ? (w & 0x7ffff) : ((w & 0x1fff) | (((w >> 18) & 1) << 13));
}
constexpr std::uint32_t pic_send_raw_operand(Word w) { return w & 0x3ffff; }
// PicPair: the XPIC value from the second word, the PIC value from both.
constexpr std::uint32_t picpair_xpic_value(Word second) { return second >> 18; }
constexpr std::uint32_t picpair_pic_value(Word first, Word second) {
  return (second & kPicPointerMask) | (((first >> 27) & 1) << 18);
}
constexpr std::uint32_t sync_kind(Word w) { return w & 0xff; }

// Count of any send kind (the first word for a PicPair).
constexpr std::uint32_t send_words(Word w) {
  return classify(w) == Kind::OffsetSend ? offset_count(w) : send_count_low(w);
}

// Cycles the word occupies. For a PicPair pass its first word.
constexpr std::uint32_t duration(Word w) {
  switch (classify(w)) {
    case Kind::Delay:
      return delay_cycles(w);
    case Kind::XpicControl:
      return xpic_advance(w) + 1;
    case Kind::PicControl:
      return pic_advance(w) + 1;
    case Kind::PicPairSend:
    case Kind::PicSend:
    case Kind::ExplicitSend:
      return send_count_low(w);
    case Kind::OffsetSend:
      return offset_count(w);
    case Kind::Return:
    case Kind::Sync:
    case Kind::Unknown:
      return 0;
  }
  return 0;
}

// ---- field encoders (checked) ---------------------------------------------------------------

constexpr bool fits_delay(std::uint32_t cycles) { return cycles >= 1 && cycles <= kMaxDelayCycles; }
constexpr bool fits_explicit(std::uint32_t count) {
  return count >= 1 && count <= kMaxExplicitWords;
}
constexpr bool fits_offset(std::uint32_t count) { return count >= 1 && count <= kMaxOffsetWords; }

constexpr Word delay(std::uint32_t cycles) {
  KRO_ASSERT(fits_delay(cycles), "delay length is outside 1..=524288 cycles");
  return kDelayBase | (cycles - 1);
}
constexpr Word sync(std::uint32_t kind) {
  KRO_ASSERT(kind <= 0xff, "sync kind fits eight bits");
  return kSyncBase | kind;
}
constexpr Word xpic_control(std::uint32_t value, std::uint32_t advance) {
  KRO_ASSERT(value <= kXpicValueMask, "XPIC value fits 14 bits");
  KRO_ASSERT(advance <= kMaxXpicAdvance, "XPIC advance fits 12 bits");
  return kXpicBase | (advance << 14) | value;
}
constexpr Word pic_control(std::uint32_t value, std::uint32_t advance) {
  KRO_ASSERT(value <= kPicValueMask, "PIC value fits 19 bits");
  KRO_ASSERT(advance <= kMaxPicAdvance, "PIC advance fits 7 bits");
  return kPicBase | (advance << 19) | value;
}
constexpr Word explicit_send(std::uint32_t count, std::uint32_t operand, std::uint32_t control) {
  KRO_ASSERT(fits_explicit(count), "explicit send count is outside 1..=64");
  KRO_ASSERT(operand <= kMaxSendOperand, "send operand fits 18 bits");
  KRO_ASSERT(control <= 7, "send control fits 3 bits");
  return kExplicitBase | ((count - 1) << 21) | (operand << 3) | control;
}
constexpr Word offset_send(std::uint32_t count, std::uint32_t operand, std::uint32_t control) {
  KRO_ASSERT(fits_offset(count), "offset send count is outside 1..=4096");
  KRO_ASSERT(operand <= kMaxOffsetOperand, "offset operand fits 11 bits");
  KRO_ASSERT(control <= 7, "send control fits 3 bits");
  const std::uint32_t n = count - 1;
  return kOffsetBase | ((n & 63) << 21) | ((n >> 6) << 14) | (operand << 3) | control;
}
// Pic send switching the PIC stream to `value` (19 bits).
constexpr Word pic_send_pic(std::uint32_t count, std::uint32_t value) {
  KRO_ASSERT(count >= 1 && count <= kMaxPicSendWords, "SENDPICP count is outside 1..=64");
  KRO_ASSERT(value <= kPicValueMask, "PIC value fits 19 bits");
  return kPicSendBase | ((count - 1) << 21) | (1u << 19) | value;
}
// Pic send switching the XPIC stream to `value` (14 bits; bit 13 travels in word bit 18).
constexpr Word pic_send_xpic(std::uint32_t count, std::uint32_t value) {
  KRO_ASSERT(count >= 1 && count <= kMaxPicSendWords, "SENDPICP count is outside 1..=64");
  KRO_ASSERT(value <= kXpicValueMask, "XPIC value fits 14 bits");
  return kPicSendBase | ((count - 1) << 21) | (((value >> 13) & 1) << 18) | (value & 0x1fff);
}
// PicPair send: both incoming streams at once, with an optional payload (control 0: none).
constexpr std::array<Word, 2> picpair_send(std::uint32_t count, std::uint32_t control,
                                           std::uint32_t operand, std::uint32_t pic_value,
                                           std::uint32_t xpic_value) {
  KRO_ASSERT(count >= 1 && count <= kMaxPicSendWords, "SENDPICP count is outside 1..=64");
  KRO_ASSERT(control <= 7, "send control fits 3 bits");
  KRO_ASSERT(operand <= kMaxSendOperand, "send operand fits 18 bits");
  KRO_ASSERT(pic_value <= kPicValueMask, "PIC value fits 19 bits");
  KRO_ASSERT(xpic_value <= kXpicValueMask, "XPIC value fits 14 bits");
  const Word first = kPicPairBase | (((pic_value >> 18) & 1) << 27) | ((count - 1) << 21) |
                     (operand << 3) | control;
  const Word second = (pic_value & kPicPointerMask) | (xpic_value << 18);
  return {first, second};
}

// Field replacement on existing words (the same checks as the encoders).
constexpr Word with_send_control(Word w, std::uint32_t control) {
  KRO_ASSERT(control <= 7, "send control fits 3 bits");
  return (w & ~Word{7}) | control;
}
constexpr Word with_send_operand(Word w, std::uint32_t operand) {
  KRO_ASSERT(operand <= kMaxSendOperand, "send operand fits 18 bits");
  return (w & ~(kMaxSendOperand << 3)) | (operand << 3);
}
// An Explicit send with its count replaced.
constexpr Word explicit_with_count(Word w, std::uint32_t count) {
  KRO_ASSERT(fits_explicit(count), "explicit send count is outside 1..=64");
  return (w & ~(Word{0x3f} << 21)) | ((count - 1) << 21);
}
constexpr Word xpic_with_advance(Word w, std::uint32_t advance) {
  return xpic_control(xpic_value(w), advance);
}
constexpr Word pic_with_advance(Word w, std::uint32_t advance) {
  return pic_control(pic_value(w), advance);
}

}  // namespace kro_exchange::words

namespace kro_exchange {

// A copy of `program` with every address removed, so that programs differing only in where their
// data lives compare equal. Same length as the input.
std::vector<words::Word> normalized_exchange_address_words(std::span<const words::Word> program);

}  // namespace kro_exchange
