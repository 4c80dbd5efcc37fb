// Whether a re-encode encoder's stream can be written into a container, found out before anything is written.
#pragma once

#include <string>
#include <vector>

#include "output/container.h"
#include "recording/result.h"
#include "transcode/compress_options.h"

namespace qmv {

// Sets up the encoder and the container's muxer in memory, as a conversion would, and writes the header:
// an error naming the pair when the muxer refuses the encoder's stream (HuffYUV and FFV1 in MP4, raw RGB
// in MKV), so that a run never starts only to fail on its first file.
Status checkEncoderFits(const std::string& encoder, Container container);

// The containers the encoder fits, in the container table's order.
std::vector<Container> containersFitting(const std::string& encoder);

}  // namespace qmv
