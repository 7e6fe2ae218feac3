#include <gtest/gtest.h>

#include <regex>

#include "program_runner.hpp"

namespace {

using program_test::Outcome;
using program_test::run_program;
using program_test::ScratchDir;

const std::string kEmptySnapshot = R"({"schema_version":3,"tile_count":4,"phases":[]})";
const std::string kExample = std::string(KRO_EXAMPLES_DIR) + "/three_phases.json";

TEST(CommandLine, HelpListsEveryArgumentOnStandardOutput) {
  for (const char* flag : {"--help", "-h"}) {
    const Outcome help = run_program({flag});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.err, "");
    for (const char* text :
         {"Replay and validate production exchange scheduling without KRO hardware",
          "kro-tests [OPTIONS] SNAPSHOT",
          "JSON snapshot written by kro-trivial-test --export-exchange-schedule",
          "--phase PHASES",
          "Restrict the benchmark to these physical exchange phase IDs",
          "--warmup WARMUP=0",
          "Untimed scheduler/codegen runs before measurement",
          "--iterations ITERATIONS=1",
          "Timed scheduler/codegen runs per selected phase",
          "--first-iteration-only",
          "Ignore sender addresses after the first Repeat iteration. This reproduces the unsafe "
          "scheduler behavior used before Repeat-aware memory-element hazard checking",
          "--select-widths",
          "Include the production comparison of ordinary and paired transfers",
          "--replay-cache Needs: --select-widths",
          "Populate the production recipe cache before timing, then measure replay",
          "--relocate-by RELOCATE_BY=0 Needs: --replay-cache",
          "Relocate every source/destination by this many bytes after cache warmup",
          "--dump-tile DUMP_TILE",
          "Decode the generated exchange program for this logical tile",
          "-V,--version"}) {
      EXPECT_NE(help.out.find(text), std::string::npos) << text << "\n" << help.out;
    }
  }
}

TEST(CommandLine, VersionGoesToStandardOutput) {
  for (const char* flag : {"--version", "-V"}) {
    const Outcome version = run_program({flag});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, "kro-tests 0.1.0\n");
    EXPECT_EQ(version.err, "");
  }
}

TEST(CommandLine, ArgumentErrorsExitWithStatusTwo) {
  ScratchDir scratch;
  const std::string snapshot = scratch.write("empty.json", kEmptySnapshot);
  const std::vector<std::vector<std::string>> refused = {
      {},
      {snapshot, "other.json"},
      {snapshot, "--replay-cache"},
      {snapshot, "--relocate-by", "16"},
      {snapshot, "--relocate-by", "0"},
      {snapshot, "--select-widths", "--relocate-by", "16"},
      {snapshot, "--phase", "3,7"},
      {snapshot, "--phase", "3", "7"},
      {snapshot, "--phase"},
      {snapshot, "--phase", "-1"},
      {snapshot, "--phase", "+1"},
      {snapshot, "--phase", "0x10"},
      {snapshot, "--phase", "4294967296"},
      {snapshot, "--relocate-by", "4294967296"},
      {snapshot, "--warmup", "x"},
      {snapshot, "--warmup", "1.5"},
      {snapshot, "--iterations", "18446744073709551616"},
      {snapshot, "--dump-tile", "-3"},
      {snapshot, "--warmup", "1", "--warmup", "2"},
      {snapshot, "--dump-tile", "1", "--dump-tile", "1"},
      {snapshot, "--select-widths", "--select-widths"},
      {snapshot, "--first-iteration-only=false"},
      {snapshot, "--first-iteration-only=true"},
      {snapshot, "--select-widths="},
      {snapshot, "--select-widths", "--replay-cache={}"},
      {snapshot, "--help=1"},
      {snapshot, "--version=true"},
      {snapshot, "--bogus"},
      {snapshot, "-p", "3"},
  };
  for (const auto& args : refused) {
    const Outcome outcome = run_program(args);
    std::string joined;
    for (const auto& arg : args) joined += arg + " ";
    EXPECT_EQ(outcome.status, 2) << joined << "\n" << outcome.err;
    EXPECT_EQ(outcome.out, "") << joined;
    EXPECT_NE(outcome.err, "") << joined;
  }
  // After "--" the same text is a snapshot path, not a flag with a value.
  const Outcome path = run_program({"--", "--select-widths=true"});
  EXPECT_EQ(path.status, 1);
  EXPECT_TRUE(path.err.starts_with("Error: open --select-widths=true\n")) << path.err;
}

TEST(CommandLine, RequirementsHoldWhenTheRequiredOptionsAreGiven) {
  ScratchDir scratch;
  const std::string snapshot = scratch.write("empty.json", kEmptySnapshot);
  const std::vector<std::vector<std::string>> accepted = {
      {snapshot, "--select-widths", "--replay-cache", "--relocate-by", "16"},
      {snapshot, "--select-widths", "--replay-cache", "--relocate-by", "0"},
      {snapshot, "--select-widths", "--replay-cache"},
      {"--phase=4294967295", snapshot, "--select-widths", "--dump-tile", "18446744073709551615"},
  };
  for (const auto& args : accepted) {
    const Outcome outcome = run_program(args);
    // Only the missing phase is left to complain about.
    EXPECT_TRUE(outcome.status == 0 || outcome.err ==
                                           "Error: snapshot does not contain phase "
                                           "4294967295\n")
        << args.back() << "\n"
        << outcome.err;
    EXPECT_NE(outcome.status, 2) << outcome.err;
  }
}

