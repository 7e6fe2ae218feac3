#include "kro_exchange/program_records.hpp"

namespace kro_exchange {

Result<std::uint32_t> with_event_advance(std::uint32_t word, std::uint32_t cur,
                                         std::uint32_t cycle) {
  KRO_ASSERT(cycle >= cur, "event advance runs forward");
  if (cycle == cur) return schedule_error("zero event advance");
  const std::uint32_t span = cycle - cur;
  switch (words::classify(word)) {
    case words::Kind::Delay:
      if (span > words::kMaxDelayCycles) return schedule_error("delay advance overflow");
      return words::delay(span);
    case words::Kind::PicControl:
      if (span - 1 > words::kMaxPicAdvance) return schedule_error("PIC delay advance overflow");
      return words::pic_with_advance(word, span - 1);
    case words::Kind::XpicControl:
      if (span - 1 > words::kMaxXpicAdvance) return schedule_error("XPIC delay advance overflow");
      return words::xpic_with_advance(word, span - 1);
    default:
      // Sends (0x70000000 and up as a signed word) would lose payload if they were stretched.
      if (static_cast<std::int32_t>(word) >= 0x70000000)
        return schedule_error("scheduled offset truncates a send");
      return schedule_error("first scheduled event is not a delay");
  }
}

Result<PicPairControls> picpair_controls(const ReceiveEvent& a, const ReceiveEvent& b) {
  const bool a_xpic = is_xpic_kind(a.kind);
  const bool b_xpic = is_xpic_kind(b.kind);
  if (a_xpic && b_xpic) return schedule_error("SENDPICP PIC control");
  if (!a_xpic && !b_xpic) return schedule_error("SENDPICP XPIC control");
  if (a.cycle != b.cycle) return schedule_error("SENDPICP event time");
  return a_xpic ? PicPairControls{a, b} : PicPairControls{b, a};
}

}  // namespace kro_exchange
