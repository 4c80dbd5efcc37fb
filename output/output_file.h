// OutputFile: an output created exclusively in its folder, never through a link; FdAvio: libavformat's I/O
// over such a file's descriptor, so that no file name ever reaches FFmpeg as a URL.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "recording/result.h"

extern "C" {
#include <libavformat/version.h>
}

struct AVIOContext;

namespace qmv {

// How an output takes its name. Nothing follows a link planted at the name, and nothing writes through one.
enum class Creation {
  kNew,  // created at the name with O_CREAT|O_EXCL|O_NOFOLLOW: anything there (a dangling link too) is EEXIST
  kNewAside,  // written under a temporary name, then put at the name only if nothing is there meanwhile (and
              // refused at once, as kNew, when something is there already)
  kReplace,   // written under a temporary name, then renamed over whatever is at the name (a link itself, not
              // its target); a character device such as /dev/null is written in place
};

class OutputFile {
 public:
  // A temporary name is unpredictable, created exclusively in the same folder, and names its output
  // (".<name>.qmv2avi-XXXXXX.partial", see output_name.h), so that what a killed run leaves is found again.
  static Result<std::unique_ptr<OutputFile>> create(const std::string& path, Creation how);
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  int fd() const { return fd_; }
  const std::string& path() const { return path_; }
  // Where the bytes are until commit(): the temporary name, or path().
  const std::string& writtenPath() const { return written_; }
  // Writes the file through to the disk, closes the descriptor and puts the file at path() (a rename), so
  // that not even a power cut leaves an incomplete file under the name. Later calls do nothing.
  Status commit();
  // Closes the descriptor and removes the file, when it is a regular file this object created; true when
  // a file was removed.
  bool discard();

 private:
  OutputFile(int fd, std::string path, std::string written, bool regular, bool replace)
      : fd_(fd), path_(std::move(path)), written_(std::move(written)), regular_(regular), replace_(replace) {}
  int closeFd();

  int fd_;
  std::string path_;
  std::string written_;
  bool regular_;
  bool replace_;
  bool done_ = false;
};

// Removes the temporary files an earlier run left for the output at path (killed before it could finish
// them: see output_name.h for the names) and returns their names; a file whose name only resembles one is
// left alone.
std::vector<std::string> removeLeftTemporaries(const std::string& path);

// One line per output name that leads to an input or to an earlier output of the same run, compared by
// device and inode so that hard and symbolic links count; empty when every name is a file of its own.
// Checked before anything is written: even a replacing run never writes over a recording.
std::vector<std::string> sameFileClashes(const std::vector<std::string>& inputs,
                                         const std::vector<std::string>& outputs);

// An AVIOContext that writes, seeks and reads through a descriptor it does not own; libavformat's own
// avio_open would take the name for a URL. Freed with its buffer. A writing context hands the descriptor
// kWriteBlockBytes at a time (less only where the muxer seeks, and at the end).
class FdAvio {
 public:
  static constexpr int kWriteBlockBytes = 1 << 20;

  // writable: a context for a muxer; otherwise one that a demuxer reads from.
  static std::unique_ptr<FdAvio> create(int fd, bool writable = true);
  ~FdAvio();
  FdAvio(const FdAvio&) = delete;
  FdAvio& operator=(const FdAvio&) = delete;
  AVIOContext* get() const { return context_; }
  // Flushes the buffer; the errno-based AVERROR of the first failed write, or 0.
  int flush();
  // The writes to the file so far.
  uint64_t writes() const { return writes_; }

 private:
  explicit FdAvio(int fd) : fd_(fd) {}
  // libavformat 59 passes the bytes to write as non-const, 61 and later as const.
#if LIBAVFORMAT_VERSION_MAJOR < 61
  using WrittenBytes = uint8_t*;
#else
  using WrittenBytes = const uint8_t*;
#endif
  static int write(void* opaque, WrittenBytes data, int size);
  static int read(void* opaque, uint8_t* data, int size);
  static int64_t seek(void* opaque, int64_t offset, int whence);

  int fd_;
  int64_t position_ = 0;
  uint64_t writes_ = 0;
  AVIOContext* context_ = nullptr;
};

// The write system calls every writing FdAvio of the process made so far: a test holds them against the
// bytes written to see that outputs go out in large blocks.
uint64_t mediaWriteCalls();

}  // namespace qmv
