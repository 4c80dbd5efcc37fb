// The recorder's local time moved to UTC by a stated offset, and the offset's spelling.
#include "convert/recorded_time.h"

#include <gtest/gtest.h>

namespace qmv {
namespace {

struct UtcCase {
  RecordedTime local;
  const char* offset;
  RecordedTime utc;
};

TEST(RecordedTimeUtc, MovesByTheOffsetAcrossDaysMonthsAndYears) {
  const UtcCase cases[] = {
      {{2007, 6, 15, 13, 10, 0}, "+02:00", {2007, 6, 15, 11, 10, 0}},
      {{2007, 6, 15, 13, 10, 0}, "-05:30", {2007, 6, 15, 18, 40, 0}},
      {{2007, 6, 15, 13, 10, 0}, "+00:00", {2007, 6, 15, 13, 10, 0}},
      {{2008, 1, 1, 0, 30, 5}, "+01:00", {2007, 12, 31, 23, 30, 5}},     // back into the old year
      {{2008, 2, 28, 23, 0, 0}, "-02:00", {2008, 2, 29, 1, 0, 0}},       // a leap day
      {{2007, 12, 31, 23, 59, 59}, "-14:00", {2008, 1, 1, 13, 59, 59}},  // on into the new year
  };
  for (const UtcCase& c : cases) {
    const auto minutes = parseUtcOffset(c.offset);
    ASSERT_TRUE(minutes) << c.offset;
    EXPECT_EQ(formatUtcOffset(*minutes), c.offset);
    EXPECT_EQ(formatRecordedTime(toUtc(c.local, *minutes)), formatRecordedTime(c.utc))
        << formatRecordedTime(c.local) << " " << c.offset;
  }
}

TEST(RecordedTimeUtc, OffsetsOnlyAsSignedHoursAndMinutesWithinTheZones) {
  EXPECT_EQ(parseUtcOffset("+14:00"), 14 * 60);
  EXPECT_EQ(parseUtcOffset("-12:00"), -12 * 60);
  EXPECT_EQ(parseUtcOffset("+05:45"), 5 * 60 + 45);
  for (const char* bad : {"", "+2", "02:00", "+2:00", "+02:60", "+14:01", "UTC+02:00", "+02:00 ", "+0a:00"})
    EXPECT_FALSE(parseUtcOffset(bad)) << bad;
}

}  // namespace
}  // namespace qmv
