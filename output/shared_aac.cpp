// SharedAacEncoder and AacEncoderPool: each audio input encoded to AAC once, its packets handed to every
// output that takes it.
#include "output/shared_aac.h"

#include <algorithm>

namespace qmv {
namespace {

constexpr uint64_t kHashStart = 0xcbf29ce484222325;  // FNV-1a, over 16-bit samples
constexpr uint64_t kHashPrime = 0x100000001b3;

uint64_t hashSamples(uint64_t hash, const int16_t* samples, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) hash = (hash ^ uint16_t(samples[i])) * kHashPrime;
  return hash;
}

Error departed() {
  return Error{
      AVERROR(EINVAL),
      "AAC audio: the samples differ from those the other outputs of the same audio input had there"};
}

}  // namespace

Result<std::shared_ptr<SharedAacEncoder>> SharedAacEncoder::open(bool globalHeader) {
  auto encoder = AacEncoder::open(globalHeader);
  if (!encoder) return encoder.error();
  std::shared_ptr<SharedAacEncoder> shared(new SharedAacEncoder(std::move(encoder.value()), globalHeader));
  shared->hash_ = kHashStart;
  shared->copy_.reset(av_packet_alloc());
  if (!shared->copy_) return Error{AVERROR(ENOMEM), "out of memory for the AAC encoder"};
  return shared;
}

int SharedAacEncoder::join() {
  members_.push_back(Member{0, kHashStart, firstPacket_, true});
  return int(members_.size() - 1);
}

Status SharedAacEncoder::fillParameters(AVCodecParameters& parameters) const {
  return encoder_->fillParameters(parameters);
}

Status SharedAacEncoder::write(int member, const int16_t* samples, std::size_t count,
                               const PacketSink& sink) {
  Member& m = members_.at(std::size_t(member));
  if (failure_) return *failure_;
  if (!m.active) return departed();
  if (m.position < fed_) {
    const std::size_t behind = std::size_t(std::min<int64_t>(int64_t(count), fed_ - m.position));
    if (Status st = follow(m, samples, behind); !st) return st;
    samples += behind;
    count -= behind;
  }
  if (count > 0) {
    if (m.hash != hash_) {
      m.active = false;
      return departed();
    }
    if (Status st = keep(encoder_->write(samples, count, [this](AVPacket& pkt) { store(pkt); })); !st)
      return st;
    hash_ = m.hash = hashSamples(hash_, samples, count);
    fed_ = m.position = fed_ + int64_t(count);
    checkpoints_.push_back(Checkpoint{fed_, hash_});
  }
  const Status delivered = deliver(m, sink);
  prune();
  return delivered;
}

Status SharedAacEncoder::flush(int member, const PacketSink& sink) {
  Member& m = members_.at(std::size_t(member));
  if (failure_) return *failure_;
  if (!m.active || m.position != fed_ || m.hash != hash_) {
    m.active = false;
    return departed();
  }
  if (!flushed_) {
    flushed_ = true;
    if (Status st = keep(encoder_->flush([this](AVPacket& pkt) { store(pkt); })); !st) return st;
  }
  const Status delivered = deliver(m, sink);
  m.active = false;
  prune();
  return delivered;
}

void SharedAacEncoder::leave(int member) {
  members_.at(std::size_t(member)).active = false;
  prune();
}

// A member behind the encoder: its samples must hash as the encoded ones did wherever a write ended there.
Status SharedAacEncoder::follow(Member& m, const int16_t* samples, std::size_t count) {
  m.hash = hashSamples(m.hash, samples, count);
  m.position += int64_t(count);
  const auto at =
      std::lower_bound(checkpoints_.begin(), checkpoints_.end(), m.position,
                       [](const Checkpoint& c, int64_t position) { return c.position < position; });
  if (at != checkpoints_.end() && at->position == m.position && at->hash != m.hash) {
    m.active = false;
    return departed();
  }
  return okStatus();
}

Status SharedAacEncoder::keep(const Status& encoded) {
  if (!encoded) failure_ = encoded.error();
  return encoded;
}

void SharedAacEncoder::store(AVPacket& pkt) {
  ff::Packet kept(av_packet_alloc());
  if (!kept) {
    if (!failure_) failure_ = Error{AVERROR(ENOMEM), "out of memory for the AAC packets"};
    return;
  }
  av_packet_move_ref(kept.get(), &pkt);
  packets_.push_back(std::move(kept));
}

Status SharedAacEncoder::deliver(Member& m, const PacketSink& sink) {
  if (failure_) return *failure_;
  for (; m.nextPacket < firstPacket_ + packets_.size(); ++m.nextPacket) {
    // Each member gets its own reference: the muxer takes the packet it is given.
    if (av_packet_ref(copy_.get(), packets_[std::size_t(m.nextPacket - firstPacket_)].get()) < 0)
      return Error{AVERROR(ENOMEM), "out of memory for the AAC packets"};
    sink(*copy_);
    av_packet_unref(copy_.get());
  }
  return okStatus();
}

void SharedAacEncoder::prune() {
  int64_t position = fed_;
  uint64_t packet = firstPacket_ + packets_.size();
  for (const Member& m : members_) {
    if (!m.active) continue;
    position = std::min(position, m.position);
    packet = std::min(packet, m.nextPacket);
  }
  while (!checkpoints_.empty() && checkpoints_.front().position < position) checkpoints_.pop_front();
  for (; firstPacket_ < packet; ++firstPacket_) packets_.pop_front();
}

Result<std::unique_ptr<AacMembership>> AacEncoderPool::join(int audioInput, bool globalHeader) {
  std::weak_ptr<SharedAacEncoder>& latest = latest_[audioInput];
  std::shared_ptr<SharedAacEncoder> encoder = latest.lock();
  if (!encoder || !encoder->joinable() || encoder->globalHeader() != globalHeader) {
    auto opened = SharedAacEncoder::open(globalHeader);
    if (!opened) return opened.error();
    encoder = std::move(opened.value());
    latest = encoder;
  }
  const int member = encoder->join();
  return std::make_unique<AacMembership>(std::move(encoder), member);
}

}  // namespace qmv
