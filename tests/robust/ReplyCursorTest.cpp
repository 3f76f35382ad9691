// The reply cursor's sticky overflow: after the first field that does not fit,
// every later read fails, leaves its destination alone and the end stays the first one's.
#include <gtest/gtest.h>

#include "units/common/ReplyCursor.h"

namespace {

struct CursorRow {
  int length;        // bytes offered of the eight below
  int pos;           // position after the run of reads
  bool ok;           // cursor still good
  int overflowEnd;   // end of the first field that did not fit
  unsigned char b;   // the byte read after the 4-byte value (0xEE: kept)
};

TEST(ReplyCursor, OverflowIsStickyOverARunOfReads) {
  const unsigned char data[] = {1, 2, 3, 4, 5, 6, 7, 8};
  const CursorRow rows[] = {
      {8, 6, true, 0, 6},   // 1 + 4 + 1 bytes all there
      {6, 6, true, 0, 6},   // exactly enough
      {5, 5, false, 6, 0xEE},  // the last byte is missing
      {3, 1, false, 5, 0xEE},  // the value does not fit: the byte after it is not read either
      {0, 0, false, 1, 0xEE},
      {-4, 0, false, 1, 0xEE},  // a negative length is no bytes
  };
  for (const CursorRow& row : rows) {
    SCOPED_TRACE(row.length);
    units::ReplyCursor in(data, row.length);
    unsigned char a = 0xEE, b = 0xEE, value[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    in.Read(a);
    in.CopyTo(value, 4);
    in.Read(b);
    EXPECT_EQ(in.pos(), row.pos);
    EXPECT_EQ(in.ok(), row.ok);
    EXPECT_EQ(in.overflowEnd(), row.overflowEnd);
    EXPECT_EQ(b, row.b);
    EXPECT_EQ(value[0], row.length >= 5 ? 2 : 0xEE);
    EXPECT_EQ(in.Take(0) != nullptr, row.ok);  // even an empty field fails once overflowed
  }
}

}  // namespace
