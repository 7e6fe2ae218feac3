#include "kro_exchange/words.hpp"

#include <gtest/gtest.h>

#include "death_message.hpp"

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace kro_exchange::words {
namespace {

struct Classified {
  Word word;
  Kind kind;
  std::uint32_t duration;
};

// Both ends of every kind's range and the first word outside it.
TEST(Words, ClassificationFollowsTheRangesInOrder) {
  const std::vector<Classified> cases = {
      {0x43a00000, Kind::Return, 0},
      {0x439fffff, Kind::Unknown, 0},
      {0x43a00001, Kind::Unknown, 0},
      {0x40a00000, Kind::Delay, 1},
      {0x40a7ffff, Kind::Delay, 524288},
      {0x40a80000, Kind::Unknown, 0},
      {0x409fffff, Kind::Unknown, 0},
      {0x64000000, Kind::XpicControl, 1},
      {0x641c0000, Kind::XpicControl, 113},
      {0x67ffffff, Kind::XpicControl, 4096},
      {0x68000000, Kind::Unknown, 0},
      {0x60000000, Kind::PicControl, 1},
      {0x63ffffff, Kind::PicControl, 128},
      {0x5fffffff, Kind::Unknown, 0},
      {0xf0000000, Kind::PicPairSend, 1},
      {0xffffffff, Kind::PicPairSend, 64},
      {0xefffffff, Kind::Unknown, 0},
      {0x70100000, Kind::PicSend, 1},
      {0x77ffffff, Kind::PicSend, 64},
      {0x701fffff, Kind::PicSend, 1},
      {0x78000000, Kind::ExplicitSend, 1},
      {0x78000001, Kind::ExplicitSend, 1},
      {0x7fe00000, Kind::ExplicitSend, 64},
      {0x7fffffff, Kind::ExplicitSend, 64},  // bit 20 set, but at or above 0x78000000
      {0x78100000, Kind::ExplicitSend, 1},
      {0x70000000, Kind::OffsetSend, 1},
      {0x70004001, Kind::OffsetSend, 65},
      {0x77efc001, Kind::OffsetSend, 4096},
      {0x77efffff, Kind::OffsetSend, 4096},
      {0x6fffffff, Kind::Unknown, 0},
      {0x41800000, Kind::Sync, 0},
      {0x41800003, Kind::Sync, 0},
      {0x418000ff, Kind::Sync, 0},
      {0x41800100, Kind::Unknown, 0},
      {0x417fffff, Kind::Unknown, 0},
      {0x00000000, Kind::Unknown, 0},
      {0x80000000, Kind::Unknown, 0},
  };
  for (const Classified& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << "0x" << c.word);
    EXPECT_EQ(classify(c.word), c.kind);
    EXPECT_EQ(duration(c.word), c.duration);
  }
}

TEST(Words, ConstantsAreTheirKinds) {
  EXPECT_EQ(classify(kReturn), Kind::Return);
  EXPECT_EQ(classify(kSync3), Kind::Sync);
  EXPECT_EQ(sync_kind(kSync3), 3u);
  EXPECT_EQ(sync(3), kSync3);
  EXPECT_EQ(delay(1), 0x40a00000u);
  EXPECT_EQ(delay(kMaxDelayCycles), 0x40a7ffffu);
}

TEST(Words, FieldsOfTheDocumentedWords) {
  EXPECT_EQ(xpic_value(0x641c0000), 0u);
  EXPECT_EQ(xpic_advance(0x641c0000), 112u);
  EXPECT_EQ(pic_value(0x60000000), 0u);
  EXPECT_EQ(pic_advance(0x60000000), 0u);
  EXPECT_EQ(send_control(0x78000001), 1u);
  EXPECT_EQ(send_operand(0x78000001), 0u);
  EXPECT_EQ(send_words(0x78000001), 1u);
  EXPECT_EQ(send_words(0x7fe00000), 64u);
  EXPECT_EQ(explicit_send(1, 0, 1), 0x78000001u);
  EXPECT_EQ(explicit_send(64, 0, 0), 0x7fe00000u);
  EXPECT_EQ(xpic_control(0, 112), 0x641c0000u);
}

// The Offset send splits count - 1 into a low six-bit field (bits 21-26) and a high one
// (bits 14-19).
TEST(Words, OffsetSendSplitsItsCount) {
  EXPECT_EQ(offset_send(1, 0, 1), 0x70000001u);
  EXPECT_EQ(offset_send(64, 0, 1), 0x77e00001u);  // high field still zero
  EXPECT_EQ(offset_send(65, 0, 1), 0x70004001u);  // low field wraps to zero
  EXPECT_EQ(offset_send(4096, 0, 1), 0x77efc001u);
  EXPECT_EQ(offset_count(0x77e00001), 64u);
  EXPECT_EQ(offset_count(0x70004001), 65u);
  EXPECT_EQ(offset_count(0x77efc001), 4096u);
  EXPECT_EQ(send_words(0x70004001), 65u);
  EXPECT_EQ(offset_operand(offset_send(3, 0x7ff, 2)), 0x7ffu);
  EXPECT_EQ(send_control(offset_send(3, 0x7ff, 2)), 2u);
}

TEST(Words, PicPairSpreadsThePicValueOverBothWords) {
  // PIC value with bit 18 set (a format control): bit 18 travels in bit 27 of the first word.
  const auto [first, second] = picpair_send(2, 1, 0x12345, 0x40002, 0x2640);
  EXPECT_EQ(first, 0xf8291a29u);
  EXPECT_EQ(second, 0x99000002u);
  EXPECT_EQ(classify(first), Kind::PicPairSend);
  EXPECT_EQ(word_count(classify(first)), 2u);
  EXPECT_EQ(duration(first), 2u);
  EXPECT_EQ(send_control(first), 1u);
  EXPECT_EQ(send_operand(first), 0x12345u);
  EXPECT_EQ(picpair_pic_value(first, second), 0x40002u);
  EXPECT_EQ(picpair_xpic_value(second), 0x2640u);

  // A pointer (bit 18 clear) leaves bit 27 clear.
  const auto [pointer_first, pointer_second] = picpair_send(64, 0, 0, 0x3ffff, 0x3fff);
  EXPECT_EQ(pointer_first, 0xf7e00000u);
  EXPECT_EQ(pointer_second, 0xffffffffu);
  EXPECT_EQ(picpair_pic_value(pointer_first, pointer_second), 0x3ffffu);
  EXPECT_EQ(picpair_xpic_value(pointer_second), 0x3fffu);
}

TEST(Words, PicSendMapsItsValueByStream) {
  // PIC: bits 0-18 of the word, bit 19 selects the stream.
  EXPECT_EQ(pic_send_pic(1, 0x7ffff), 0x701fffffu);
  EXPECT_TRUE(pic_send_selects_pic(0x701fffff));
  EXPECT_EQ(pic_send_value(0x701fffff), 0x7ffffu);
  EXPECT_EQ(pic_send_raw_operand(0x701fffff), 0x3ffffu);
  // XPIC: bits 0-12, with word bit 18 as value bit 13.
  EXPECT_EQ(pic_send_xpic(1, 0x2000), 0x70140000u);
  EXPECT_FALSE(pic_send_selects_pic(0x70140000));
  EXPECT_EQ(pic_send_value(0x70140000), 0x2000u);
  EXPECT_EQ(pic_send_xpic(64, 0x1fff), 0x77f01fffu);
  // Word bits 13-17 do not belong to the XPIC value.
  EXPECT_EQ(pic_send_value(0x7013e000), 0u);
  EXPECT_EQ(pic_send_value(0x7017ffff), 0x3fffu);
}

// ---- encoders and decoders round trip over every field value ----------------------------------

TEST(WordsRoundTrip, Delay) {
  for (std::uint32_t n = 1; n <= kMaxDelayCycles; ++n) {
    const Word w = delay(n);
    ASSERT_EQ(classify(w), Kind::Delay) << n;
    ASSERT_EQ(delay_cycles(w), n);
    ASSERT_EQ(duration(w), n);
  }
}

TEST(WordsRoundTrip, Sync) {
  for (std::uint32_t k = 0; k <= 0xff; ++k) {
    ASSERT_EQ(classify(sync(k)), Kind::Sync);
    ASSERT_EQ(sync_kind(sync(k)), k);
  }
}

TEST(WordsRoundTrip, XpicControl) {
  const auto check = [](std::uint32_t value, std::uint32_t advance) {
    const Word w = xpic_control(value, advance);
    ASSERT_EQ(classify(w), Kind::XpicControl) << value << " " << advance;
    ASSERT_EQ(xpic_value(w), value);
    ASSERT_EQ(xpic_advance(w), advance);
    ASSERT_EQ(duration(w), advance + 1);
    ASSERT_EQ(xpic_with_advance(w, (advance + 7) % 4096),
              xpic_control(value, (advance + 7) % 4096));
  };
  for (std::uint32_t v = 0; v <= kXpicValueMask; ++v) {
    for (std::uint32_t a : {0u, v % 4096, kMaxXpicAdvance}) check(v, a);
  }
  for (std::uint32_t a = 0; a <= kMaxXpicAdvance; ++a) {
    for (std::uint32_t v : {0u, a, kXpicValueMask}) check(v, a);
  }
}

TEST(WordsRoundTrip, PicControl) {
  const auto check = [](std::uint32_t value, std::uint32_t advance) {
    const Word w = pic_control(value, advance);
    ASSERT_EQ(classify(w), Kind::PicControl) << value << " " << advance;
    ASSERT_EQ(pic_value(w), value);
    ASSERT_EQ(pic_advance(w), advance);
    ASSERT_EQ(duration(w), advance + 1);
    ASSERT_EQ(pic_with_advance(w, (advance + 5) % 128), pic_control(value, (advance + 5) % 128));
  };
  for (std::uint32_t v = 0; v <= kPicValueMask; ++v) {
    for (std::uint32_t a : {0u, v % 128, kMaxPicAdvance}) check(v, a);
  }
}

TEST(WordsRoundTrip, ExplicitSend) {
  const auto check = [](std::uint32_t count, std::uint32_t operand, std::uint32_t control) {
    const Word w = explicit_send(count, operand, control);
    ASSERT_EQ(classify(w), Kind::ExplicitSend) << count << " " << operand << " " << control;
    ASSERT_EQ(send_words(w), count);
    ASSERT_EQ(duration(w), count);
    ASSERT_EQ(send_operand(w), operand);
    ASSERT_EQ(send_control(w), control);
  };
  for (std::uint32_t count = 1; count <= kMaxExplicitWords; ++count) {
    for (std::uint32_t control = 0; control <= 7; ++control) {
      for (std::uint32_t operand : {0u, 1u, (count * 4099) & kMaxSendOperand, kMaxSendOperand}) {
        check(count, operand, control);
      }
    }
  }
  for (std::uint32_t operand = 0; operand <= kMaxSendOperand; ++operand) {
    check(operand % 64 + 1, operand, operand % 8);
  }
}

TEST(WordsRoundTrip, ExplicitFieldReplacement) {
  for (std::uint32_t count = 1; count <= kMaxExplicitWords; ++count) {
    const Word w = explicit_send(count, 0x2aaaa, 3);
    ASSERT_EQ(explicit_with_count(w, 65 - count), explicit_send(65 - count, 0x2aaaa, 3));
    ASSERT_EQ(with_send_operand(w, 0x15555), explicit_send(count, 0x15555, 3));
    ASSERT_EQ(with_send_control(w, count % 8), explicit_send(count, 0x2aaaa, count % 8));
  }
}

TEST(WordsRoundTrip, OffsetSend) {
  for (std::uint32_t count = 1; count <= kMaxOffsetWords; ++count) {
    for (std::uint32_t control = 0; control <= 7; ++control) {
      for (std::uint32_t operand : {0u, count % 0x800, kMaxOffsetOperand}) {
        const Word w = offset_send(count, operand, control);
        ASSERT_EQ(classify(w), Kind::OffsetSend) << count << " " << operand << " " << control;
        ASSERT_EQ(offset_count(w), count);
        ASSERT_EQ(send_words(w), count);
        ASSERT_EQ(duration(w), count);
        ASSERT_EQ(offset_operand(w), operand);
        ASSERT_EQ(send_control(w), control);
      }
    }
  }
}

TEST(WordsRoundTrip, PicSend) {
  for (std::uint32_t value = 0; value <= kPicValueMask; ++value) {
    const std::uint32_t count = value % 64 + 1;
    const Word w = pic_send_pic(count, value);
    ASSERT_EQ(classify(w), Kind::PicSend) << value;
    ASSERT_TRUE(pic_send_selects_pic(w));
    ASSERT_EQ(pic_send_value(w), value);
    ASSERT_EQ(send_words(w), count);
    ASSERT_EQ(duration(w), count);
  }
  for (std::uint32_t value = 0; value <= kXpicValueMask; ++value) {
    const std::uint32_t count = 64 - value % 64;
    const Word w = pic_send_xpic(count, value);
    ASSERT_EQ(classify(w), Kind::PicSend) << value;
    ASSERT_FALSE(pic_send_selects_pic(w));
    ASSERT_EQ(pic_send_value(w), value);
    ASSERT_EQ(duration(w), count);
  }
}

TEST(WordsRoundTrip, PicPairSend) {
  const auto check = [](std::uint32_t count, std::uint32_t control, std::uint32_t operand,
                        std::uint32_t pic, std::uint32_t xpic) {
    const auto [first, second] = picpair_send(count, control, operand, pic, xpic);
    ASSERT_EQ(classify(first), Kind::PicPairSend) << count << " " << operand << " " << pic;
    ASSERT_EQ(duration(first), count);
    ASSERT_EQ(send_words(first), count);
    ASSERT_EQ(send_control(first), control);
    ASSERT_EQ(send_operand(first), operand);
    ASSERT_EQ(picpair_pic_value(first, second), pic);
    ASSERT_EQ(picpair_xpic_value(second), xpic);
  };
  for (std::uint32_t pic = 0; pic <= kPicValueMask; ++pic) {
    check(pic % 64 + 1, pic % 8, (pic * 7) & kMaxSendOperand, pic, pic & kXpicValueMask);
  }
  for (std::uint32_t xpic = 0; xpic <= kXpicValueMask; ++xpic) {
    check(64, 0, kMaxSendOperand - xpic, kPicValueMask - xpic, xpic);
  }
}

// ---- out-of-range encoder fields stop the program -------------------------------------------

using kro_exchange::test_support::literal;

TEST(WordsDeathTest, EncodersRejectOutOfRangeFields) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  struct Case {
    std::function<void()> encode;
    const char* message;
  };
  const std::vector<Case> cases = {
      {[] { (void)delay(0); }, "delay length is outside 1..=524288 cycles"},
      {[] { (void)delay(kMaxDelayCycles + 1); }, "delay length is outside 1..=524288 cycles"},
      {[] { (void)sync(0x100); }, "sync kind fits eight bits"},
      {[] { (void)xpic_control(0x4000, 0); }, "XPIC value fits 14 bits"},
      {[] { (void)xpic_control(0, 4096); }, "XPIC advance fits 12 bits"},
      {[] { (void)pic_control(0x80000, 0); }, "PIC value fits 19 bits"},
      {[] { (void)pic_control(0, 128); }, "PIC advance fits 7 bits"},
      {[] { (void)explicit_send(0, 0, 1); }, "explicit send count is outside 1..=64"},
      {[] { (void)explicit_send(65, 0, 1); }, "explicit send count is outside 1..=64"},
      {[] { (void)explicit_send(1, 0x40000, 1); }, "send operand fits 18 bits"},
      {[] { (void)explicit_send(1, 0, 8); }, "send control fits 3 bits"},
      {[] { (void)offset_send(0, 0, 1); }, "offset send count is outside 1..=4096"},
      {[] { (void)offset_send(4097, 0, 1); }, "offset send count is outside 1..=4096"},
      {[] { (void)offset_send(1, 0x800, 1); }, "offset operand fits 11 bits"},
      {[] { (void)offset_send(1, 0, 8); }, "send control fits 3 bits"},
      {[] { (void)pic_send_pic(0, 0); }, "SENDPICP count is outside 1..=64"},
      {[] { (void)pic_send_pic(65, 0); }, "SENDPICP count is outside 1..=64"},
      {[] { (void)pic_send_pic(1, 0x80000); }, "PIC value fits 19 bits"},
      {[] { (void)pic_send_xpic(1, 0x4000); }, "XPIC value fits 14 bits"},
      {[] { (void)picpair_send(0, 0, 0, 0, 0); }, "SENDPICP count is outside 1..=64"},
      {[] { (void)picpair_send(65, 0, 0, 0, 0); }, "SENDPICP count is outside 1..=64"},
      {[] { (void)picpair_send(1, 8, 0, 0, 0); }, "send control fits 3 bits"},
      {[] { (void)picpair_send(1, 0, 0x40000, 0, 0); }, "send operand fits 18 bits"},
      {[] { (void)picpair_send(1, 0, 0, 0x80000, 0); }, "PIC value fits 19 bits"},
      {[] { (void)picpair_send(1, 0, 0, 0, 0x4000); }, "XPIC value fits 14 bits"},
      {[] { (void)with_send_control(0x78000000, 8); }, "send control fits 3 bits"},
      {[] { (void)with_send_operand(0x78000000, 0x40000); }, "send operand fits 18 bits"},
      {[] { (void)explicit_with_count(0x78000000, 65); }, "explicit send count is outside 1..=64"},
      {[] { (void)xpic_with_advance(0x64000000, 4096); }, "XPIC advance fits 12 bits"},
      {[] { (void)pic_with_advance(0x60000000, 128); }, "PIC advance fits 7 bits"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    EXPECT_DEATH(c.encode(), literal(c.message));
  }
}

// ---- address normalisation --------------------------------------------------------------------

struct Normalized {
  const char* name;
  std::vector<Word> input;
  std::vector<Word> expected;
};

std::vector<Word> concat(std::initializer_list<std::vector<Word>> parts) {
  std::vector<Word> out;
  for (const auto& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

std::vector<Word> pair(std::uint32_t count, std::uint32_t control, std::uint32_t operand,
                       std::uint32_t pic, std::uint32_t xpic) {
  const auto words = picpair_send(count, control, operand, pic, xpic);
  return {words[0], words[1]};
}

TEST(NormalizedAddressWords, RemovesExactlyTheAddresses) {
  const std::vector<Normalized> cases = {
      {"empty", {}, {}},
      {"explicit, pointer, source",
       {explicit_send(1, 5, 1), pic_control(7, 0), xpic_control(12, 0)},
       {explicit_send(1, 0, 1), pic_control(0, 0), xpic_control(12, 0)}},
      {"explicit keeps count and control",
       {explicit_send(64, kMaxSendOperand, 7)},
       {explicit_send(64, 0, 7)}},
      {"PIC pointer keeps its advance", {pic_control(0x3ffff, 100)}, {pic_control(0, 100)}},
      {"PIC format control kept", {pic_control(0x40001, 5)}, {pic_control(0x40001, 5)}},
      {"Pic send PIC pointer", {pic_send_pic(3, 0x1234)}, {pic_send_pic(3, 0)}},
      {"Pic send PIC format", {pic_send_pic(3, 0x40002)}, {pic_send_pic(3, 0x40002)}},
      {"Pic send XPIC", {pic_send_xpic(3, 0x2123)}, {pic_send_xpic(3, 0x2123)}},
      {"offset keeps its operand", {offset_send(65, 0x7ff, 1)}, {offset_send(65, 0x7ff, 1)}},
      {"untouched kinds",
       {kSync3, delay(9), xpic_control(0x640, 3), kReturn, 0x12345678},
       {kSync3, delay(9), xpic_control(0x640, 3), kReturn, 0x12345678}},
      {"PicPair with payload and pointer", pair(2, 1, 0x100, 0x555, 0x12), pair(2, 1, 0, 0, 0x12)},
      {"PicPair control 0 keeps its first word", pair(2, 0, 0x100, 0x555, 0x12),
       pair(2, 0, 0x100, 0, 0x12)},
      {"PicPair format value keeps the second word", pair(2, 1, 0x100, 0x40002, 0x12),
       pair(2, 1, 0, 0x40002, 0x12)},
      {"PicPair control 0 with format value is unchanged", pair(5, 0, 0, 0x40000, 0x2640),
       pair(5, 0, 0, 0x40000, 0x2640)},
      // The second word 0x7fe00008 would read as an Explicit send; it belongs to the pair.
      {"PicPair second word is not classified", pair(1, 2, 0x3ffff, 0x40008, 0x1ff8),
       pair(1, 2, 0, 0x40008, 0x1ff8)},
      {"PicPair as the last word",
       {explicit_send(2, 9, 1), picpair_send(2, 1, 0x100, 0x555, 0x12)[0]},
       {explicit_send(2, 0, 1), picpair_send(2, 1, 0, 0x555, 0x12)[0]}},
      {"words after a PicPair",
       concat({pair(2, 1, 0x100, 0x555, 0x12), {explicit_send(3, 4, 1), pic_control(8, 1)}}),
       concat({pair(2, 1, 0, 0, 0x12), {explicit_send(3, 0, 1), pic_control(0, 1)}})},
  };
  ASSERT_EQ(pair(1, 2, 0x3ffff, 0x40008, 0x1ff8)[1], 0x7fe00008u);
  for (const Normalized& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(normalized_exchange_address_words(c.input), c.expected);
  }
}

TEST(NormalizedAddressWords, ProgramsDifferingOnlyInAddressesCompareEqual) {
  const auto program = [](std::uint32_t source, std::uint32_t pointer) {
    return concat({{kSync3, delay(4), pic_control(pointer, 2), xpic_control(0x12, 0)},
                   pair(4, 1, source, pointer + 1, 0x13),
                   {explicit_send(64, source, 1), offset_send(100, 0, 1), kReturn}});
  };
  const std::vector<Word> base = program(0x100, 0x200);
  EXPECT_EQ(normalized_exchange_address_words(base),
            normalized_exchange_address_words(program(0x3000, 0x1000)));
  std::vector<Word> longer_wait = base;
  longer_wait[1] = delay(5);
  EXPECT_NE(normalized_exchange_address_words(base),
            normalized_exchange_address_words(longer_wait));
}

}  // namespace
}  // namespace kro_exchange::words
