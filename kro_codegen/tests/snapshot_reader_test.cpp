#include "kro_codegen/exchange/snapshot_reader.hpp"

#include <fcntl.h>
#include <fmt/format.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "kro_codegen/exchange/snapshot_writer.hpp"

namespace {

using namespace kro_codegen::exchange;
using namespace std::string_literals;

// The parse error's full text, or "ok".
std::string parse_text(std::string_view json) {
  const auto result = parse_snapshot(json);
  return result ? "ok" : result.error().display();
}

// The parse error without its position.
std::string parse_message(std::string_view json) {
  const auto result = parse_snapshot(json);
  return result ? "ok" : result.error().message;
}

// A snapshot whose phase 7 holds one transfer written as `transfer`.
std::string with_transfer(std::string_view transfer) {
  return fmt::format(
      R"({{"schema_version":3,"tile_count":8,"phases":[{{"phase":7,"transfers":[{}]}}]}})",
      transfer);
}

constexpr std::string_view kTransfer =
    R"({"source":2,"source_addresses":[4096,8192],"destinations":[{"tile":4,"address":256},{"tile":5,"address":512}],"words":128,"width":"Paired64"})";

ExchangeScheduleSnapshot expected_snapshot() {
  return {3, 8, {{7, {{2, {4096, 8192}, {{4, 256}, {5, 512}}, 128, ExchangeItemWidth::Paired64}}}}};
}

TEST(SnapshotReader, ObjectAndArrayFormsLoadTheSameRecords) {
  const std::string forms[] = {
      with_transfer(kTransfer),
      // Keys in another order, whitespace everywhere.
      " \t\r\n{ \"phases\" : [ { \"transfers\" : [ { \"width\" : \"Paired64\" , \"words\" : 128 ,"
      " \"destinations\" : [ { \"address\" : 256 , \"tile\" : 4 } , { \"tile\" : 5 , \"address\""
      " : 512 } ] , \"source_addresses\" : [ 4096 , 8192 ] , \"source\" : 2 } ] , \"phase\" : 7 }"
      " ] , \"tile_count\" : 8 , \"schema_version\" : 3 }\n\n",
      R"([3, 8, [[7, [[2, [4096, 8192], [[4, 256], [5, 512]], 128, "Paired64"]]]]])",
      R"({"schema_version":3,"tile_count":8,"phases":[[7,[{"source":2,"source_addresses":[4096,8192],"destinations":[[4,256],{"tile":5,"address":512}],"words":128,"width":{"Paired64":null}}]]]})",
  };
  for (const std::string& json : forms) {
    const auto result = parse_snapshot(json);
    ASSERT_TRUE(result) << json << "\n" << result.error().display();
    EXPECT_EQ(*result, expected_snapshot()) << json;
  }
  const auto empty = parse_snapshot(R"({"schema_version":3,"tile_count":1,"phases":[]})");
  ASSERT_TRUE(empty);
  EXPECT_TRUE(empty->phases.empty());
}

TEST(SnapshotReader, UnknownKeysAreSkippedWhateverTheirValue) {
  const std::string json =
      R"({"comment":{"phases":[1,2,{"schema_version":"x"}],"n":null},"schema_version":3,)"
      R"("tile_count":8,"extra":[[[]],{},true,false,null,-1.5e300,"s"],"phases":[{"phase":7,)"
      R"("note":"phase","transfers":[{"source":2,"source_addresses":[4096,8192],"x":{"y":[]},)"
      R"("destinations":[{"tile":4,"address":256,"tile_note":4},{"tile":5,"address":512}],)"
      R"("words":128,"width":"Paired64","width_note":{"Word32":null}}]}]})";
  const auto result = parse_snapshot(json);
  ASSERT_TRUE(result) << result.error().display();
  EXPECT_EQ(*result, expected_snapshot());
}

TEST(SnapshotReader, MissingAndDuplicateFieldsAreNamed) {
  const std::pair<std::string, std::string> cases[] = {
      {R"({"tile_count":8,"phases":[]})", "missing field `schema_version`"},
      {R"({"schema_version":3,"phases":[]})", "missing field `tile_count`"},
      {R"({"schema_version":3,"tile_count":8})", "missing field `phases`"},
      {with_transfer(R"(X)").replace(with_transfer("X").find("{\"phase\""), 30,
                                     R"({"transfers":[]})"),
       "missing field `phase`"},
      {with_transfer(R"({"source":2,"destinations":[],"words":1,"width":"Word32"})"),
       "missing field `source_addresses`"},
      {with_transfer(R"({"source":2,"source_addresses":[],"words":1,"width":"Word32"})"),
       "missing field `destinations`"},
      {with_transfer(R"({"source":2,"source_addresses":[],"destinations":[],"width":"Word32"})"),
       "missing field `words`"},
      {with_transfer(R"({"source":2,"source_addresses":[],"destinations":[],"words":1})"),
       "missing field `width`"},
      {with_transfer(R"({"words":1,"width":"Word32"})"), "missing field `source`"},
      {with_transfer(
           R"({"source":2,"source_addresses":[],"destinations":[{"address":4}],"words":1,"width":"Word32"})"),
       "missing field `tile`"},
      {with_transfer(
           R"({"source":2,"source_addresses":[],"destinations":[{"tile":4}],"words":1,"width":"Word32"})"),
       "missing field `address`"},
      {R"({"schema_version":3,"tile_count":8,"schema_version":3,"phases":[]})",
       "duplicate field `schema_version`"},
      {R"({"schema_version":3,"tile_count":8,"phases":[],"phases":[]})",
       "duplicate field `phases`"},
      {with_transfer(
           R"({"source":2,"source":2,"source_addresses":[],"destinations":[],"words":1,"width":"Word32"})"),
       "duplicate field `source`"},
      {with_transfer(
           R"({"source":2,"source_addresses":[],"destinations":[{"tile":4,"address":4,"tile":4}],"words":1,"width":"Word32"})"),
       "duplicate field `tile`"},
  };
  for (const auto& [json, message] : cases) EXPECT_EQ(parse_message(json), message) << json;
}

TEST(SnapshotReader, FullErrorTextCarriesLineAndColumn) {
  EXPECT_EQ(parse_text(R"({"schema_version":3,"phases":[]})"),
            "missing field `tile_count` at line 1 column 32");
  EXPECT_EQ(parse_text("{\"schema_version\":3,\n\"tile_count\":8,\n\"phases\":[],\"phases\":[]}"),
            "duplicate field `phases` at line 3 column 20");
  EXPECT_EQ(parse_text("{\"schema_version\":3,\n  \"tile_count\":-1,\"phases\":[]}"),
            "invalid value: integer `-1`, expected u16 at line 2 column 17");
  EXPECT_EQ(parse_text(""), "EOF while parsing a value at line 1 column 0");
  EXPECT_EQ(parse_text("{\"schema_version\":3,\n\"tile_count\":8,\n\"pha"),
            "EOF while parsing a string at line 3 column 4");
  EXPECT_EQ(parse_text("{\"schema_version\":3,\"tile_count\":8,\"phases\":[]} x"),
            "trailing characters at line 1 column 49");
}

TEST(SnapshotReader, ArrayFormsMustHaveExactlyTheirFieldCount) {
  const std::pair<std::string, std::string> cases[] = {
      {R"([3, 8])", "invalid length 2, expected struct ExchangeScheduleSnapshot with 3 elements"},
      {R"([3, 8, [], 1])",
       "invalid length 4, expected struct ExchangeScheduleSnapshot with 3 elements"},
      {R"([])", "invalid length 0, expected struct ExchangeScheduleSnapshot with 3 elements"},
      {R"([3, 8, [[7]]])",
       "invalid length 1, expected struct ExchangeScheduleProblem with 2 elements"},
      {R"([3, 8, [[7, [], {"x":[1]}]]])",
       "invalid length 3, expected struct ExchangeScheduleProblem with 2 elements"},
      {with_transfer(R"([2, [], [], 1])"),
       "invalid length 4, expected struct ExchangeScheduleTransfer with 5 elements"},
      {with_transfer(R"([2, [], [], 1, "Word32", 0])"),
       "invalid length 6, expected struct ExchangeScheduleTransfer with 5 elements"},
      {with_transfer(R"([2, [], [[4]], 1, "Word32"])"),
       "invalid length 1, expected struct ExchangeScheduleDestination with 2 elements"},
      {with_transfer(R"([2, [], [[4, 0, 0]], 1, "Word32"])"),
       "invalid length 3, expected struct ExchangeScheduleDestination with 2 elements"},
  };
  for (const auto& [json, message] : cases) EXPECT_EQ(parse_message(json), message) << json;
}

TEST(SnapshotReader, IntegersArePlainDigitsWithinTheFieldRange) {
  auto tile_count = [](std::string_view value) {
    return parse_message(
        fmt::format(R"({{"schema_version":3,"tile_count":{},"phases":[]}})", value));
  };
  auto schema = [](std::string_view value) {
    return parse_message(
        fmt::format(R"({{"schema_version":{},"tile_count":1,"phases":[]}})", value));
  };
  EXPECT_EQ(tile_count("65535"), "ok");
  EXPECT_EQ(tile_count("0"), "ok");
  EXPECT_EQ(tile_count("65536"), "invalid value: integer `65536`, expected u16");
  EXPECT_EQ(tile_count("-1"), "invalid value: integer `-1`, expected u16");
  EXPECT_EQ(tile_count("-0"), "invalid value: integer `-0`, expected u16");
  EXPECT_EQ(tile_count("1.0"), "invalid type: floating point `1.0`, expected u16");
  EXPECT_EQ(tile_count("1e2"), "invalid type: floating point `1e2`, expected u16");
  EXPECT_EQ(tile_count("\"8\""), "invalid type: string \"8\", expected u16");
  EXPECT_EQ(tile_count("true"), "invalid type: boolean `true`, expected u16");
  EXPECT_EQ(tile_count("null"), "invalid type: null, expected u16");
  EXPECT_EQ(tile_count("[]"), "invalid type: sequence, expected u16");
  EXPECT_EQ(tile_count("{}"), "invalid type: map, expected u16");
  EXPECT_EQ(schema("4294967295"), "ok");
  EXPECT_EQ(schema("4294967296"), "invalid value: integer `4294967296`, expected u32");
  EXPECT_EQ(schema("123456789012345678901234567890"),
            "invalid value: integer `123456789012345678901234567890`, expected u32");
  EXPECT_EQ(schema("01"), "missing a comma or '}' after an object member");
  EXPECT_EQ(
      parse_message(with_transfer(
          R"({"source":2,"source_addresses":[1,-4],"destinations":[],"words":1,"width":"Word32"})")),
      "invalid value: integer `-4`, expected u32");
  EXPECT_EQ(parse_message(R"({"schema_version":3,"tile_count":1,"phases":3})"),
            "invalid type: integer `3`, expected a sequence");
  EXPECT_EQ(parse_message(R"({"schema_version":3,"tile_count":1,"phases":[3.5]})"),
            "invalid type: floating point `3.5`, expected struct ExchangeScheduleProblem");
  EXPECT_EQ(parse_message("7"),
            "invalid type: integer `7`, expected struct ExchangeScheduleSnapshot");
}

TEST(SnapshotReader, WidthIsANameOrASingleKeyObjectWithNull) {
  auto width = [](std::string_view value) {
    const auto result = parse_snapshot(with_transfer(fmt::format(
        R"({{"source":2,"source_addresses":[],"destinations":[],"words":1,"width":{}}})", value)));
    if (!result) return result.error().message;
    return std::string(width_name(result->phases[0].transfers[0].width));
  };
  EXPECT_EQ(width(R"("Word32")"), "Word32");
  EXPECT_EQ(width(R"("Paired64")"), "Paired64");
  EXPECT_EQ(width(R"({"Word32":null})"), "Word32");
  EXPECT_EQ(width(R"({ "Paired64" : null })"), "Paired64");
  EXPECT_EQ(width(R"("word32")"), "unknown variant `word32`, expected `Word32` or `Paired64`");
  EXPECT_EQ(width(R"("PAIRED64")"), "unknown variant `PAIRED64`, expected `Word32` or `Paired64`");
  EXPECT_EQ(width(R"({"Paired32":null})"),
            "unknown variant `Paired32`, expected `Word32` or `Paired64`");
  EXPECT_EQ(width("3"), "invalid type: integer `3`, expected enum ExchangeItemWidth");
  EXPECT_EQ(width("null"), "invalid type: null, expected enum ExchangeItemWidth");
  EXPECT_EQ(width("[\"Word32\"]"), "invalid type: sequence, expected enum ExchangeItemWidth");
  EXPECT_EQ(width(R"({"Word32":1})"), "invalid type: integer `1`, expected unit variant");
  EXPECT_EQ(width(R"({"Word32":{}})"), "invalid type: map, expected unit variant");
  EXPECT_EQ(width("{}"), "invalid type: empty map, expected enum ExchangeItemWidth");
  EXPECT_EQ(width(R"({"Word32":null,"Paired64":null})"),
            "expected a single variant key for enum ExchangeItemWidth");
}

TEST(SnapshotReader, MalformedTextIsRefusedNeverAccepted) {
  const std::string valid = R"({"schema_version":3,"tile_count":1,"phases":[]})";
  EXPECT_EQ(parse_message(valid + " \n\t\r "), "ok");
  const std::string refused[] = {
      valid + "}",
      valid + valid,
      valid + std::string(1, '\0'),
      valid + " \0 "s,
      valid.substr(0, valid.size() - 1),
      valid.substr(0, 20),
      "nul",
      "{\"schema_version\":3,\"tile_count\":1,\"phases\":[],}",
      "{\"schema_version\":3,\"tile_count\":1,\"phases\":[\"\\x\"]}",
      "{\"schema_version\":3,\"tile_count\":1,\"phases\":[],\"c\":\"\xff\"}",
      "{\"schema_version\":3\0,\"tile_count\":1,\"phases\":[]}"s,
  };
  for (const std::string& json : refused) {
    const auto result = parse_snapshot(json);
    ASSERT_FALSE(result) << json;
    EXPECT_GE(result.error().line, 1u) << json;
    EXPECT_EQ(result.error().kind, SnapshotReadError::Kind::Json);
  }
  EXPECT_EQ(parse_message(valid + std::string(1, '\0')), "trailing characters");
}

TEST(SnapshotReader, DeepNestingInSkippedValuesIsRefused) {
  const std::string deep = std::string(100000, '[') + std::string(100000, ']');
  EXPECT_EQ(parse_message(R"({"schema_version":3,"tile_count":1,"phases":[],"x":)" + deep + "}"),
            "recursion limit exceeded");
  const std::string shallow = std::string(100, '[') + std::string(100, ']');
  EXPECT_EQ(parse_message(R"({"schema_version":3,"tile_count":1,"phases":[],"x":)" + shallow + "}"),
            "ok");
}

class TempFile {
 public:
  explicit TempFile(const std::string& contents)
      : path_(std::filesystem::temp_directory_path() /
              fmt::format("kro_snapshot_reader_{}_{}.json", ::getpid(), counter_++)) {
    std::ofstream(path_, std::ios::binary) << contents;
  }
  ~TempFile() { std::filesystem::remove(path_); }
  const std::filesystem::path& path() const { return path_; }

