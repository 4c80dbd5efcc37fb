// SHA-256 digests in hex, and one-pass digests of files; the hashing itself is sha256_openssl.cpp's
// or sha256_avutil.cpp's.
#include "report/sha256.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "recording/file_descriptor.h"
#include "recording/hex_text.h"

namespace qmv {
namespace {

// Large enough that the per-call cost vanishes against the hashing, small enough to stay in cache.
constexpr std::size_t kReadBlock = std::size_t(1) << 20;

Error fileError(const std::string& path, const char* what, int code) {
  return Error{code, path + ": " + what + ": " + std::strerror(code)};
}

}  // namespace

std::string toHex(const Sha256Digest& digest) { return hexText(digest); }

std::optional<Sha256Digest> digestFromHex(const std::string& text) {
  Sha256Digest digest{};
  if (text.size() != digest.size() * 2) return std::nullopt;
  auto nibble = [](char ch) -> int {
    if (ch >= '0' && ch <= '9') return ch - '0';
    if (ch >= 'a' && ch <= 'f') return ch - 'a' + 10;
    if (ch >= 'A' && ch <= 'F') return ch - 'A' + 10;
    return -1;
  };
  for (std::size_t i = 0; i < digest.size(); ++i) {
    const int high = nibble(text[2 * i]), low = nibble(text[2 * i + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    digest[i] = uint8_t(high << 4 | low);
  }
  return digest;
}

Result<FileDigests> hashFile(const std::string& path, uint64_t rangeOffset, std::optional<uint64_t> rangeSize,
                             std::optional<uint64_t> sizeLimit) {
  uint64_t expected = 0;
  auto opened = openRegularFile(path, expected);
  if (!opened) return opened.error();
  const FileDescriptor& fd = *opened.value();
  if (sizeLimit && expected > *sizeLimit) {
    return Error{EFBIG, "size " + std::to_string(expected) + ", report " + std::to_string(*sizeLimit) +
                            "; not read past the size the report states"};
  }
  if (rangeSize && (rangeOffset > expected || *rangeSize > expected - rangeOffset)) {
    return Error{EINVAL, path + ": the range to hash runs past the file's end"};
  }
  adviseSequential(fd.get());

  Sha256 whole, range;
  if (!whole.ok() || !range.ok()) return Error{ENOMEM, "no SHA-256 digest can be made"};
  const uint64_t rangeEnd = rangeSize ? rangeOffset + *rangeSize : 0;
  std::vector<uint8_t> block(kReadBlock);
  uint64_t at = 0;
  // Never past the size the file had when opened: a file that grows, or a kernel file that claims to be
  // empty and never ends, is not read on and on.
  while (at < expected) {
    const std::size_t want = std::size_t(std::min<uint64_t>(block.size(), expected - at));
    const Transfer got = readFully(fd.get(), block.data(), want, at);
    if (got.error != 0) return fileError(path, "cannot read", got.error);
    if (got.bytes == 0) break;
    const uint64_t end = at + uint64_t(got.bytes);
    whole.update(block.data(), got.bytes);
    if (rangeSize && end > rangeOffset && at < rangeEnd) {
      const uint64_t from = std::max(at, rangeOffset), to = std::min(end, rangeEnd);
      range.update(block.data() + (from - at), std::size_t(to - from));
    }
    at = end;
  }
  // A file that shrank while it was read has no single digest.
  if (at != expected) return Error{EIO, path + ": its size changed while it was read"};

  FileDigests digests;
  digests.size = at;
  const std::optional<Sha256Digest> wholeDigest = whole.finish();
  if (!wholeDigest) return Error{EIO, "a SHA-256 digest failed"};
  digests.whole = *wholeDigest;
  if (rangeSize) {
    digests.range = range.finish();
    if (!digests.range) return Error{EIO, "a SHA-256 digest failed"};
  }
  return digests;
}

}  // namespace qmv
