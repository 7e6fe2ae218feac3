// The process-wide subscriber can be installed only once per process, so every test that installs
// it runs in a forked child (death-test style) with standard output captured in a temporary file.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "kro_runtime/log.hpp"
#include "kro_runtime/log_events.hpp"
#include "kro_runtime/log_subscriber.hpp"

namespace kro_runtime {
namespace {

namespace events = log_events;

struct Environment {
  const char* filter;  // nullptr: unset
  const char* format;  // nullptr: unset
};

void set_environment(const Environment& environment) {
  const auto set = [](const char* name, const char* value) {
    if (value)
      setenv(name, value, 1);
    else
      unsetenv(name);
  };
  set("KRO_LOG", environment.filter);
  set("KRO_LOG_FORMAT", environment.format);
}

// Runs `body` with standard output redirected to a temporary file; returns what it wrote, by line.
std::vector<std::string> capture_stdout_lines(const std::function<void()>& body) {
  std::FILE* capture = std::tmpfile();
  std::fflush(stdout);
  const int saved = dup(fileno(stdout));
  dup2(fileno(capture), fileno(stdout));
  body();
  std::fflush(stdout);
  dup2(saved, fileno(stdout));
  close(saved);
  std::rewind(capture);
  std::vector<std::string> lines;
  std::string line;
  for (int c; (c = std::fgetc(capture)) != EOF;) {
    line.push_back(static_cast<char>(c));
    if (c == '\n') lines.push_back(std::exchange(line, {}));
  }
  if (!line.empty()) lines.push_back(line);
  std::fclose(capture);
  return lines;
}

// Ends the child: status 0 when `failures` is empty, else 1 with the failures on standard error.
[[noreturn]] void finish_child(const std::vector<std::string>& failures) {
  for (const auto& failure : failures) std::fputs((failure + "\n").c_str(), stderr);
  std::fflush(stderr);
  std::_Exit(failures.empty() ? 0 : 1);
}

void emit_sample_events() {
  KRO_LOG_EVENT(events::assembled_point_to_point, std::uint16_t{1}, std::uint16_t{2}, 52u);
  KRO_LOG_EVENT(events::compared_ordinary_and_paired, 3u, 2u, 1200u, 1100u, true);
}

// The expected log lines of `emit_sample_events` in each format, as (prefix-free) suffixes.
constexpr std::string_view kTextDebug =
    " DEBUG kro_exchange: assembled point-to-point exchange sender_logical=1 receiver_logical=2 "
    "count=52\n";
constexpr std::string_view kTextInfo =
    "  INFO kro_codegen::exchange: compared ordinary and paired exchange schedules phase=3 "
    "candidates=2 ordinary_horizon=1200 paired_horizon=1100 use_paired=true\n";
constexpr std::string_view kJsonInfo =
    R"("level":"INFO","target":"kro_codegen::exchange","fields":{"message":"compared ordinary and paired exchange schedules","phase":3,"candidates":2,"ordinary_horizon":1200,"paired_horizon":1100,"use_paired":true}})"
    "\n";
constexpr std::string_view kJsonDebug =
    R"("level":"DEBUG","target":"kro_exchange","fields":{"message":"assembled point-to-point exchange","sender_logical":1,"receiver_logical":2,"count":52}})"
    "\n";

struct InitCase {
  std::string_view name;
  Environment environment;
  std::vector<std::string_view> expected_suffixes;
};

class InitTracing : public testing::TestWithParam<InitCase> {};

TEST_P(InitTracing, ConfiguresFilterAndFormatFromTheEnvironment) {
  const InitCase& c = GetParam();
  const auto child = [&] {
    set_environment(c.environment);
    const auto lines = capture_stdout_lines([] {
      init_tracing();
      emit_sample_events();
    });
    std::vector<std::string> failures;
    if (lines.size() != c.expected_suffixes.size())
      failures.push_back(fmt::format("{} lines: {}", lines.size(), fmt::join(lines, "")));
    for (std::size_t i = 0; i < lines.size() && i < c.expected_suffixes.size(); ++i)
      if (!lines[i].ends_with(c.expected_suffixes[i]))
        failures.push_back(fmt::format("line {}: {}", i, lines[i]));
    finish_child(failures);
  };
  EXPECT_EXIT(child(), testing::ExitedWithCode(0), "");
}

INSTANTIATE_TEST_SUITE_P(
    Environments, InitTracing,
    testing::Values(
        InitCase{
            "DebugForOneTarget", {"info,kro_exchange=debug", nullptr}, {kTextDebug, kTextInfo}},
        InitCase{"DefaultsToInfo", {"", nullptr}, {kTextInfo}},
        InitCase{"UnparsableFilterMeansInfo", {"not a filter!", "json"}, {kJsonInfo}},
        InitCase{"JsonLines", {"debug", "json"}, {kJsonDebug, kJsonInfo}},
        InitCase{"UpperCaseJsonSelectsLines", {"debug", "JSON"}, {kTextDebug, kTextInfo}},
        InitCase{"OtherTargetsOnly", {"kro_codegen::exchange::order=trace", nullptr}, {}},
        InitCase{"Off", {"off", "json"}, {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Logging, DiscardsEverythingBeforeInstallation) {
  const auto child = [&] {
    set_environment({"trace", "json"});
    std::vector<std::string> failures;
    const auto lines = capture_stdout_lines(emit_sample_events);
    if (!lines.empty()) failures.push_back("events written before installation");
    if (log::installed()) failures.push_back("installed without init_tracing");
    for (const auto& event : events::catalogue) {
      const log::EventSpec<0> descriptor{
          event.level, event.target, event.message, {}, event.catalogue_index};
      if (log::enabled(descriptor)) failures.push_back(fmt::format("{} enabled", event.message));
    }
    const log::EventSpec<0> uncatalogued{log::Level::Error, "kro_test", "x", {}};
    if (log::enabled(uncatalogued)) failures.push_back("uncatalogued event enabled");
    finish_child(failures);
  };
  EXPECT_EXIT(child(), testing::ExitedWithCode(0), "");
}

TEST(Logging, SecondInitialisationKeepsTheFirstConfiguration) {
  const auto child = [&] {
    set_environment({"debug", "json"});
    std::vector<std::string> failures;
    const auto lines = capture_stdout_lines([&] {
      init_tracing();
      set_environment({"off", nullptr});
      init_tracing();
      if (log::install(log::Subscriber(*log::Filter::parse("off"), log::Format::Text, stdout)))
        failures.push_back("a second subscriber was installed");
      emit_sample_events();
    });
    if (lines.size() != 2 || !lines[0].ends_with(kJsonDebug) || !lines[1].ends_with(kJsonInfo))
      failures.push_back(fmt::format("output: {}", fmt::join(lines, "")));
    finish_child(failures);
  };
  EXPECT_EXIT(child(), testing::ExitedWithCode(0), "");
}

TEST(Logging, LinesInterleaveWithTheProgramsOwnStdoutLines) {
  const auto child = [&] {
    set_environment({"info,kro_exchange=debug", nullptr});
    const auto lines = capture_stdout_lines([] {
      init_tracing();
      std::fputs("program line 1\n", stdout);
      KRO_LOG_EVENT(events::assembled_point_to_point, 1, 2, 52);
      fmt::print("program line {}\n", 2);
      // Filtered out: kro_codegen::exchange stays at info.
      KRO_LOG_EVENT(events::ordinary_candidate_not_encodable, 3, log::Display{"error"});
      KRO_LOG_EVENT(events::compared_ordinary_and_paired, 3, 2, 1200, 1100, true);
      fmt::print(stdout, "program line {}\n", 3);
    });
    std::vector<std::string> failures;
    if (lines.size() != 5 || lines[0] != "program line 1\n" || !lines[1].ends_with(kTextDebug) ||
        lines[2] != "program line 2\n" || !lines[3].ends_with(kTextInfo) ||
        lines[4] != "program line 3\n")
      failures.push_back(fmt::format("output: {}", fmt::join(lines, "")));
    finish_child(failures);
  };
  EXPECT_EXIT(child(), testing::ExitedWithCode(0), "");
}

TEST(Logging, UncataloguedEventsUseTheInstalledFilter) {
  const auto child = [&] {
    set_environment({"warn,kro_exchange=debug", nullptr});
    init_tracing();
    std::vector<std::string> failures;
    const log::EventSpec<0> below{log::Level::Debug, "kro_exchange::custom", "x", {}};
    const log::EventSpec<0> sibling{log::Level::Debug, "kro_exchange_x", "x", {}};
    const log::EventSpec<0> filtered_level{log::Level::Info, "kro_codegen", "x", {}};
    if (!log::enabled(below)) failures.push_back("kro_exchange::custom disabled");
    if (log::enabled(sibling)) failures.push_back("kro_exchange_x enabled");
    if (log::enabled(filtered_level)) failures.push_back("info enabled at warn");
    finish_child(failures);
  };
  EXPECT_EXIT(child(), testing::ExitedWithCode(0), "");
}

TEST(Logging, FilterVariablePresenceCountsAnEmptyValue) {
  const char* saved = std::getenv("KRO_LOG");
  const std::string saved_value = saved ? saved : "";
  unsetenv("KRO_LOG");
  EXPECT_FALSE(log_filter_variable_present());
  setenv("KRO_LOG", "", 1);
  EXPECT_TRUE(log_filter_variable_present());
  if (saved)
    setenv("KRO_LOG", saved_value.c_str(), 1);
  else
    unsetenv("KRO_LOG");
}

}  // namespace
}  // namespace kro_runtime