TEST(Startup, HeaderAndTotalLinesFrameAnEmptyRun) {
  ScratchDir scratch;
  const std::string snapshot = scratch.write("empty.json", kEmptySnapshot);
  const Outcome outcome = run_program({snapshot});
  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(outcome.err, "");
  const std::regex expected("snapshot=" + snapshot +
                            " tiles=4 phases=0 warmup=0 iterations=1 repeatAware=true\n"
                            "totalMs=[0-9]+\\.[0-9]{3}\n");
  EXPECT_TRUE(std::regex_match(outcome.out, expected)) << outcome.out;
}

TEST(Startup, HeaderCountsSelectedPhasesAndEchoesTheSettings) {
  struct Case {
    std::vector<std::string> args;
    std::string header;
  };
  const Case cases[] = {
      {{kExample}, "tiles=1472 phases=3 warmup=0 iterations=1 repeatAware=true"},
      {{kExample, "--phase", "12", "--warmup", "3", "--iterations", "7"},
       "tiles=1472 phases=1 warmup=3 iterations=7 repeatAware=true"},
      {{"--first-iteration-only", kExample, "--phase", "12", "--phase", "0"},
       "tiles=1472 phases=2 warmup=0 iterations=1 repeatAware=false"},
  };
  for (const Case& c : cases) {
    const Outcome outcome = run_program(c.args);
    EXPECT_EQ(outcome.status, 0) << outcome.err;
    const std::regex expected("snapshot=" + kExample + " " + c.header +
                              "\ntotalMs=[0-9]+\\.[0-9]{3}\n");
    EXPECT_TRUE(std::regex_match(outcome.out, expected)) << outcome.out;
  }
}

TEST(Startup, EmptyLogFilterStillRuns) {
  ScratchDir scratch;
  const std::string snapshot = scratch.write("empty.json", kEmptySnapshot);
  const Outcome outcome = run_program({snapshot}, "");
  EXPECT_EQ(outcome.status, 0);
  EXPECT_TRUE(outcome.out.starts_with("snapshot=")) << outcome.out;
}

// Each failure prints exactly its report on standard error, nothing on standard output.
TEST(Startup, FailuresPrintTheirErrorAndExitWithStatusOne) {
  ScratchDir scratch;
  const std::string empty = scratch.write("empty.json", kEmptySnapshot);
  const std::string missing = scratch.path("missing.json");
  const std::string blank = scratch.write("blank.json", "");
  const std::string truncated =
      scratch.write("truncated.json", "{\"schema_version\": 3,\n \"tile_count\": 4,\n \"pha");
  const std::string no_tiles =
      scratch.write("no_tiles.json", R"({"schema_version":3,"tile_count":0,"phases":[]})");
  const std::string old_schema =
      scratch.write("old.json", R"({"schema_version":2,"tile_count":0,"phases":[]})");
  const std::string wide =
      scratch.write("wide.json", R"({"schema_version":3,"tile_count":70000,"phases":[]})");
  // The second iteration's address is unaligned: validation sees it even when only the first
  // iteration is kept afterwards.
  const std::string second_iteration = scratch.write(
      "second.json",
      R"({"schema_version":3,"tile_count":4,"phases":[{"phase":1,"transfers":[)"
      R"({"source":0,"source_addresses":[0,6],"destinations":[{"tile":1,"address":0}],"words":4,"width":"Word32"}]}]})");
  const std::string phases = scratch.write(
      "phases.json",
      R"({"schema_version":3,"tile_count":4,"phases":[{"phase":7,"transfers":[]},{"phase":3,"transfers":[]}]})");

  struct Case {
    std::vector<std::string> args;
    std::string err;
  };
  const Case cases[] = {
      {{missing, "--iterations", "0"}, "Error: --iterations must be nonzero\n"},
      {{missing},
       "Error: open " + missing + "\n\nCaused by:\n    No such file or directory (os error 2)\n"},
      {{scratch.dir()},
       "Error: parse " + scratch.dir() + "\n\nCaused by:\n    Is a directory (os error 21)\n"},
      {{blank},
       "Error: parse " + blank +
           "\n\nCaused by:\n    EOF while parsing a value at line 1 column 0\n"},
      {{truncated},
       "Error: parse " + truncated +
           "\n\nCaused by:\n    EOF while parsing a string at line 3 column 5\n"},
      {{wide},
       "Error: parse " + wide +
           "\n\nCaused by:\n    invalid value: integer `70000`, expected u16 at line 1 column "
           "38\n"},
      {{no_tiles},
       "Error: invalid exchange-schedule snapshot: tile count 0 is outside the Z310 topology\n"},
      {{old_schema},
       "Error: invalid exchange-schedule snapshot: unsupported schema version 2 (expected 3)\n"},
      {{second_iteration, "--first-iteration-only"},
       "Error: invalid exchange-schedule snapshot: phase 1 transfer 0 has unaligned source "
       "address 0x6\n"},
      {{empty, "--phase", "5", "--phase", "5"}, "Error: --phase contains a duplicate phase ID\n"},
      {{phases, "--phase", "7", "--phase", "7"}, "Error: --phase contains a duplicate phase ID\n"},
      {{phases, "--phase", "9", "--phase", "2"}, "Error: snapshot does not contain phase 2\n"},
      {{phases, "--phase", "7", "--phase", "4"}, "Error: snapshot does not contain phase 4\n"},
  };
  for (const Case& c : cases) {
    const Outcome outcome = run_program(c.args);
    EXPECT_EQ(outcome.status, 1) << c.args.front();
    EXPECT_EQ(outcome.err, c.err) << c.args.front();
    EXPECT_EQ(outcome.out, "") << c.args.front();
  }
}

}  // namespace
