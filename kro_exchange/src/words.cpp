#include "kro_exchange/words.hpp"

namespace kro_exchange {

std::vector<words::Word> normalized_exchange_address_words(std::span<const words::Word> program) {
  using namespace words;
  std::vector<Word> out(program.begin(), program.end());
  for (std::size_t i = 0; i < out.size(); ++i) {
    const Word w = out[i];
    switch (classify(w)) {
      case Kind::PicPairSend:
        if (send_control(w) != 0) out[i] = w & 0xffe00007;
        if ((w & (1u << 27)) == 0 && i + 1 < out.size()) out[i + 1] &= ~kPicPointerMask;
        ++i;  // the second word belongs to the pair
        break;
      case Kind::ExplicitSend:
        out[i] = w & 0x7fe00007;
        break;
      case Kind::PicControl:
        if ((w & kPicFormatBit) == 0) out[i] = w & ~kPicPointerMask;
        break;
      case Kind::PicSend:
        if (pic_send_selects_pic(w) && (w & kPicFormatBit) == 0) out[i] = w & ~kPicPointerMask;
        break;
      default:
        break;
    }
  }
  return out;
}

}  // namespace kro_exchange
