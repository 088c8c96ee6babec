// windowWalkTest.cpp -- the window walk: which rows each visit sees, and where errors stop it
#include "engine/windowWalk.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

// Row r fills its buffer with r + 1 (never 0, so an unfetched slot shows);
// the fetch of row failAt fails with -39.
struct NumberedRows {
  int32_t failAt;
  std::vector<int32_t> fetched;
  OSErr fetch(int32_t row, uint8_t* buffer) {
    fetched.push_back(row);
    for (int32_t x = 0; x < 4; ++x) buffer[x] = uint8_t(row + 1);
    return row == failAt ? -39 : noErr;
  }
  uint8_t* levels(uint8_t* buffer) { return buffer; }
};

OSErr walk(int32_t rowCount, int32_t radius, NumberedRows* source, std::vector<int32_t>* visited) {
  WindowRows<Depth8> rows;
  if (allocateWindowRows(4, 4, &rows) != noErr) return memFullErr;
  const OSErr err = walkWindow<Depth8>(
      &rows, 4, rowCount, radius, source, nullptr, [&](int32_t i, uint8_t** window, uint8_t**) {
        visited->push_back(i);
        for (int32_t slot = 0; slot < kWindowSlots; ++slot) {
          const int32_t row = i - kCentreSlot + slot;
          const int32_t held = row < 0 ? 0 : row >= rowCount ? rowCount - 1 : row;
          EXPECT_EQ(window[slot][3], held + 1) << "row " << i << " slot " << slot;
        }
        return i == 5 ? OSErr(-36) : noErr;
      });
  releaseWindowRows(&rows);
  return err;
}

}  // namespace

TEST(WindowWalk, EveryVisitSeesItsRowsWithTheEdgesReplicated) {
  for (int32_t rowCount : {1, 2, 5, 8, 15}) {
    for (int32_t radius : {kMinRadius, kMaxRadius}) {
      NumberedRows source{-1, {}};
      std::vector<int32_t> visited;
      EXPECT_EQ(walk(rowCount, radius, &source, &visited), rowCount > 5 ? -36 : noErr);
      EXPECT_EQ(int32_t(visited.size()), rowCount > 5 ? 6 : rowCount);
    }
  }
}

TEST(WindowWalk, AFailedFetchStopsTheWalkWithItsCode) {
  for (int32_t failAt : {0, 3, 9}) {
    NumberedRows source{failAt, {}};
    std::vector<int32_t> visited;
    EXPECT_EQ(walk(12, kMaxRadius, &source, &visited), -39);
    EXPECT_EQ(source.fetched.back(), failAt);
    // rows up to 7 are fetched before the first visit; row 7 + i before visit i
    EXPECT_EQ(int32_t(visited.size()), failAt < 7 ? 0 : failAt - 7);
  }
}
