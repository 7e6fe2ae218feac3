#include "kro_runtime/log_filter.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <ostream>
#include <string_view>
#include <vector>

namespace kro_runtime::log {
namespace {

struct MatchCase {
  std::string_view filter;
  std::string_view target;
  Level level;
  bool enabled;
};

void PrintTo(const MatchCase& c, std::ostream* os) {
  *os << "'" << c.filter << "' " << c.target << " level " << static_cast<int>(c.level);
}

class FilterMatch : public testing::TestWithParam<MatchCase> {};

TEST_P(FilterMatch, DecidesByTheMostSpecificDirective) {
  const auto& c = GetParam();
  const auto filter = Filter::parse(c.filter);
  ASSERT_TRUE(filter.has_value()) << c.filter;
  EXPECT_EQ(filter->enabled(c.level, c.target), c.enabled)
      << "filter '" << c.filter << "', target " << c.target;
}

INSTANTIATE_TEST_SUITE_P(
    Directives, FilterMatch,
    testing::Values(
        // A bare level is the default for every target.
        MatchCase{"info", "kro_exchange", Level::Debug, false},
        MatchCase{"info", "kro_exchange", Level::Info, true},
        MatchCase{"info", "kro_codegen::exchange", Level::Error, true},
        MatchCase{"trace", "kro_exchange", Level::Trace, true},
        MatchCase{"off", "kro_exchange", Level::Error, false},
        // A target directive covers its module and the modules below it, at `::` boundaries only.
        MatchCase{"info,kro_exchange=debug", "kro_exchange", Level::Debug, true},
        MatchCase{"info,kro_exchange=debug", "kro_exchange::diagnostic", Level::Debug, true},
        MatchCase{"info,kro_exchange=debug", "kro_exchange_x", Level::Debug, false},
        MatchCase{"info,kro_exchange=debug", "kro_exchange_x", Level::Info, true},
        MatchCase{"info,kro_exchange=debug", "kro", Level::Debug, false},
        MatchCase{"info,kro_exchange=debug", "kro_codegen::exchange", Level::Debug, false},
        MatchCase{"info,kro_codegen::exchange=debug", "kro_codegen::exchanges", Level::Debug,
                  false},
        MatchCase{"info,kro_codegen::exchange=debug", "kro_codegen", Level::Debug, false},
        // The longest matching target wins, whatever the directive order.
        MatchCase{"kro_codegen::exchange::order=trace,debug,kro_codegen::exchange=warn",
                  "kro_codegen::exchange::order", Level::Trace, true},
        MatchCase{"kro_codegen::exchange::order=trace,debug,kro_codegen::exchange=warn",
                  "kro_codegen::exchange::reuse", Level::Info, false},
        MatchCase{"kro_codegen::exchange::order=trace,debug,kro_codegen::exchange=warn",
                  "kro_codegen::exchange", Level::Warn, true},
        MatchCase{"kro_codegen::exchange::order=trace,debug,kro_codegen::exchange=warn",
                  "kro_codegen", Level::Debug, true},
        MatchCase{"info,kro_exchange=off", "kro_exchange::diagnostic", Level::Error, false},
        // Between directives for the same target the later one wins.
        MatchCase{"kro_exchange=debug,kro_exchange=warn", "kro_exchange", Level::Info, false},
        MatchCase{"debug,warn", "kro_exchange", Level::Info, false},
        MatchCase{"warn,debug", "kro_exchange", Level::Debug, true},
        // Without a default level, targets outside every directive see nothing.
        MatchCase{"kro_exchange=debug", "kro_exchange", Level::Debug, true},
        MatchCase{"kro_exchange=debug", "kro_codegen::exchange", Level::Error, false},
        // Level names ignore case; blanks around items and empty items are allowed.
        MatchCase{" INFO , kro_exchange = Debug ,", "kro_exchange", Level::Debug, true},
        MatchCase{" INFO , kro_exchange = Debug ,", "kro_codegen", Level::Debug, false},
        // A value without directives means the default "info".
        MatchCase{"", "kro_exchange", Level::Info, true},
        MatchCase{"", "kro_exchange", Level::Debug, false},
        MatchCase{" , ,", "kro_codegen::exchange", Level::Info, true}));

TEST(Filter, MaxLevelIsTheLowestThresholdOfAnyDirective) {
  EXPECT_EQ(Filter::parse("info,kro_exchange=debug")->max_level(), LevelFilter::Debug);
  EXPECT_EQ(Filter::parse("warn,kro_exchange=off")->max_level(), LevelFilter::Warn);
  EXPECT_EQ(Filter::parse("off")->max_level(), LevelFilter::Off);
  EXPECT_EQ(Filter::parse("")->max_level(), LevelFilter::Info);
}

class InvalidFilter : public testing::TestWithParam<std::string_view> {};

TEST_P(InvalidFilter, IsRejectedAndTheVariableFallsBackToInfo) {
  EXPECT_FALSE(Filter::parse(GetParam()).has_value()) << GetParam();
  const Filter fallback = Filter::from_variable(GetParam());
  ASSERT_EQ(fallback.directives().size(), 1u);
  EXPECT_EQ(fallback.directives()[0].target, "");
  EXPECT_EQ(fallback.directives()[0].level, LevelFilter::Info);
  EXPECT_TRUE(fallback.enabled(Level::Info, "kro_codegen::exchange"));
  EXPECT_FALSE(fallback.enabled(Level::Debug, "kro_exchange"));
}

INSTANTIATE_TEST_SUITE_P(Values, InvalidFilter,
                         testing::Values("verbose", "info,kro_exchange=loud", "=debug",
                                         "kro_exchange=", "kro_exchange", "kro-exchange=debug",
                                         "kro_exchange:=debug", "kro_exchange::=debug",
                                         "::kro_exchange=debug", "info;debug",
                                         "kro_exchange=debug=trace", "info,kro exchange=debug",
                                         "kro_exchange[span]=debug"));

TEST(Filter, MissingVariableMeansInfo) {
  const Filter filter = Filter::from_variable(std::nullopt);
  EXPECT_TRUE(filter.enabled(Level::Info, "kro_exchange"));
  EXPECT_FALSE(filter.enabled(Level::Debug, "kro_exchange"));
}

TEST(Filter, ValidVariableIsUsedAsGiven) {
  const Filter filter = Filter::from_variable("warn,kro_exchange::diagnostic=trace");
  EXPECT_FALSE(filter.enabled(Level::Info, "kro_codegen"));
  EXPECT_TRUE(filter.enabled(Level::Trace, "kro_exchange::diagnostic"));
}

TEST(LevelFilter, ParsesEveryNameAndNothingElse) {
  EXPECT_EQ(parse_level_filter("trace"), LevelFilter::Trace);
  EXPECT_EQ(parse_level_filter("Debug"), LevelFilter::Debug);
  EXPECT_EQ(parse_level_filter("INFO"), LevelFilter::Info);
  EXPECT_EQ(parse_level_filter("warn"), LevelFilter::Warn);
  EXPECT_EQ(parse_level_filter("error"), LevelFilter::Error);
  EXPECT_EQ(parse_level_filter("off"), LevelFilter::Off);
  EXPECT_EQ(parse_level_filter("warning"), std::nullopt);
  EXPECT_EQ(parse_level_filter(""), std::nullopt);
  EXPECT_EQ(parse_level_filter("3"), std::nullopt);
}

}  // namespace
}  // namespace kro_runtime::log
