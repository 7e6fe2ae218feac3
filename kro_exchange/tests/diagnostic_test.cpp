#include "kro_exchange/diagnostic.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <fmt/format.h>

#include "kro_exchange/words.hpp"
#include "log_capture.hpp"

namespace kro_exchange::diagnostic {
namespace {

using Words = std::vector<std::uint32_t>;
using Stream = IncomingControlStream;

template <class T>
ExchangeError error_of(const Result<T>& result) {
  EXPECT_FALSE(result.has_value());
  return result ? ExchangeError::host_packet() : result.error();
}

PlanProgramDiagnostic decoded(const Words& program, std::optional<std::uint32_t> base = {}) {
  Result<PlanProgramDiagnostic> d = diagnose_plan_program(program, base);
  EXPECT_TRUE(d.has_value()) << d.error().debug();
  return d ? *d : PlanProgramDiagnostic{};
}

// ---- decoding and rendering --------------------------------------------------------------------

TEST(DiagnosePlanProgram, EmptyProgramHasNoInstructions) {
  const PlanProgramDiagnostic d = decoded({});
  EXPECT_TRUE(d.instructions.empty());
  EXPECT_EQ(d.horizon, 0u);
  EXPECT_EQ(d.word_count, 0u);
  EXPECT_EQ(d.render(), "");
}

// Delay, PIC control, Explicit send, Offset send, Delay, Return.
const Words kExample = {0x40a00047, 0x63f80005, 0x7fe00001, 0x74604001, 0x40a00023, 0x43a00000};

TEST(DiagnosePlanProgram, RendersOneLinePerInstruction) {
  const PlanProgramDiagnostic d = decoded(kExample);
  EXPECT_EQ(d.horizon, 400u);
  EXPECT_EQ(d.word_count, 6u);
  EXPECT_EQ(d.render(),
            "word+0 cycles=0..72 Delay\n"
            "word+1 cycles=72..200 IncomingControl(IncomingControl { stream: Pic, value: 5 })\n"
            "word+2 cycles=200..264 Send { encoding: Explicit, words: 64, raw_operand: 0, "
            "send_control: Some(1), controls: [] }\n"
            "word+3 cycles=264..364 Send { encoding: Offset, words: 100, raw_operand: 0, "
            "send_control: Some(1), controls: [] }\n"
            "word+4 cycles=364..400 Delay\n"
            "word+5 cycles=400..400 Return\n");
}

TEST(DiagnosePlanProgram, RendersAddressesAsZeroPaddedLowerCaseHex) {
  const std::string with_base = decoded(kExample, 256).render();
  EXPECT_TRUE(
      with_base.starts_with("0x00100 cycles=0..72 Delay\n"
                            "0x00104 cycles=72..200 IncomingControl("))
      << with_base;
  EXPECT_NE(with_base.find("\n0x00114 cycles=400..400 Return\n"), std::string::npos);
  const Words one = {0x43a00000};
  EXPECT_EQ(decoded(one, 0xabcde).render(), "0xabcde cycles=0..0 Return\n");
  EXPECT_EQ(decoded(one, 0x100000).render(), "0x100000 cycles=0..0 Return\n");
  EXPECT_EQ(decoded(one, 0xfffffffc).render(), "0xfffffffc cycles=0..0 Return\n");
  EXPECT_EQ(decoded(one, 0).render(), "0x00000 cycles=0..0 Return\n");
}

struct DecodeCase {
  Words program;
  PlanOperation operation;
  std::uint32_t duration;
  std::string text;
};

TEST(DiagnosePlanProgram, DecodesEveryWordKind) {
  const auto picpair = words::picpair_send(5, 6, 0x123, 0x40002, 0x2001);
  const std::vector<DecodeCase> cases = {
      {{0x40a00000}, Delay{}, 1, "Delay"},
      {{0x40a7ffff}, Delay{}, 524288, "Delay"},
      {{0x641c0000},
       IncomingControl{Stream::Xpic, 0},
       113,
       "IncomingControl(IncomingControl { stream: Xpic, value: 0 })"},
      {{words::xpic_control(0x2640, 4095)},
       IncomingControl{Stream::Xpic, 0x2640},
       4096,
       "IncomingControl(IncomingControl { stream: Xpic, value: 9792 })"},
      {{words::pic_control(0x7ffff, 0)},
       IncomingControl{Stream::Pic, 0x7ffff},
       1,
       "IncomingControl(IncomingControl { stream: Pic, value: 524287 })"},
      {{0xf0000000, 0},
       Send{SendEncoding::PicPair, 1, 0, 0, {{Stream::Xpic, 0}, {Stream::Pic, 0}}},
       1,
       "Send { encoding: PicPair, words: 1, raw_operand: 0, send_control: Some(0), controls: "
       "[IncomingControl { stream: Xpic, value: 0 }, IncomingControl { stream: Pic, value: 0 }] "
       "}"},
      {{picpair[0], picpair[1]},
       Send{SendEncoding::PicPair, 5, 0x123, 6, {{Stream::Xpic, 0x2001}, {Stream::Pic, 0x40002}}},
       5,
       "Send { encoding: PicPair, words: 5, raw_operand: 291, send_control: Some(6), controls: "
       "[IncomingControl { stream: Xpic, value: 8193 }, IncomingControl { stream: Pic, value: "
       "262146 }] }"},
      {{words::pic_send_pic(3, 0x40005)},
       Send{SendEncoding::Pic, 3, 5, std::nullopt, {{Stream::Pic, 0x40005}}},
       3,
       "Send { encoding: Pic, words: 3, raw_operand: 5, send_control: None, controls: "
       "[IncomingControl { stream: Pic, value: 262149 }] }"},
      // XPIC value bit 13 travels in word bit 18, outside the raw operand.
      {{words::pic_send_xpic(64, 0x2640)},
       Send{SendEncoding::Pic, 64, 0x640, std::nullopt, {{Stream::Xpic, 0x2640}}},
       64,
       "Send { encoding: Pic, words: 64, raw_operand: 1600, send_control: None, controls: "
       "[IncomingControl { stream: Xpic, value: 9792 }] }"},
      {{0x78000001},
       Send{SendEncoding::Explicit, 1, 0, 1, {}},
       1,
       "Send { encoding: Explicit, words: 1, raw_operand: 0, send_control: Some(1), controls: [] "
       "}"},
      {{words::explicit_send(7, 0x3ffff, 5)},
       Send{SendEncoding::Explicit, 7, 0x3ffff, 5, {}},
       7,
       "Send { encoding: Explicit, words: 7, raw_operand: 262143, send_control: Some(5), "
       "controls: [] }"},
      {{0x70004001},
       Send{SendEncoding::Offset, 65, 0, 1, {}},
       65,
       "Send { encoding: Offset, words: 65, raw_operand: 0, send_control: Some(1), controls: [] "
       "}"},
      {{words::offset_send(4096, 0x7ff, 2)},
       Send{SendEncoding::Offset, 4096, 0x7ff, 2, {}},
       4096,
       "Send { encoding: Offset, words: 4096, raw_operand: 2047, send_control: Some(2), "
       "controls: [] }"},
      {{0x41800003}, Sync{3}, 0, "Sync(3)"},
      {{0x43a00000}, Return{}, 0, "Return"},
      {{1}, Unknown{1}, 0, "Unknown(1)"},
      {{0x40a80000}, Unknown{0x40a80000}, 0, "Unknown(1084751872)"},
  };
  for (const DecodeCase& c : cases) {
    // Decoded behind a one-cycle Delay so that start cycles and word indices are checked.
    Words program = {0x40a00000};
    program.insert(program.end(), c.program.begin(), c.program.end());
    program.push_back(0x43a00000);
    const PlanProgramDiagnostic d = decoded(program);
    ASSERT_EQ(d.instructions.size(), 3u) << c.text;
    const DecodedPlanInstruction& instruction = d.instructions[1];
    EXPECT_EQ(instruction.operation, c.operation) << c.text;
    EXPECT_EQ(debug_text(instruction.operation), c.text);
    EXPECT_EQ(instruction.word_index, 1u);
    EXPECT_EQ(instruction.start_cycle, 1u);
    EXPECT_EQ(instruction.end_cycle, 1 + c.duration) << c.text;
    EXPECT_EQ(d.instructions[2].word_index, 1 + c.program.size());
    EXPECT_EQ(d.horizon, 1 + c.duration);
    EXPECT_EQ(d.word_count, program.size());
  }
}

TEST(DiagnosePlanProgram, ReportsTruncatedPairsWrapsAndAddressOverflow) {
  const ExchangeError truncated = ExchangeError::schedule("truncated SENDPICP payload");
  EXPECT_EQ(error_of(diagnose_plan_program(Words{0xf0000000}, std::nullopt)), truncated);
  EXPECT_EQ(error_of(diagnose_plan_program(Words{0x40a00000, 0xffffffff}, 0)), truncated);

  // 8191 longest Delays and one of 524287 cycles end exactly at the last cycle; one more wraps.
  Words longest(8191, 0x40a7ffff);
  longest.push_back(words::delay(524287));
  EXPECT_EQ(decoded(longest).horizon, 0xffffffffu);
  longest.push_back(0x40a00000);
  EXPECT_EQ(error_of(diagnose_plan_program(longest, std::nullopt)),
            ExchangeError::schedule("diagnostic event horizon overflow"));

  const ExchangeError address = ExchangeError::schedule("diagnostic row address overflow");
  EXPECT_EQ(error_of(diagnose_plan_program(Words{0x40a00000, 0x43a00000}, 0xfffffffc)), address);
  EXPECT_EQ(error_of(diagnose_plan_program(Words{0x40a00000, 0x43a00000}, 0xfffffffd)), address);
  EXPECT_EQ(decoded(Words{0x40a00000, 0x43a00000}, 0xfffffff8).instructions[1].address,
            0xfffffffcu);
}

TEST(DiagnosePlanProgram, ChunkedWordsDecodeLikeASlice) {
  Words program;
  for (int i = 0; i < 150; ++i) {
    const auto pair = words::picpair_send(2, 0, 0, static_cast<std::uint32_t>(i), 7);
    program.insert(program.end(), {0x40a00004, pair[0], pair[1]});
  }
  program.push_back(0x43a00000);
  Chunked<std::uint32_t> chunked;
  for (const std::uint32_t word : program) chunked.push(word);
  const Result<PlanProgramDiagnostic> from_chunks = diagnose_plan_program(chunked, 64);
  ASSERT_TRUE(from_chunks.has_value());
  EXPECT_EQ(*from_chunks, decoded(program, 64));
  EXPECT_EQ(from_chunks->instructions.size(), 301u);
}

// ---- validation against the schedule -----------------------------------------------------------

ReceiveEvent event(std::uint32_t cycle, std::uint32_t control, ReceiveEventKind kind) {
  return {cycle, control, kind};
}

ScheduledSenderRow sender_row(std::uint32_t start, std::uint32_t end) {
  return {{words::kSync3, words::kReturn}, start, end};
}

// A tile that selects source 5 at cycle 20, tears it down at 60, sends a payload over cycles
// 100..200 and sets its receive pointer at 150 from inside the payload.
struct Tile {
  std::uint32_t horizon = 260;
  std::vector<ScheduledSenderRow> rows = {sender_row(100, 200)};
  // Control words keep the advance they were built with: only the values are compared.
  std::vector<ReceiveEvent> events = {
      event(150, words::pic_control(0x40, 9), ReceiveEventKind::Pointer),
      event(20, words::xpic_control(5, 3), ReceiveEventKind::Source),
      event(60, words::xpic_control(0x640, 0), ReceiveEventKind::Teardown),
  };
  Words program = {
      words::xpic_control(5, 19),      // 0..20
      words::xpic_control(0x640, 39),  // 20..60
      words::delay(40),                // 60..100
      words::explicit_send(49, 0, 3),  // 100..149
      words::pic_send_pic(10, 0x40),   // 149..159, pointer at 150
      words::offset_send(41, 0, 3),    // 159..200
      words::delay(60),                // 200..260
      words::kReturn,
  };

