#include "kro_codegen/exchange/error.hpp"

#include <gtest/gtest.h>

namespace {

using kro_codegen::exchange::ExchangeLoweringError;
using kro_codegen::storage::AmpOrder;
using kro_codegen::storage::BlockMajorOrder;
using kro_codegen::storage::StorageError;
using kro_exchange::ExchangeError;

TEST(ErrorDisplay, LoweringErrorsShowTheirTextAndWrappedTextsUnchanged) {
  struct Case {
    ExchangeLoweringError error;
    std::string display;
  };
  const Case cases[] = {
      {ExchangeError::count(5000), "exchange count 5000 is outside 1..=4148"},
      {ExchangeError::address(0x40000), "tile address 0x40000 is not encodable"},
      {ExchangeError::schedule("sender delay"), "exchange schedule is not encodable: sender delay"},
      {ExchangeError::tile(12), "logical tile 12 is out of range"},
      {ExchangeError::plan_offset_range(70000, 65535),
       "exchange event offset 70000 cycles from the phase-entry sync exceeds the encodable "
       "maximum of 65535 cycles"},
      {ExchangeError::validation_budget_exceeded(),
       "exchange incremental-encoding work budget exhausted"},
      {ExchangeError::duplicate_tile(), "exchange endpoints must be distinct"},
      {ExchangeError::receiver_set(), "invalid multicast receiver set"},
      {ExchangeError::host_packet(), "host exchange address or length is not encodable"},
      {StorageError::amp_block(AmpOrder::Output),
       "AMP Output storage dimensions are incompatible with its block shape"},
      {StorageError::block_major_block({BlockMajorOrder::Kind::Matrix, 4, 8}),
       "block-major Matrix { row_block: 4, column_block: 8 } storage dimensions are "
       "incompatible with its block shape"},
      {StorageError::overflow(), "tensor storage size overflowed"},
      {ExchangeLoweringError::unplaced_shard(), "exchange refers to an unplaced shard"},
      {ExchangeLoweringError::invalid_destination(), "exchange destination is not writable"},
      {ExchangeLoweringError::unaligned_payload(),
       "exchange payload is not a nonempty whole number of words"},
      {ExchangeLoweringError::size_mismatch(),
       "exchange source and destination byte counts differ"},
      {ExchangeLoweringError::overflow(), "exchange address arithmetic overflowed"},
      {ExchangeLoweringError::incompatible_repeat_rows(),
       "structured-repeat exchange rows have incompatible shapes"},
      {ExchangeLoweringError::diagnostic_tile(12), "exchange diagnostic refers to missing tile 12"},
      {ExchangeLoweringError::invalid_snapshot("duplicate phase 7"),
       "invalid exchange-schedule snapshot: duplicate phase 7"},
      {ExchangeLoweringError::invariant("phase 3 lost a transfer"),
       "exchange-schedule invariant failed: phase 3 lost a transfer"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.error.display(), c.display) << c.error.debug();
  }
}

TEST(ErrorDisplay, DebugRenderingsNameTheVariantAndPayload) {
  EXPECT_EQ(ExchangeLoweringError(ExchangeError::count(5)).debug(), "Exchange(Count(5))");
  EXPECT_EQ(ExchangeError::plan_offset_range(1, 2).debug(),
            "PlanOffsetRange { cycles: 1, maximum: 2 }");
  EXPECT_EQ(StorageError::amp_block(AmpOrder::TransposedLeft).debug(),
            "AmpBlock { role: TransposedLeft }");
  EXPECT_EQ(ExchangeLoweringError::invalid_snapshot("x").debug(), "InvalidSnapshot(\"x\")");
}

TEST(ErrorDisplay, ConversionsKeepTheWrappedValue) {
  const ExchangeLoweringError wrapped = ExchangeError::tile(3);
  ASSERT_EQ(wrapped.kind(), ExchangeLoweringError::Kind::Exchange);
  EXPECT_EQ(wrapped.exchange(), ExchangeError::tile(3));
  const ExchangeLoweringError storage = StorageError::matrix_rank();
  ASSERT_EQ(storage.kind(), ExchangeLoweringError::Kind::Storage);
  EXPECT_EQ(storage.storage(), StorageError::matrix_rank());
}

}  // namespace
