#include "kro_runtime/log_subscriber.hpp"

#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <cstdint>
#include <cstdio>
#include <limits>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "kro_runtime/log_events.hpp"

namespace kro_runtime::log {
namespace {

using namespace std::chrono;

system_clock::time_point fixed_now() {
  return sys_days{2026y / 3 / 1} + 12h + 34min + 56s + 789012us;
}

constexpr std::string_view kTimestamp = "2026-03-01T12:34:56.789012Z";

Subscriber make_subscriber(Format format, std::FILE* sink = nullptr) {
  return Subscriber(*Filter::parse("trace"), format, sink, &fixed_now);
}

template <std::size_t N, typename... Args>
std::string render(Format format, const EventSpec<N>& descriptor, const Args&... args) {
  const std::array<FieldValue, N> values{FieldValue(args)...};
  fmt::memory_buffer out;
  make_subscriber(format).render(descriptor.meta(), descriptor.fields, values, out);
  return fmt::to_string(out);
}

constexpr EventSpec<1> kOneField{Level::Info, "kro_test::fields", "one field", {"value"}};

// Renders a single field value in the line format, without the line's fixed prefix.
std::string text_value(const FieldValue& value) {
  fmt::memory_buffer out;
  make_subscriber(Format::Text).render(kOneField.meta(), kOneField.fields, {&value, 1}, out);
  const std::string line = fmt::to_string(out);
  const std::string prefix = fmt::format("{}  INFO kro_test::fields: one field value=", kTimestamp);
  EXPECT_TRUE(line.starts_with(prefix)) << line;
  EXPECT_TRUE(line.ends_with("\n")) << line;
  return line.substr(prefix.size(), line.size() - prefix.size() - 1);
}

TEST(TextFormat, WritesTimestampLevelTargetMessageAndFieldsInOrder) {
  EXPECT_EQ(render(Format::Text, log_events::assembled_point_to_point, std::uint16_t{3},
                   std::uint16_t{7}, std::size_t{52}),
            fmt::format("{} DEBUG kro_exchange: assembled point-to-point exchange "
                        "sender_logical=3 receiver_logical=7 count=52\n",
                        kTimestamp));
  EXPECT_EQ(render(Format::Text, log_events::compared_ordinary_and_paired, 4u, std::size_t{2},
                   std::uint32_t{1200}, std::uint32_t{1100}, true),
            fmt::format("{}  INFO kro_codegen::exchange: compared ordinary and paired exchange "
                        "schedules phase=4 candidates=2 ordinary_horizon=1200 "
                        "paired_horizon=1100 use_paired=true\n",
                        kTimestamp));
}

TEST(TextFormat, PadsEveryLevelNameToFiveColumns) {
  const std::vector<std::pair<Level, std::string_view>> levels{{Level::Trace, "TRACE"},
                                                               {Level::Debug, "DEBUG"},
                                                               {Level::Info, " INFO"},
                                                               {Level::Warn, " WARN"},
                                                               {Level::Error, "ERROR"}};
  for (const auto& [level, name] : levels) {
    const EventSpec<0> descriptor{level, "kro_test", "no fields", {}};
    EXPECT_EQ(render(Format::Text, descriptor),
              fmt::format("{} {} kro_test: no fields\n", kTimestamp, name));
  }
}

TEST(TextFormat, RendersEachValueKind) {
  const std::vector<std::uint32_t> words{1, 2, 0xFFFFFFFF};
  const std::array<std::int16_t, 2> deltas{-1, 2};
  const std::vector<std::uint64_t> none;
  const std::string owned = "owned";
  // Field values borrow their texts, so these outlive the table.
  const Debug debug{"PicSet { cycle: 3, \"q\" }"};
  const Display display{"first line\nsecond \\ line"};
  const std::vector<std::pair<FieldValue, std::string_view>> cases{
      {FieldValue(-5), "-5"},
      {FieldValue(std::numeric_limits<std::uint64_t>::max()), "18446744073709551615"},
      {FieldValue(std::numeric_limits<std::int64_t>::min()), "-9223372036854775808"},
      {FieldValue(std::uint8_t{200}), "200"},
      {FieldValue(true), "true"},
      {FieldValue(false), "false"},
      {FieldValue("plain"), "\"plain\""},
      {FieldValue(owned), "\"owned\""},
      {FieldValue(std::string_view("say \"hi\" \\ now")), R"("say \"hi\" \\ now")"},
      {FieldValue("a\nb\tc\rd\x01\x7f"), R"("a\nb\tc\rd\u{1}\u{7f}")"},
      {FieldValue("Grüße → 東京"), "\"Grüße → 東京\""},
      {FieldValue("bad \xff\xc3 utf8 \xed\xa0\x80"),
       "\"bad \xEF\xBF\xBD\xEF\xBF\xBD utf8 "
       "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\""},
      {FieldValue(words), "[1, 2, 4294967295]"},
      {FieldValue(std::span<const std::uint32_t>(words).first(1)), "[1]"},
      {FieldValue(deltas), "[-1, 2]"},
      {FieldValue(none), "[]"},
      {FieldValue(debug), "PicSet { cycle: 3, \"q\" }"},
      {FieldValue(display), "first line\\nsecond \\ line"},
  };
  for (const auto& [value, expected] : cases) EXPECT_EQ(text_value(value), expected);
}

// Parses one JSON line and returns the document; fails the test when it is not one object.
rapidjson::Document parse_line(const std::string& line) {
  EXPECT_TRUE(line.ends_with("\n"));
  EXPECT_EQ(line.find('\n'), line.size() - 1) << "a JSON event must be exactly one line";
  rapidjson::Document document;
  document.Parse(line.data(), line.size());
  EXPECT_FALSE(document.HasParseError()) << line;
  EXPECT_TRUE(document.IsObject()) << line;
  return document;
}

std::vector<std::string> member_names(const rapidjson::Value& object) {
  std::vector<std::string> names;
  for (const auto& member : object.GetObject()) names.emplace_back(member.name.GetString());
  return names;
}

TEST(JsonFormat, WritesOneObjectWithFieldsInCatalogueOrder) {
  const std::vector<std::uint32_t> actual{7, 8};
  const std::string line =
      render(Format::Json, log_events::encoded_controls_differ, std::size_t{12}, std::size_t{3},
             std::size_t{10}, std::size_t{11}, Debug{"Some((40, Xpic, 5))"}, Debug{"None"}, actual,
             std::vector<std::uint32_t>{});
  const auto document = parse_line(line);
  EXPECT_EQ(member_names(document),
            (std::vector<std::string>{"timestamp", "level", "target", "fields"}));
  EXPECT_EQ(std::string_view(document["timestamp"].GetString()), kTimestamp);
  EXPECT_STREQ(document["level"].GetString(), "DEBUG");
  EXPECT_STREQ(document["target"].GetString(), "kro_exchange::diagnostic");
  const auto& fields = document["fields"];
  EXPECT_EQ(
      member_names(fields),
      (std::vector<std::string>{"message", "tile", "first_mismatch", "actual_len", "expected_len",
                                "actual", "expected", "actual_window", "expected_window"}));
  EXPECT_STREQ(fields["message"].GetString(),
               "encoded incoming controls differ from the phase schedule");
  EXPECT_EQ(fields["tile"].GetUint64(), 12u);
  EXPECT_STREQ(fields["actual"].GetString(), "Some((40, Xpic, 5))");
  ASSERT_TRUE(fields["actual_window"].IsArray());
  ASSERT_EQ(fields["actual_window"].Size(), 2u);
  EXPECT_EQ(fields["actual_window"][1].GetUint(), 8u);
  EXPECT_TRUE(fields["expected_window"].IsArray());
  EXPECT_TRUE(fields["expected_window"].Empty());
}

TEST(JsonFormat, TypesAndEscapesValues) {
  constexpr EventSpec<7> descriptor{Level::Warn,
                                    "kro_test",
                                    "quote \" backslash \\ newline \n",
                                    {"signed", "big", "flag", "text", "error", "deltas", "bad"}};
  const std::string tricky = "q\"b\\n\nt\tc\x01\x1f del\x7f Grüße → 東京";
  const std::array<std::int32_t, 3> deltas{-3, 0, 5};
  const std::string line =
      render(Format::Json, descriptor, std::int64_t{-42}, std::numeric_limits<std::uint64_t>::max(),
             false, tricky, Display{"failed: \"x\"\nnext"}, deltas,
             "a\xff"
             "b");
  const auto document = parse_line(line);
  EXPECT_STREQ(document["level"].GetString(), "WARN");
  const auto& fields = document["fields"];
  EXPECT_EQ(member_names(fields), (std::vector<std::string>{"message", "signed", "big", "flag",
                                                            "text", "error", "deltas", "bad"}));
  EXPECT_STREQ(fields["message"].GetString(), "quote \" backslash \\ newline \n");
  EXPECT_EQ(fields["signed"].GetInt64(), -42);
  EXPECT_EQ(fields["big"].GetUint64(), std::numeric_limits<std::uint64_t>::max());
  EXPECT_TRUE(fields["flag"].IsFalse());
  EXPECT_EQ(std::string(fields["text"].GetString(), fields["text"].GetStringLength()), tricky);
  EXPECT_STREQ(fields["error"].GetString(), "failed: \"x\"\nnext");
  ASSERT_EQ(fields["deltas"].Size(), 3u);
  EXPECT_EQ(fields["deltas"][0].GetInt(), -3);
  EXPECT_STREQ(fields["bad"].GetString(),
               "a\xEF\xBF\xBD"
               "b");
}

TEST(Subscriber, WritesEachEventAsOneLineBetweenTheProgramsOwnLines) {
  std::FILE* sink = std::tmpfile();
  ASSERT_NE(sink, nullptr);
  const Subscriber subscriber = make_subscriber(Format::Json, sink);
  const std::array<FieldValue, 1> phase{FieldValue(9u)};
  std::fputs("program line 1\n", sink);
  subscriber.write(log_events::reused_exchange_optimization.meta(),
                   log_events::reused_exchange_optimization.fields, phase);
  fmt::print(sink, "program line {}\n", 2);
  subscriber.write(log_events::reused_exchange_optimization.meta(),
                   log_events::reused_exchange_optimization.fields, phase);
  std::rewind(sink);
  std::vector<std::string> lines;
  char buffer[1024];
  while (std::fgets(buffer, sizeof buffer, sink)) lines.emplace_back(buffer);
  std::fclose(sink);
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0], "program line 1\n");
  EXPECT_EQ(parse_line(lines[1])["fields"]["phase"].GetUint(), 9u);
  EXPECT_EQ(lines[2], "program line 2\n");
  EXPECT_EQ(lines[3], lines[1]);
}

TEST(Subscriber, FormatVariableSelectsJsonOnlyForExactlyJson) {
  EXPECT_EQ(format_from_variable("json"), Format::Json);
  EXPECT_EQ(format_from_variable("JSON"), Format::Text);
  EXPECT_EQ(format_from_variable("json "), Format::Text);
  EXPECT_EQ(format_from_variable(""), Format::Text);
  EXPECT_EQ(format_from_variable("pretty"), Format::Text);
  EXPECT_EQ(format_from_variable(nullptr), Format::Text);
}

}  // namespace
}  // namespace kro_runtime::log