  Result<PlanProgramDiagnostic> validate(std::uint16_t tile = 7) const {
    Chunked<ScheduledSenderRow> row_list;
    for (const ScheduledSenderRow& row : rows) row_list.push(row);
    Chunked<ReceiveEvent> event_list;
    for (const ReceiveEvent& e : events) event_list.push(e);
    return validate_tile_program(tile, horizon, row_list, event_list, program);
  }
};

TEST(ValidateTileProgram, AcceptsAProgramThatDoesWhatItsScheduleSays) {
  const Tile tile;
  const Result<PlanProgramDiagnostic> checked = tile.validate();
  ASSERT_TRUE(checked.has_value()) << checked.error().debug();
  EXPECT_EQ(*checked, decoded(tile.program));

  Chunked<std::uint32_t> chunked;
  for (const std::uint32_t word : tile.program) chunked.push(word);
  Chunked<ScheduledSenderRow> rows;
  rows.push(tile.rows[0]);
  Chunked<ReceiveEvent> events;
  for (const ReceiveEvent& e : tile.events) events.push(e);
  EXPECT_TRUE(validate_tile_program(0, tile.horizon, rows, events, chunked).has_value());

  // Receive-only PicPairs set both streams one cycle after they start and send nothing.
  Tile receive_only;
  receive_only.horizon = 20;
  receive_only.rows.clear();
  receive_only.events = {event(11, words::xpic_control(7, 0), ReceiveEventKind::Source),
                         event(11, words::pic_control(0x100, 0), ReceiveEventKind::Pointer)};
  const auto pair = words::picpair_send(5, 0, 0, 0x100, 7);
  receive_only.program = {words::delay(10), pair[0], pair[1], words::delay(5), words::kReturn};
  EXPECT_TRUE(receive_only.validate().has_value());
}

struct Breakage {
  std::string name;
  void (*change)(Tile&);
  std::string_view message;
};

TEST(ValidateTileProgram, ReportsEachKindOfDisagreement) {
  const std::vector<Breakage> cases = {
      {"schedule horizon later", [](Tile& t) { t.horizon = 261; }, "encoded tile horizon mismatch"},
      {"return one cycle early", [](Tile& t) { t.program[6] = words::delay(59); },
       "encoded tile horizon mismatch"},
      {"unknown word", [](Tile& t) { t.program.insert(t.program.begin() + 2, 1); },
       "unknown encoded exchange instruction"},
      {"missing teardown", [](Tile& t) { t.program[1] = words::delay(40); },
       "encoded incoming-control mismatch"},
      {"teardown one cycle late",
       [](Tile& t) {
         t.program[1] = words::xpic_control(0x640, 40);
         t.program[2] = words::delay(39);
       },
       "encoded incoming-control mismatch"},
      {"other source", [](Tile& t) { t.program[0] = words::xpic_control(6, 19); },
       "encoded incoming-control mismatch"},
      {"pointer on the other stream",
       [](Tile& t) { t.program[4] = words::pic_send_xpic(10, 0x40); },
       "encoded incoming-control mismatch"},
      {"extra control", [](Tile& t) { t.program[6] = words::pic_control(1, 59); },
       "encoded incoming-control mismatch"},
      // Without its control the pointer send becomes a Delay: a gap in the payload.
      {"gap in the payload",
       [](Tile& t) {
         t.events.erase(t.events.begin());
         t.program[4] = words::delay(10);
       },
       "encoded sender interval mismatch"},
      {"payload starts earlier", [](Tile& t) { t.rows[0].payload_start = 99; },
       "encoded sender interval mismatch"},
      {"payload ends later", [](Tile& t) { t.rows[0].payload_end = 201; },
       "encoded sender interval mismatch"},
      {"payload ends earlier", [](Tile& t) { t.rows[0].payload_end = 199; },
       "encoded sender interval mismatch"},
      {"payload never sent", [](Tile& t) { t.rows.push_back(sender_row(210, 230)); },
       "encoded sender interval mismatch"},
      {"send outside every payload",
       [](Tile& t) {
         t.program[6] = words::explicit_send(5, 0, 1);
         t.program.insert(t.program.begin() + 7, words::delay(55));
       },
       "unexpected encoded outgoing interval"},
      {"send partly outside its payload",
       [](Tile& t) {
         t.rows[0].payload_end = 149;
         t.events.erase(t.events.begin());
         t.program[4] = words::explicit_send(10, 0, 3);
       },
       "unexpected encoded outgoing interval"},
  };
  for (const Breakage& c : cases) {
    Tile tile;
    c.change(tile);
    EXPECT_EQ(error_of(tile.validate()), ExchangeError::schedule(c.message)) << c.name;
  }
  Tile truncated;
  truncated.program.back() = 0xf0000000;
  EXPECT_EQ(error_of(truncated.validate()), ExchangeError::schedule("truncated SENDPICP payload"));
}

TEST(ValidateTileProgram, LogsWhereTheIncomingControlsFirstDiffer) {
  const auto child = [] {
    const std::vector<std::string> lines =
        testing_support::capture_log_lines("kro_exchange::diagnostic=debug", [] {
          Tile missing;
          missing.program[1] = words::delay(40);
          (void)missing.validate(7);

          // Ten pointer changes, the seventh with a different value than scheduled.
          Tile many;
          many.rows.clear();
          many.events.clear();
          many.program.clear();
          for (std::uint32_t i = 0; i < 10; ++i) {
            many.events.push_back(
                event(10 * (i + 1), words::pic_control(i, 0), ReceiveEventKind::Pointer));
            many.program.push_back(words::pic_control(i == 6 ? 99 : i, 9));
          }
          many.program.push_back(words::kReturn);
          many.horizon = 100;
          (void)many.validate(1471);

          // One control more than scheduled, after all the scheduled ones.
          Tile extra;
          extra.program[6] = words::pic_control(1, 59);
          (void)extra.validate(3);
        });
    const auto control = [](std::uint32_t cycle, std::string_view stream, std::uint32_t value) {
      return fmt::format("({}, IncomingControl {{ stream: {}, value: {} }})", cycle, stream, value);
    };
    const std::string prefix =
        " DEBUG kro_exchange::diagnostic: encoded incoming controls differ from the phase "
        "schedule ";
    const std::vector<std::string> expected = {
        prefix +
            fmt::format("tile=7 first_mismatch=1 actual_len=2 expected_len=3 actual=Some({}) "
                        "expected=Some({}) actual_window=[{}, {}] expected_window=[{}, {}, {}]",
                        control(150, "Pic", 64), control(60, "Xpic", 1600), control(20, "Xpic", 5),
                        control(150, "Pic", 64), control(20, "Xpic", 5), control(60, "Xpic", 1600),
                        control(150, "Pic", 64)),
        prefix + fmt::format("tile=1471 first_mismatch=6 actual_len=10 expected_len=10 "
                             "actual=Some({}) expected=Some({}) actual_window=[{}, {}, {}, {}, {}, "
                             "{}, {}] expected_window=[{}, {}, {}, {}, {}, {}, {}]",
                             control(70, "Pic", 99), control(70, "Pic", 6), control(40, "Pic", 3),
                             control(50, "Pic", 4), control(60, "Pic", 5), control(70, "Pic", 99),
                             control(80, "Pic", 7), control(90, "Pic", 8), control(100, "Pic", 9),
                             control(40, "Pic", 3), control(50, "Pic", 4), control(60, "Pic", 5),
                             control(70, "Pic", 6), control(80, "Pic", 7), control(90, "Pic", 8),
                             control(100, "Pic", 9)),
        prefix + fmt::format("tile=3 first_mismatch=3 actual_len=4 expected_len=3 actual=Some({}) "
                             "expected=None actual_window=[{}, {}, {}, {}] expected_window=[{}, "
                             "{}, {}]",
                             control(260, "Pic", 1), control(20, "Xpic", 5),
                             control(60, "Xpic", 1600), control(150, "Pic", 64),
                             control(260, "Pic", 1), control(20, "Xpic", 5),
                             control(60, "Xpic", 1600), control(150, "Pic", 64)),
    };
    std::vector<std::string> failures;
    if (lines.size() != expected.size()) failures.push_back(fmt::format("{} lines", lines.size()));
    for (std::size_t i = 0; i < std::min(lines.size(), expected.size()); ++i) {
      if (!lines[i].ends_with(expected[i])) {
        failures.push_back(fmt::format("got {}\nwant {}", lines[i], expected[i]));
      }
    }
    testing_support::finish_child(failures);
  };
  EXPECT_EXIT(child(), testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace kro_exchange::diagnostic
