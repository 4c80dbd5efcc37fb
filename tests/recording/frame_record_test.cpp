// Record heads and stream words read as the recording stores them.
#include "recording/frame_record.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <vector>

namespace qmv {
namespace {

TEST(FrameRecord, HeadFieldsAtTheirOffsetsWordCountBigEndian) {
  const uint8_t record[] = {0x03, 0x01, 0x01, 0x02, 10, 11, 12, 13, 14, 15, 0x04, 0x02, 0xAA};
  const FrameHeader head = readFrameHead(record, sizeof record);
  EXPECT_EQ(head.source, 3);
  EXPECT_EQ(head.frameType, 1);
  EXPECT_EQ(head.wordCount, 0x0102);
  EXPECT_EQ(std::vector<uint8_t>(head.unused, head.unused + 6),
            (std::vector<uint8_t>{10, 11, 12, 13, 14, 15}));
  EXPECT_EQ(head.formatCode, 4);
  EXPECT_EQ(head.padWords, 2);
  EXPECT_EQ(head.payload, nullptr);
}

TEST(FrameRecord, ShortRecordReadsZerosBeyondItsEnd) {
  const uint8_t record[] = {0x05, 0x02, 0x00, 0x07, 0x99, 0x99, 0x99, 0x99, 0x99, 0x99, 0x04, 0x01};
  const FrameHeader head = readFrameHead(record, 3);  // cut inside the word count
  EXPECT_EQ(head.source, 5);
  EXPECT_EQ(head.frameType, 2);
  EXPECT_EQ(head.wordCount, 0);
  EXPECT_EQ(head.formatCode, 0);
  EXPECT_EQ(head.padWords, 0);
}

TEST(FrameRecord, StreamWordsReversedWithinEachWordOnly) {
  // Three words: the copy goes two words at a time, and an odd count ends with a single one.
  const uint8_t stored[] = {0xB6, 0x01, 0x00, 0x00, 4, 3, 2, 1, 8, 7, 6, 5, 0xEE};
  uint8_t out[13];
  std::fill(std::begin(out), std::end(out), 0x55);
  copyStreamWords(stored, 3, out);
  EXPECT_EQ(std::vector<uint8_t>(out, out + 13),
            (std::vector<uint8_t>{0x00, 0x00, 0x01, 0xB6, 1, 2, 3, 4, 5, 6, 7, 8,
                                  0x55}));  // the last byte untouched
  copyStreamWords(stored, 0, out + 12);
  EXPECT_EQ(out[12], 0x55);
}

}  // namespace
}  // namespace qmv
