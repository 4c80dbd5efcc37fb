// SHA-256: incremental digests of byte runs and one-pass digests of files.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "recording/result.h"

namespace qmv {

using Sha256Digest = std::array<uint8_t, 32>;

// One running digest. The context is made once and reused by finish(), so hashing many small runs
// (one per video frame) costs no allocation each.
class Sha256 {
 public:
  Sha256();
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;

  // False when the library could not give a SHA-256 context; every other call then fails too.
  bool ok() const { return ok_; }
  bool update(const uint8_t* data, std::size_t size);
  // The digest of everything since construction or the last finish; starts a new digest.
  std::optional<Sha256Digest> finish();
  std::optional<Sha256Digest> digest(const uint8_t* data, std::size_t size) {
    if (!update(data, size)) return std::nullopt;
    return finish();
  }

 private:
  // The hashing library's context: OpenSSL's (sha256_openssl.cpp) or libavutil's (sha256_avutil.cpp).
  struct State;
  std::unique_ptr<State> state_;
  bool ok_ = false;
};

// 64 lower-case hex digits.
std::string toHex(const Sha256Digest& digest);
// 64 hex digits, either case; nullopt for anything else.
std::optional<Sha256Digest> digestFromHex(const std::string& text);

struct FileDigests {
  uint64_t size = 0;
  Sha256Digest whole{};
  std::optional<Sha256Digest> range;  // the digest of [rangeOffset, rangeOffset + rangeSize), when asked for
};

// Reads path once, in large blocks, for the digest of the whole file and, when rangeSize is given,
// of one byte range inside it (a recording carved from a player executable). A range that does not
// lie inside the file is an error. No byte past the size the file had when opened is read, and a file
// larger than sizeLimit is not read at all (an error that gives both sizes).
Result<FileDigests> hashFile(const std::string& path, uint64_t rangeOffset = 0,
                             std::optional<uint64_t> rangeSize = std::nullopt,
                             std::optional<uint64_t> sizeLimit = std::nullopt);

}  // namespace qmv
