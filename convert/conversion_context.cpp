// ConversionContext: the pass-through four-character codes and the wording of a message's context.
#include "convert/conversion_context.h"

#include <fmt/format.h>

namespace qmv {

uint32_t fourccOf(PassThroughFourcc code) {
  return code == PassThroughFourcc::kDivx ? makeFourcc('D', 'I', 'V', 'X') : makeFourcc('X', 'V', 'I', 'D');
}

std::string withContext(std::string_view file, int channel, std::string_view text) {
  std::string out;
  if (!file.empty()) out = fmt::format("{}: ", file);
  if (channel >= 0) out += fmt::format("CH-{:02d}: ", channel + 1);
  out += text;
  return out;
}

}  // namespace qmv
