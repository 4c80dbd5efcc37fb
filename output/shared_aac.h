// SharedAacEncoder: one AAC encoding taken by every output whose audio is the same sample for sample (the
// channels of one audio input); AacEncoderPool: the encodings of one conversion, by audio input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "output/media_streams.h"
#include "recording/result.h"
#include "transcode/ffmpeg_handles.h"

namespace qmv {

// Each member writes its whole audio, as if it had the encoder to itself. The first member to reach a
// position encodes the samples there; a member behind it takes the packets made meanwhile, so every
// member gets the packets its own encoder would have made, and the input is encoded once. Members must
// write the same samples: a member that departs from what was encoded gets an error, never other audio.
// Used from one thread.
class SharedAacEncoder {
 public:
  using PacketSink = AacEncoder::PacketSink;
  static Result<std::shared_ptr<SharedAacEncoder>> open(bool globalHeader);
  SharedAacEncoder(const SharedAacEncoder&) = delete;
  SharedAacEncoder& operator=(const SharedAacEncoder&) = delete;

  bool globalHeader() const { return globalHeader_; }
  // Members join only while nothing was written: they all start at the same sample.
  bool joinable() const { return fed_ == 0 && !flushed_; }
  int join();
  Status fillParameters(AVCodecParameters& parameters) const;
  Status write(int member, const int16_t* samples, std::size_t count, const PacketSink& sink);
  // The member's last packets; the first member to end drains the encoder. Every member must end where
  // the first one did.
  Status flush(int member, const PacketSink& sink);
  // The member takes nothing more; packets are no longer kept for it.
  void leave(int member);

 private:
  struct Member {
    int64_t position = 0;     // samples written
    uint64_t hash = 0;        // of those samples
    uint64_t nextPacket = 0;  // among all packets made
    bool active = true;
  };
  // The hash of the samples written up to a position, at the end of each write that encoded.
  struct Checkpoint {
    int64_t position = 0;
    uint64_t hash = 0;
  };

  explicit SharedAacEncoder(std::unique_ptr<AacEncoder> encoder, bool globalHeader)
      : encoder_(std::move(encoder)), globalHeader_(globalHeader) {}
  Status follow(Member& m, const int16_t* samples, std::size_t count);
  Status keep(const Status& encoded);  // remembers a failure for every member
  void store(AVPacket& pkt);
  Status deliver(Member& m, const PacketSink& sink);
  void prune();

  std::unique_ptr<AacEncoder> encoder_;
  bool globalHeader_;
  std::vector<Member> members_;
  int64_t fed_ = 0;    // samples encoded
  uint64_t hash_ = 0;  // of the samples encoded
  std::deque<Checkpoint> checkpoints_;
  std::deque<ff::Packet> packets_;  // packets some active member has yet to take
  uint64_t firstPacket_ = 0;        // the number of packets_.front() among all made
  ff::Packet copy_;                 // each member's reference to a kept packet, for one sink call
  bool flushed_ = false;
  std::optional<Error> failure_;
};

// One output's place in a shared encoding; it leaves when destroyed.
class AacMembership {
 public:
  AacMembership(std::shared_ptr<SharedAacEncoder> encoder, int member)
      : encoder_(std::move(encoder)), member_(member) {}
  ~AacMembership() { encoder_->leave(member_); }
  AacMembership(const AacMembership&) = delete;
  AacMembership& operator=(const AacMembership&) = delete;

  Status fillParameters(AVCodecParameters& parameters) const { return encoder_->fillParameters(parameters); }
  Status write(const int16_t* samples, std::size_t count, const SharedAacEncoder::PacketSink& sink) {
    return encoder_->write(member_, samples, count, sink);
  }
  Status flush(const SharedAacEncoder::PacketSink& sink) { return encoder_->flush(member_, sink); }

 private:
  std::shared_ptr<SharedAacEncoder> encoder_;
  int member_;
};

// The encodings of one conversion: an output joins the encoding of its audio input while nothing has been
// written to it, and starts a new one otherwise (an output opened after its input's audio began hears a
// later part of it).
class AacEncoderPool {
 public:
  Result<std::unique_ptr<AacMembership>> join(int audioInput, bool globalHeader);

 private:
  std::map<int, std::weak_ptr<SharedAacEncoder>> latest_;
};

}  // namespace qmv
