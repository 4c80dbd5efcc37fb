// CueTrack: one cue per recorded second, ended at its second's end before a pause, whether the pause is
// noticed by the next picture or earlier, by the audio's silence.
#include "convert/cue_track.h"

#include <gtest/gtest.h>

namespace qmv {
namespace {

void expectCue(const std::optional<Cue>& cue, int64_t start, int64_t end, uint16_t time) {
  ASSERT_TRUE(cue);
  EXPECT_EQ(cue->start, start);
  EXPECT_EQ(cue->end, end);
  EXPECT_EQ(cue->time, time);
}

TEST(CueTrack, ACueBeforeAPauseEndsWithItsSecondHoweverThePauseIsNoticed) {
  // Second 10 holds positions 0..2 and ends at 4; the next picture, of second 900, comes at position 100.
  CueTrack byPicture;
  EXPECT_FALSE(byPicture.sample(10, 0, 4));
  EXPECT_FALSE(byPicture.sample(10, 2, 4));
  expectCue(byPicture.sample(900, 100, 104), 0, 4, 10);

  // The silence of the pause reaches the output first: not before the second is over, then at once.
  CueTrack bySilence;
  EXPECT_FALSE(bySilence.sample(10, 0, 4));
  EXPECT_FALSE(bySilence.sample(10, 2, 4));
  EXPECT_FALSE(bySilence.closeReached(3));
  expectCue(bySilence.closeReached(100), 0, 4, 10);
  EXPECT_FALSE(bySilence.closeReached(200)) << "closed once";
  EXPECT_FALSE(bySilence.sample(900, 100, 104)) << "the picture after the pause opens a cue, closing none";
  expectCue(bySilence.close(), 100, 101, 900);

  // Without a recorded clock a cue runs up to the next one, and nothing closes it early.
  CueTrack declared;
  EXPECT_FALSE(declared.sample(10, 0));
  EXPECT_FALSE(declared.closeReached(1000));
  expectCue(declared.sample(11, 8), 0, 8, 10);
}

}  // namespace
}  // namespace qmv
