#include <gtest/gtest.h>

#include <functional>

#include "kro_codegen/exchange/snapshot.hpp"
#include "kro_codegen/exchange/transfer_check.hpp"

namespace {

using namespace kro_codegen::exchange;

using Transfer = ExchangeScheduleTransfer;

Transfer word_transfer() { return {2, {0x1000}, {{5, 0x2000}}, 16, ExchangeItemWidth::Word32}; }
Transfer paired_transfer() {
  return {2, {0x1000}, {{4, 0x2000}, {5, 0x2000}}, 128, ExchangeItemWidth::Paired64};
}

// Phase 7 with a valid transfer 0 and the transfer under test at index 1, on 8 tiles.
ExchangeScheduleSnapshot snapshot_with(const Transfer& transfer) {
  return {3, 8, {{7, {word_transfer(), transfer}}}};
}

std::string validation_text(const ExchangeScheduleSnapshot& snapshot) {
  const auto result = snapshot.validate();
  return result ? "ok" : result.error().display();
}

constexpr const char* kPrefix = "invalid exchange-schedule snapshot: ";
constexpr const char* kOverflow = "exchange address arithmetic overflowed";

struct TransferCase {
  const char* name;
  std::function<void(Transfer&)> change;
  Transfer base;
  std::string expected;  // "ok", the overflow text, or the text after the prefix
};

TEST(SnapshotValidate, EveryTransferRuleReportsItsExactMessage) {
  const TransferCase cases[] = {
      {"valid word transfer", [](Transfer&) {}, word_transfer(), "ok"},
      {"valid paired transfer", [](Transfer&) {}, paired_transfer(), "ok"},
      {"source outside", [](Transfer& t) { t.source = 8; }, word_transfer(),
       "phase 7 transfer 1 has source tile 8 outside 0..8"},
      {"zero words", [](Transfer& t) { t.words = 0; }, word_transfer(),
       "phase 7 transfer 1 has invalid word count 0"},
      {"too many words", [](Transfer& t) { t.words = 4149; }, word_transfer(),
       "phase 7 transfer 1 has invalid word count 4149"},
      {"largest payload", [](Transfer& t) { t.words = 4148; }, word_transfer(), "ok"},
      {"odd paired payload", [](Transfer& t) { t.words = 129; }, paired_transfer(),
       "phase 7 transfer 1 has invalid 129-word paired payload"},
      {"short paired payload", [](Transfer& t) { t.words = 126; }, paired_transfer(),
       "phase 7 transfer 1 has invalid 126-word paired payload"},
      {"paired word count checked first", [](Transfer& t) { t.words = 5000; }, paired_transfer(),
       "phase 7 transfer 1 has invalid word count 5000"},
      {"no source addresses", [](Transfer& t) { t.source_addresses.clear(); }, word_transfer(),
       "phase 7 transfer 1 has no source addresses"},
      {"unaligned word source",
       [](Transfer& t) {
         t.source_addresses = {0x1000, 0x102};
       },
       word_transfer(), "phase 7 transfer 1 has unaligned source address 0x102"},
      {"unaligned paired source", [](Transfer& t) { t.source_addresses = {0x1004}; },
       paired_transfer(), "phase 7 transfer 1 has unaligned source address 0x1004"},
      {"source overflow", [](Transfer& t) { t.source_addresses = {0xFFFFFFC4}; }, word_transfer(),
       kOverflow},
      {"source ending at the top fits", [](Transfer& t) { t.source_addresses = {0xFFFFFFBC}; },
       word_transfer(), "ok"},
      {"addresses checked one by one",
       [](Transfer& t) {
         t.source_addresses = {0xFFFFFFF0, 0x102};
       },
       word_transfer(), kOverflow},
      {"no destinations", [](Transfer& t) { t.destinations.clear(); }, word_transfer(),
       "phase 7 transfer 1 has no destinations"},
      {"destination outside",
       [](Transfer& t) {
         t.destinations = {{5, 0x2000}, {9, 0x2000}};
       },
       word_transfer(), "phase 7 transfer 1 has invalid destination tile 9"},
      {"loopback with one iteration",
       [](Transfer& t) {
         t.destinations = {{2, 0x8000}};
       },
       word_transfer(), "phase 7 transfer 1 has invalid destination tile 2"},
      {"loopback clear of every source element",
       [](Transfer& t) {
         t.source_addresses = {0x1000, 0x2000};
         t.destinations = {{2, 0x8000}};
       },
       word_transfer(), "ok"},
      {"loopback sharing an element",
       [](Transfer& t) {
         t.source_addresses = {0x1000, 0x7F00};
         t.destinations = {{2, 0x4000}};
       },
       word_transfer(), "phase 7 transfer 1 has invalid destination tile 2"},
      {"paired loopback",
       [](Transfer& t) {
         t.source_addresses = {0x1000, 0x2000};
         t.destinations = {{2, 0x8000}, {3, 0x8000}};
       },
       paired_transfer(), "phase 7 transfer 1 has invalid destination tile 2"},
      {"repeated destination",
       [](Transfer& t) {
         t.destinations = {{5, 0x2000}, {5, 0x3000}};
       },
       word_transfer(), "phase 7 transfer 1 has invalid destination tile 5"},
      {"unaligned word destination",
       [](Transfer& t) {
         t.destinations = {{5, 0x2002}};
       },
       word_transfer(), "phase 7 transfer 1 has unaligned destination address 0x2002"},
      {"unaligned paired destination", [](Transfer& t) { t.destinations[1].address = 0x200c; },
       paired_transfer(), "phase 7 transfer 1 has unaligned destination address 0x200c"},
      {"destination overflow",
       [](Transfer& t) {
         t.destinations = {{5, 0xFFFFFFC4}};
       },
       word_transfer(), kOverflow},
      {"destinations checked in order",
       [](Transfer& t) {
         t.destinations = {{5, 0x2002}, {9, 0x2000}};
       },
       word_transfer(), "phase 7 transfer 1 has unaligned destination address 0x2002"},
  };
  for (const TransferCase& c : cases) {
    Transfer transfer = c.base;
    c.change(transfer);
    const std::string expected =
        c.expected == "ok" || c.expected == kOverflow ? c.expected : kPrefix + c.expected;
    EXPECT_EQ(validation_text(snapshot_with(transfer)), expected) << c.name;
  }
}

TEST(SnapshotValidate, RepeatedTilesAreFoundInLongMulticastLists) {
  Transfer transfer = word_transfer();
  transfer.source = 0;
  transfer.destinations.clear();
  for (std::uint16_t tile = 1; tile < 40; ++tile) transfer.destinations.push_back({tile, 0x2000});
  ExchangeScheduleSnapshot snapshot{3, 64, {{7, {transfer}}}};
  EXPECT_EQ(validation_text(snapshot), "ok");
  snapshot.phases[0].transfers[0].destinations.push_back({23, 0x2000});
  EXPECT_EQ(validation_text(snapshot),
            std::string(kPrefix) + "phase 7 transfer 0 has invalid destination tile 23");
}

TEST(SnapshotValidate, SnapshotRulesComeInOrder) {
  struct Case {
    const char* name;
    ExchangeScheduleSnapshot snapshot;
    std::string expected;
  };
  Transfer bad = word_transfer();
  bad.words = 0;
  const Case cases[] = {
      {"schema before tiles", {2, 0, {}}, "unsupported schema version 2 (expected 3)"},
      {"no tiles", {3, 0, {}}, "tile count 0 is outside the Z310 topology"},
      {"too many tiles", {3, 1473, {}}, "tile count 1473 is outside the Z310 topology"},
      {"whole card", {3, 1472, {}}, "ok"},
      {"empty transfer list", {3, 8, {{1, {}}, {2, {}}}}, "ok"},
      {"duplicate phase",
       {3, 8, {{7, {word_transfer()}}, {3, {}}, {7, {bad}}}},
       "duplicate phase 7"},
      {"first phase's transfers before the duplicate",
       {3, 8, {{7, {bad}}, {7, {}}}},
       "phase 7 transfer 0 has invalid word count 0"},
  };
  for (const Case& c : cases) {
    const std::string expected = c.expected == "ok" ? c.expected : kPrefix + c.expected;
    EXPECT_EQ(validation_text(c.snapshot), expected) << c.name;
  }
}

TEST(TransferCheck, IndexBeyondThirtyTwoBitsOverflows) {
  const auto result = check_transfer(7, std::size_t{1} << 32, word_transfer(), 8);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error(), ExchangeLoweringError::overflow());
  EXPECT_TRUE(check_transfer(7, 0xFFFFFFFF, word_transfer(), 8));
}

TEST(TransferCheck, PairedSourceWithoutPartnerCarriesTheTopologyError) {
  // Only reachable with a tile count beyond the card, which snapshot validation refuses earlier.
  Transfer transfer = paired_transfer();
  transfer.source = 1500;
  const auto result = check_transfer(4, 0, transfer, 2000);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error(), ExchangeLoweringError(kro_exchange::ExchangeError::tile(1500)));
  EXPECT_EQ(result.error().display(), "logical tile 1500 is out of range");

  transfer.source = 1471;
  EXPECT_TRUE(check_transfer(4, 0, transfer, 2000));
}

}  // namespace
