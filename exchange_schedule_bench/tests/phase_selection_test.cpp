#include "phase_selection.hpp"

#include <gtest/gtest.h>

namespace {

using exchange_schedule_bench::select_phases;
using kro_codegen::exchange::ExchangeScheduleSnapshot;

// Phase IDs of the selection, or the error message.
std::string selection(const ExchangeScheduleSnapshot& snapshot, std::vector<std::uint32_t> ids) {
  const auto selected = select_phases(snapshot, ids);
  if (!selected) return selected.error().message();
  std::string out;
  for (const auto* problem : *selected) out += std::to_string(problem->phase) + " ";
  return out;
}

TEST(PhaseSelection, FollowsSnapshotOrderWhateverTheCommandLineOrder) {
  const ExchangeScheduleSnapshot snapshot{3, 4, {{7, {}}, {3, {}}, {9, {}}}};
  EXPECT_EQ(selection(snapshot, {}), "7 3 9 ");
  EXPECT_EQ(selection(snapshot, {3, 7}), "7 3 ");
  EXPECT_EQ(selection(snapshot, {7, 3}), "7 3 ");
  EXPECT_EQ(selection(snapshot, {9}), "9 ");
  EXPECT_EQ(selection(snapshot, {9, 2, 1}), "snapshot does not contain phase 1");
  EXPECT_EQ(selection(snapshot, {5, 5}), "--phase contains a duplicate phase ID");
  EXPECT_EQ(selection({3, 4, {}}, {}), "");
}

}  // namespace