 private:
  static inline int counter_ = 0;
  std::filesystem::path path_;
};

SnapshotReadResult read_file(const std::filesystem::path& path) {
  const int fd = ::open(path.c_str(), O_RDONLY);
  EXPECT_GE(fd, 0);
  auto result = read_snapshot(fd);
  ::close(fd);
  return result;
}

ExchangeScheduleSnapshot large_snapshot() {
  ExchangeScheduleSnapshot snapshot{3, 1472, {}};
  for (std::uint32_t phase = 0; phase < 3; ++phase) {
    ExchangeScheduleProblem problem{phase * 11, {}};
    for (std::uint16_t t = 0; t < 300; ++t) {
      problem.transfers.push_back(
          {static_cast<std::uint16_t>(t * 3 % 1472),
           {4096u * t, 4096u * t + 64},
           {{static_cast<std::uint16_t>(t * 5 % 1472 + 1), 0x90000u + 8 * t}},
           t % 50 + 1u,
           t % 7 == 0 ? ExchangeItemWidth::Paired64 : ExchangeItemWidth::Word32});
    }
    snapshot.phases.push_back(std::move(problem));
  }
  return snapshot;
}

TEST(SnapshotReader, FilesAreReadAcrossBufferBoundaries) {
  const ExchangeScheduleSnapshot snapshot = large_snapshot();
  const std::string json = write_snapshot_json(snapshot);
  ASSERT_GT(json.size(), 10 * kSnapshotReadBufferBytes);
  const TempFile file(json);
  const auto loaded = read_file(file.path());
  ASSERT_TRUE(loaded) << loaded.error().display();
  EXPECT_EQ(*loaded, snapshot);

  // An error far into the file reports the same position as the in-memory reader.
  std::string broken = json;
  broken[broken.size() - 5000] = '#';
  const TempFile broken_file(broken);
  const auto from_file = read_file(broken_file.path());
  const auto from_memory = parse_snapshot(broken);
  ASSERT_FALSE(from_file);
  ASSERT_FALSE(from_memory);
  EXPECT_EQ(from_file.error(), from_memory.error());
  EXPECT_GT(from_file.error().line, 100u);
}

TEST(SnapshotReader, ReadFailuresAreOperatingSystemErrors) {
  const int fd = ::open(std::filesystem::temp_directory_path().c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  const auto result = read_snapshot(fd);
  ::close(fd);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().kind, SnapshotReadError::Kind::Io);
  EXPECT_EQ(result.error().display(), "Is a directory (os error 21)");
}

}  // namespace
