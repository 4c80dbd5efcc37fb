// The container table.
#include "output/container.h"

#include <algorithm>
#include <cctype>

namespace qmv {

namespace {

constexpr ContainerTraits kContainers[] = {
    {Container::kAvi, "avi", ".avi", "AVI", "avi", "avi", true, false, false},
    {Container::kMkv, "mkv", ".mkv", "MKV", "matroska", "matroska", false, true, false},
    {Container::kMp4, "mp4", ".mp4", "MP4", "mp4", "mov", false, true, true},
};

}  // namespace

std::span<const ContainerTraits> allContainers() { return kContainers; }

const ContainerTraits& traitsOf(Container container) {
  const auto index = std::size_t(container);
  return kContainers[index < std::size(kContainers) ? index : 0];
}

std::optional<Container> containerNamed(std::string_view name) {
  for (const ContainerTraits& traits : kContainers)
    if (name == traits.name) return traits.container;
  return std::nullopt;
}

Container containerOfName(const std::string& path) {
  std::string tail = path.size() >= 4 ? path.substr(path.size() - 4) : path;
  std::transform(tail.begin(), tail.end(), tail.begin(),
                 [](unsigned char ch) { return char(std::tolower(ch)); });
  for (const ContainerTraits& traits : kContainers)
    if (tail == traits.extension) return traits.container;
  return Container::kAvi;
}

}  // namespace qmv
