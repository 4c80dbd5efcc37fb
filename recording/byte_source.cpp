// ByteSource implementations: a file read at 64-bit positions (and mapped for view()) and bytes in memory.
#include "recording/byte_source.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "recording/file_descriptor.h"
#include "recording/file_mapping.h"

namespace qmv {
namespace {

class FileSource final : public ByteSource {
 public:
  FileSource(std::unique_ptr<FileDescriptor> fd, uint64_t size, std::string name)
      : fd_(std::move(fd)), size_(size), name_(std::move(name)) {}

  uint64_t size() const override { return size_; }
  const std::string& name() const override { return name_; }

  const uint8_t* view() override {
    if (mapping_ == nullptr && !mapFailed_) {
      mapping_ = mapFile(fd_->get(), size_);
      mapFailed_ = mapping_ == nullptr;
    }
    return mapping_ ? mapping_->data() : nullptr;
  }

  bool copyFromView(uint64_t offset, void* destination, std::size_t count) override {
    const uint8_t* mapped = view();
    if (mapped == nullptr || offset > size_ || count > size_ - offset) return false;
    return mapping_->copy(mapped + offset, destination, count);
  }

  Result<uint64_t> currentSize() override {
    const Result<DescriptorFacts> facts = describeDescriptor(fd_->get());
    if (!facts)
      return Error{facts.error().code, "cannot read the size of " + name_ + ": " + facts.error().message};
    return facts.value().size;
  }

  std::size_t readAt(uint64_t offset, void* destination, std::size_t count) override {
    if (offset >= size_) return 0;
    count = std::size_t(std::min<uint64_t>(count, size_ - offset));
    return readFully(fd_->get(), destination, count, offset).bytes;
  }

 private:
  std::unique_ptr<FileDescriptor> fd_;
  uint64_t size_;
  std::string name_;
  std::unique_ptr<FileMapping> mapping_;  // declared after fd_: unmapped before the file is closed
  bool mapFailed_ = false;
};

}  // namespace

bool ByteSource::copyFromView(uint64_t offset, void* destination, std::size_t count) {
  const uint8_t* mapped = view();
  if (mapped == nullptr || offset > size() || count > size() - offset) return false;
  std::memcpy(destination, mapped + offset, count);
  return true;
}

namespace {

class MemorySource final : public ByteSource {
 public:
  MemorySource(std::vector<uint8_t> bytes, std::string name)
      : bytes_(std::move(bytes)), name_(std::move(name)) {}

  uint64_t size() const override { return bytes_.size(); }
  const std::string& name() const override { return name_; }
  const uint8_t* view() override { return bytes_.data(); }

  std::size_t readAt(uint64_t offset, void* destination, std::size_t count) override {
    if (offset >= bytes_.size()) return 0;
    count = std::size_t(std::min<uint64_t>(count, bytes_.size() - offset));
    if (count > 0) std::memcpy(destination, bytes_.data() + offset, count);
    return count;
  }

 private:
  std::vector<uint8_t> bytes_;
  std::string name_;
};

}  // namespace

Result<std::unique_ptr<ByteSource>> openFileSource(const std::string& path) {
  // Read-only: a recording is never modified, and the descriptor does not leak into children.
  uint64_t size = 0;
  auto fd = openRegularFile(path, size);
  if (!fd) return fd.error();
  return std::unique_ptr<ByteSource>(std::make_unique<FileSource>(std::move(fd).value(), size, path));
}

std::unique_ptr<ByteSource> makeMemorySource(std::vector<uint8_t> bytes, std::string name) {
  return std::make_unique<MemorySource>(std::move(bytes), std::move(name));
}

}  // namespace qmv
