// Reading encoded exchange programs back.
//
// `diagnose_plan_program` decodes a tile's instruction words into one record per instruction with
// its cycle span; `render` prints them one per line (the benchmark's tile dump);
// `validate_tile_program` proves that a tile's encoded program does what its schedule says.
//
//   auto d = diagnostic::diagnose_plan_program(words, std::nullopt);
//   fmt::print("{}", d->render());
//   // word+0 cycles=0..72 Delay
//   // word+1 cycles=72..200 IncomingControl(IncomingControl { stream: Pic, value: 5 })
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "kro_exchange/chunked.hpp"
#include "kro_exchange/error.hpp"
#include "kro_exchange/receive_event.hpp"

namespace kro_exchange::diagnostic {

enum class IncomingControlStream : std::uint8_t { Pic = 0, Xpic = 1 };

struct IncomingControl {
  IncomingControlStream stream = IncomingControlStream::Pic;
  // XPIC values have 14 significant bits, PIC values 19.
  std::uint32_t value = 0;

  friend bool operator==(const IncomingControl&, const IncomingControl&) = default;
  friend auto operator<=>(const IncomingControl&, const IncomingControl&) = default;
};

// The incoming controls a send switches: none, one (Pic send) or two (PicPair send). Held inline
// since a send never carries more than two.
class IncomingControls {
 public:
  IncomingControls() = default;
  IncomingControls(std::initializer_list<IncomingControl> controls);

  void push_back(const IncomingControl& control);
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  const IncomingControl& operator[](std::size_t index) const { return items_[index]; }
  const IncomingControl* begin() const { return items_.data(); }
  const IncomingControl* end() const { return items_.data() + size_; }

  friend bool operator==(const IncomingControls& a, const IncomingControls& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end());
  }

 private:
  std::array<IncomingControl, 2> items_{};
  std::size_t size_ = 0;
};

enum class SendEncoding : std::uint8_t { Explicit = 0, Offset = 1, Pic = 2, PicPair = 3 };

// ---- decoded operations, the alternatives of `PlanOperation` --------------------------------

struct Delay {
  friend bool operator==(const Delay&, const Delay&) = default;
};

struct Send {
  SendEncoding encoding = SendEncoding::Explicit;
  std::uint32_t words = 0;
  std::uint32_t raw_operand = 0;
  // Absent for Pic sends, which carry no send control.
  std::optional<std::uint8_t> send_control;
  // PicPair: the XPIC control first, then the PIC control.
  IncomingControls controls;

  friend bool operator==(const Send&, const Send&) = default;
};

struct Sync {
  std::uint8_t kind = 0;
  friend bool operator==(const Sync&, const Sync&) = default;
};

struct Return {
  friend bool operator==(const Return&, const Return&) = default;
};

struct Unknown {
  std::uint32_t word = 0;
  friend bool operator==(const Unknown&, const Unknown&) = default;
};

// One decoded instruction; the alternatives are in the order Delay, IncomingControl, Send, Sync,
// Return, Unknown.
using PlanOperation = std::variant<Delay, IncomingControl, Send, Sync, Return, Unknown>;

// The structured debug form used by `render`, e.g. "IncomingControl(IncomingControl { stream:
// Pic, value: 5 })".
std::string debug_text(const PlanOperation& operation);
std::string debug_text(const IncomingControl& control);

struct DecodedPlanInstruction {
  PlanOperation operation;
  // Byte address of the instruction's first word, when decoded with a base address.
  std::optional<std::uint32_t> address;
  std::uint32_t word_index = 0;
  std::uint32_t start_cycle = 0;
  // start_cycle plus the instruction's duration.
  std::uint32_t end_cycle = 0;

  friend bool operator==(const DecodedPlanInstruction&, const DecodedPlanInstruction&) = default;
};

struct PlanProgramDiagnostic {
  std::vector<DecodedPlanInstruction> instructions;
  // End cycle of the last instruction; 0 for no words.
  std::uint32_t horizon = 0;
  // Number of input words.
  std::uint32_t word_count = 0;

  // One line per instruction: "<word+N | 0xADDRESS> cycles=START..END <operation>\n".
  std::string render() const;

  friend bool operator==(const PlanProgramDiagnostic&, const PlanProgramDiagnostic&) = default;
};

// Decodes a tile program. With `base`, every instruction gets the byte address of its first word.
Result<PlanProgramDiagnostic> diagnose_plan_program(std::span<const std::uint32_t> words,
                                                    std::optional<std::uint32_t> base);
Result<PlanProgramDiagnostic> diagnose_plan_program(const Chunked<std::uint32_t>& words,
                                                    std::optional<std::uint32_t> base);

// Checks a tile's encoded program against its schedule: the same horizon, exactly the scheduled
// incoming-control changes at their cycles, and sends that cover each placed payload without gaps
// and nothing else. `tile` only names the tile in the log. Returns the decoded program.
Result<PlanProgramDiagnostic> validate_tile_program(std::uint16_t tile, std::uint32_t horizon,
                                                    const Chunked<ScheduledSenderRow>& sender_rows,
                                                    const Chunked<ReceiveEvent>& receive_events,
                                                    std::span<const std::uint32_t> words);
Result<PlanProgramDiagnostic> validate_tile_program(std::uint16_t tile, std::uint32_t horizon,
                                                    const Chunked<ScheduledSenderRow>& sender_rows,
                                                    const Chunked<ReceiveEvent>& receive_events,
                                                    const Chunked<std::uint32_t>& words);

}  // namespace kro_exchange::diagnostic
