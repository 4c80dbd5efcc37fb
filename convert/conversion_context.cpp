// ConversionContext: the pass-through four-character codes and the wording of a message's context.
#include "convert/conversion_context.h"

#include <fmt/format.h>

#include <iterator>

namespace qmv {

uint32_t fourccOf(PassThroughFourcc code) {
  return code == PassThroughFourcc::kDivx ? makeFourcc('D', 'I', 'V', 'X') : makeFourcc('X', 'V', 'I', 'D');
}

namespace {

struct ContainerNames {
  const char* extension;
  const char* title;
  const char* muxer;
};
// In Container's order.
constexpr ContainerNames kContainerNames[] = {
    {".avi", "AVI", "avi"},
    {".mkv", "MKV", "matroska"},
    {".mp4", "MP4", "mp4"},
};
const ContainerNames& namesOf(Container container) {
  const auto index = std::size_t(container);
  return kContainerNames[index < std::size(kContainerNames) ? index : 0];
}

}  // namespace

const char* containerExtension(Container container) { return namesOf(container).extension; }
const char* containerName(Container container) { return namesOf(container).extension + 1; }
const char* containerTitle(Container container) { return namesOf(container).title; }
const char* muxerName(Container container) { return namesOf(container).muxer; }

std::string withContext(std::string_view file, int channel, std::string_view text) {
  std::string out;
  if (!file.empty()) out = fmt::format("{}: ", file);
  if (channel >= 0) out += fmt::format("CH-{:02d}: ", channel + 1);
  out += text;
  return out;
}

}  // namespace qmv
