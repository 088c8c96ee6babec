// rowStoreTest.cpp -- store files, their layout, and span clipping at row and file ends
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "core/hostErrors.h"
#include "core/memory.h"
#include "store/rowBatch.h"
#include "store/rowStore.h"
#include "storeTestSupport.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#endif

namespace {

class RowStoreTest : public StoreDirectoryTest {
 protected:
  void TearDown() override {
    disposeColourStore(colour_);
    disposeExtraStore(extra_);
    disposeMaskStore(mask_);
    setAllocationBudget(-1);
    StoreDirectoryTest::TearDown();
  }

  // The whole store file, read through the store's own handle: while a store
  // holds its file, nobody else may open it.
  static std::vector<uint8_t> storeFile(RowStore* store) {
    std::vector<uint8_t> bytes(1 << 20, 0xEE);
    int32_t count = int32_t(bytes.size());
    EXPECT_EQ(fileSetPosition(store->fileHandle, kPositionFromStart, 0), noErr);
    EXPECT_EQ(fileRead(store->fileHandle, &count, bytes.data()), noErr);
    bytes.resize(size_t(count));
    return bytes;
  }

  static bool allZeroFrom(const std::vector<uint8_t>& bytes, size_t from) {
    for (size_t i = from; i < bytes.size(); ++i)
      if (bytes[i] != 0) return false;
    return true;
  }

  RowStore* colour_ = nullptr;
  RowStore* extra_ = nullptr;
  RowStore* mask_ = nullptr;
};

std::vector<uint8_t> patternOf(size_t size, int seed) {
  std::vector<uint8_t> bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = uint8_t(i * 7 + seed) | 1;
  return bytes;
}

TEST_F(RowStoreTest, NewStoreIsHeaderAndZeroRows) {
  ASSERT_EQ(createColourStore(100, 10, 3, &colour_), noErr);
  EXPECT_EQ(colour_->rowBytes, 300);
  std::vector<uint8_t> file = storeFile(colour_);
  ASSERT_EQ(file.size(), 3006u);
  EXPECT_EQ(std::vector<uint8_t>(file.begin(), file.begin() + 6),
            (std::vector<uint8_t>{0x03, 0x00, 0x64, 0x00, 0x0A, 0x00}));
  EXPECT_TRUE(allZeroFrom(file, 6));

  disposeColourStore(colour_);
  colour_ = nullptr;
  EXPECT_FALSE(exists(kColourStoreName));
}

TEST_F(RowStoreTest, SpansRoundTripAndClipAtTheRowEnd) {
  ASSERT_EQ(createColourStore(100, 10, 3, &colour_), noErr);
  std::vector<uint8_t> row = patternOf(300, 1);
  EXPECT_EQ(writeStoreRow(colour_, 0, 9, 300, row.data()), noErr);
  std::vector<uint8_t> back(300, 0);
  EXPECT_EQ(readStoreRow(colour_, 0, 9, 300, back.data()), noErr);
  EXPECT_EQ(back, row);

  // Offset 200, count 300: only the 100 bytes up to the row's end move.
  std::vector<uint8_t> span = patternOf(300, 2);
  EXPECT_EQ(writeStoreRow(colour_, 200, 4, 300, span.data()), noErr);
  std::vector<uint8_t> file = storeFile(colour_);
  ASSERT_EQ(file.size(), 3006u);
  size_t rowStart = 6 + 4 * 300;
  EXPECT_TRUE(std::equal(span.begin(), span.begin() + 100, file.begin() + rowStart + 200));
  EXPECT_EQ(file[rowStart + 300], 0);  // row 5 untouched
  std::vector<uint8_t> clipped(300, 0xEE);
  EXPECT_EQ(readStoreRow(colour_, 200, 4, 300, clipped.data()), noErr);
  EXPECT_TRUE(std::equal(span.begin(), span.begin() + 100, clipped.begin()));
  EXPECT_EQ(clipped[100], 0xEE);
}

// Rows written behind go out in order of arrival, a row out of sequence
// sending the waiting ones first; rows read ahead stop at the store's end.
TEST_F(RowStoreTest, BatchesWriteRowsOutOfSequenceAndReadAheadToTheEnd) {
  ASSERT_EQ(createColourStore(100, 10, 3, &colour_), noErr);
  RowBatch batch;
  ASSERT_EQ(openRowBatch(colour_, 10, 300, 4, &batch), noErr);
  for (int32_t row : {2, 3, 7, 0, 1, 4, 5, 6, 8, 9}) {
    EXPECT_EQ(writeBatchedRow(&batch, row, patternOf(300, row + 1).data()), noErr);
  }
  EXPECT_EQ(flushRowBatch(&batch), noErr);
  std::vector<uint8_t> file = storeFile(colour_);
  for (int32_t row = 0; row < 10; ++row) {
    EXPECT_TRUE(std::equal(file.begin() + 6 + row * 300, file.begin() + 6 + (row + 1) * 300,
                           patternOf(300, row + 1).begin()))
        << row;
  }
  std::vector<uint8_t> back(300);
  for (int32_t row : {8, 9, 0, 5}) {
    EXPECT_EQ(readBatchedRow(&batch, row, back.data()), noErr);
    EXPECT_EQ(back, patternOf(300, row + 1)) << row;
  }
  closeRowBatch(&batch);
  // Without its block a batch moves rows one at a time.
  setAllocationBudget(0);
  EXPECT_EQ(openRowBatch(colour_, 10, 300, 4, &batch), memFullErr);
  setAllocationBudget(-1);
  EXPECT_EQ(writeBatchedRow(&batch, 3, patternOf(300, 9).data()), noErr);
  EXPECT_EQ(readBatchedRow(&batch, 3, back.data()), noErr);
  EXPECT_EQ(back, patternOf(300, 9));
  closeRowBatch(&batch);
}

TEST_F(RowStoreTest, SpansOutsideTheStoreMoveNothing) {
  ASSERT_EQ(createColourStore(100, 10, 3, &colour_), noErr);
  std::vector<uint8_t> data = patternOf(300, 3);
  EXPECT_EQ(writeStoreRow(colour_, 0, -1, 300, data.data()), noErr);
  EXPECT_EQ(writeStoreRow(colour_, -1, 2, 300, data.data()), noErr);
  EXPECT_EQ(writeStoreRow(colour_, 0, 2, -5, data.data()), noErr);
  EXPECT_EQ(writeStoreRow(colour_, 300, 2, 10, data.data()), noErr);
  EXPECT_EQ(writeStoreRow(colour_, 0x7FFFFFF0, 2, 0x7FFFFFF0, data.data()), noErr);
  std::vector<uint8_t> file = storeFile(colour_);
  EXPECT_EQ(file.size(), 3006u);
  EXPECT_TRUE(allZeroFrom(file, 6));

  ASSERT_EQ(writeStoreRow(colour_, 0, 0, 300, data.data()), noErr);
  for (int32_t row : {-1, 10, 11, 1000000, 0x7FFFFFFF}) {
    std::vector<uint8_t> buffer(300, 0xEE);
    EXPECT_EQ(readStoreRow(colour_, 0, row, 300, buffer.data()), noErr);
    EXPECT_EQ(buffer, std::vector<uint8_t>(300, 0xEE)) << "row " << row;
  }
  std::vector<uint8_t> buffer(300, 0xEE);
  EXPECT_EQ(readStoreRow(colour_, -1, 0, 300, buffer.data()), noErr);
  EXPECT_EQ(buffer, std::vector<uint8_t>(300, 0xEE));
  EXPECT_EQ(readStoreRow(nullptr, 0, 0, 300, buffer.data()), noErr);
  EXPECT_EQ(writeStoreRow(nullptr, 0, 0, 300, buffer.data()), noErr);
}

TEST_F(RowStoreTest, LeftoverFileIsReplaced) {
  writeHostFile(kColourStoreName, std::vector<uint8_t>(10000, 0x55));
  ASSERT_EQ(createColourStore(100, 10, 3, &colour_), noErr);
  std::vector<uint8_t> file = storeFile(colour_);
  EXPECT_EQ(file.size(), 3006u);
  EXPECT_TRUE(allZeroFrom(file, 6));
}

TEST_F(RowStoreTest, EachStoreKeepsToItsOwnFile) {
  ASSERT_EQ(createColourStore(20, 0, 3, &colour_), noErr);
  ASSERT_EQ(createExtraStore(20, 4, 2, &extra_), noErr);
  ASSERT_EQ(createMaskStore(20, 4, 1, &mask_), noErr);

  // No rows: the header alone.
  EXPECT_EQ(storeFile(colour_), (std::vector<uint8_t>{3, 0, 20, 0, 0, 0}));
  EXPECT_EQ(storeFile(extra_).size(), 6u + 4 * 40);
  EXPECT_EQ(storeFile(mask_).size(), 6u + 4 * 20);

  disposeMaskStore(mask_);
  mask_ = nullptr;
  EXPECT_FALSE(exists(kMaskStoreName));
  disposeExtraStore(extra_);
  extra_ = nullptr;
  EXPECT_FALSE(exists(kExtraStoreName));
  disposeColourStore(colour_);
  colour_ = nullptr;
  EXPECT_FALSE(exists(kColourStoreName));

  disposeColourStore(nullptr);
  disposeExtraStore(nullptr);
  disposeMaskStore(nullptr);
}

TEST_F(RowStoreTest, WideSixteenBitRowsRoundTrip) {
  // 30000 RGB pixels of 2-byte samples: 180000 bytes, far past 16 bits.
  ASSERT_EQ(createColourStore(30000, 3, 6, &colour_), noErr);
  EXPECT_EQ(colour_->rowBytes, 180000);
  std::vector<uint8_t> row = patternOf(180000, 4);
  EXPECT_EQ(writeStoreRow(colour_, 0, 1, 180000, row.data()), noErr);
  std::vector<uint8_t> back(180000, 0);
  EXPECT_EQ(readStoreRow(colour_, 0, 1, 180000, back.data()), noErr);
  EXPECT_EQ(back, row);

  std::vector<uint8_t> file = storeFile(colour_);
  ASSERT_EQ(file.size(), 6u + 3 * 180000);
  EXPECT_EQ(std::vector<uint8_t>(file.begin(), file.begin() + 6),
            (std::vector<uint8_t>{0x06, 0x00, 0x30, 0x75, 0x03, 0x00}));
  EXPECT_TRUE(allZeroFrom(std::vector<uint8_t>(file.begin() + 180006 * 2, file.end()), 0));

  // Header fields past 16 bits are saturated, not wrapped.
  ASSERT_EQ(createMaskStore(40000, 1, 1, &mask_), noErr);
  std::vector<uint8_t> maskFile = storeFile(mask_);
  EXPECT_EQ(std::vector<uint8_t>(maskFile.begin(), maskFile.begin() + 6),
            (std::vector<uint8_t>{0x01, 0x00, 0xFF, 0x7F, 0x01, 0x00}));
}

TEST_F(RowStoreTest, FailuresLeaveAnEmptyRecordAndNoFile) {
  // No memory for the record: no record at all.
  colour_ = reinterpret_cast<RowStore*>(1);
  setAllocationBudget(0);
  EXPECT_EQ(createColourStore(100, 10, 3, &colour_), memFullErr);
  EXPECT_EQ(colour_, nullptr);

  // No memory for the row checks: no file, the record stays, empty.
  setAllocationBudget(1);
  EXPECT_EQ(createColourStore(100, 10, 3, &colour_), memFullErr);
  setAllocationBudget(-1);
  ASSERT_NE(colour_, nullptr);
  EXPECT_EQ(colour_->fileHandle, kNoFile);
  EXPECT_EQ(colour_->rowBytes, 0);
  EXPECT_FALSE(exists(kColourStoreName));
  std::vector<uint8_t> buffer(4, 0xEE);
  EXPECT_EQ(readStoreRow(colour_, 0, 0, 4, buffer.data()), noErr);
  EXPECT_EQ(buffer, std::vector<uint8_t>(4, 0xEE));

  // Sizes no row buffer can have.
  EXPECT_EQ(createExtraStore(-1, 10, 3, &extra_), memFullErr);
  EXPECT_EQ(extra_->fileHandle, kNoFile);
  EXPECT_FALSE(exists(kExtraStoreName));
  EXPECT_EQ(createMaskStore(0x10000, 1, 0x10000, &mask_), memFullErr);
  EXPECT_FALSE(exists(kMaskStoreName));
}

TEST_F(RowStoreTest, ASecondClaimIsRefusedAndLeavesTheHoldersRowsAlone) {
  ASSERT_EQ(createColourStore(100, 10, 3, &colour_), noErr);
  const std::vector<uint8_t> row = patternOf(300, 6);
  ASSERT_EQ(writeStoreRow(colour_, 0, 3, 300, row.data()), noErr);

  RowStore* second = nullptr;
  EXPECT_EQ(createColourStore(100, 10, 3, &second), fLckdErr);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(second->fileHandle, kNoFile);
  disposeColourStore(second);  // gives up nothing it never had

  std::vector<uint8_t> back(300, 0);
  EXPECT_EQ(readStoreRow(colour_, 0, 3, 300, back.data()), noErr);
  EXPECT_EQ(back, row);
  EXPECT_EQ(storeFile(colour_).size(), 3006u);
  EXPECT_TRUE(exists(kColourStoreName));
  disposeColourStore(colour_);
  colour_ = nullptr;
  EXPECT_FALSE(exists(kColourStoreName));
  // The name is free again.
  ASSERT_EQ(createColourStore(100, 10, 3, &colour_), noErr);
}

TEST_F(RowStoreTest, RowsCutShortAreErrorsNotStaleBuffers) {
  ASSERT_EQ(createColourStore(100, 10, 3, &colour_), noErr);
  const std::vector<uint8_t> row = patternOf(300, 7);
  ASSERT_EQ(writeStoreRow(colour_, 0, 2, 300, row.data()), noErr);
  // Cut the file inside row 5, through the store's own handle.
#ifdef _WIN32
  ASSERT_EQ(fileSetPosition(colour_->fileHandle, kPositionFromStart, 6 + 5 * 300 + 10), noErr);
  ASSERT_TRUE(SetEndOfFile(reinterpret_cast<HANDLE>(colour_->fileHandle)));
#else
  ASSERT_EQ(ftruncate(int(colour_->fileHandle), 6 + 5 * 300 + 10), 0);
#endif
  std::vector<uint8_t> back(300, 0);
  EXPECT_EQ(readStoreRow(colour_, 0, 2, 300, back.data()), noErr);
  EXPECT_EQ(back, row);
  EXPECT_EQ(readStoreRow(colour_, 0, 5, 300, back.data()), eofErr);
  EXPECT_EQ(readStoreRow(colour_, 0, 9, 300, back.data()), eofErr);
  // Outside the store nothing moves, as before.
  EXPECT_EQ(readStoreRow(colour_, 0, 10, 300, back.data()), noErr);

  // A whole row that comes back full but changed is no row of the image.
  ASSERT_EQ(fileSetPosition(colour_->fileHandle, kPositionFromStart, 6 + 2 * 300 + 17), noErr);
  int32_t one = 1;
  ASSERT_EQ(fileWrite(colour_->fileHandle, &one, "\0"), noErr);
  EXPECT_EQ(readStoreRow(colour_, 0, 2, 300, back.data()), ioErr);
  EXPECT_EQ(readStoreRow(colour_, 0, 2, 10, back.data()), noErr);  // spans are not checked
}

// Every byte of a row counts: one changed in any word of any 32-byte block,
// or in the bytes after the last whole block, fails the read, alone or batched.
TEST_F(RowStoreTest, AChangedByteAnywhereInARowIsAnError) {
  ASSERT_EQ(createColourStore(100, 4, 3, &colour_), noErr);  // 300 bytes: 9 blocks and 12
  const std::vector<uint8_t> row = patternOf(300, 5);
  for (int32_t r = 0; r < 4; ++r) ASSERT_EQ(writeStoreRow(colour_, 0, r, 300, row.data()), noErr);
  std::vector<uint8_t> back(4 * 300);
  for (int32_t at = 0; at < 300; ++at) {
    for (uint8_t changed : {uint8_t(row[size_t(at)] ^ 0x01), uint8_t(row[size_t(at)] ^ 0x80)}) {
      ASSERT_EQ(fileSetPosition(colour_->fileHandle, kPositionFromStart, 6 + 2 * 300 + at), noErr);
      int32_t one = 1;
      ASSERT_EQ(fileWrite(colour_->fileHandle, &one, &changed), noErr);
      colour_->position = -1;  // moved behind the store's back
      ASSERT_EQ(readStoreRow(colour_, 0, 2, 300, back.data()), ioErr) << "byte " << at;
      ASSERT_EQ(readStoreRows(colour_, 1, 3, back.data()), ioErr) << "byte " << at;
    }
    ASSERT_EQ(writeStoreRow(colour_, 0, 2, 300, row.data()), noErr);
  }
  EXPECT_EQ(readStoreRows(colour_, 0, 4, back.data()), noErr);
}

// A read of rows that reach into a row the file no longer holds in full is
// short of data (-39); a batch still serves every row before the cut, so that
// a read fails at the cut row however the rows were grouped.
TEST_F(RowStoreTest, BatchedReadsOfAStoreCutShortInsideARowAreEndOfFile) {
  ASSERT_EQ(createColourStore(100, 10, 3, &colour_), noErr);
  for (int32_t r = 0; r < 10; ++r) {
    ASSERT_EQ(writeStoreRow(colour_, 0, r, 300, patternOf(300, r).data()), noErr);
  }
#ifdef _WIN32
  ASSERT_EQ(fileSetPosition(colour_->fileHandle, kPositionFromStart, 6 + 5 * 300 + 299), noErr);
  ASSERT_TRUE(SetEndOfFile(reinterpret_cast<HANDLE>(colour_->fileHandle)));
#else
  ASSERT_EQ(ftruncate(int(colour_->fileHandle), 6 + 5 * 300 + 299), 0);
#endif
  colour_->position = -1;
  std::vector<uint8_t> back(10 * 300);
  EXPECT_EQ(readStoreRows(colour_, 0, 5, back.data()), noErr);
  EXPECT_EQ(readStoreRows(colour_, 3, 4, back.data()), eofErr);
  EXPECT_EQ(readStoreRows(colour_, 5, 5, back.data()), eofErr);
  RowBatch batch;
  ASSERT_EQ(openRowBatch(colour_, 10, 300, 4, &batch), noErr);
  EXPECT_EQ(readBatchedRow(&batch, 0, back.data()), noErr);
  EXPECT_EQ(back[0], patternOf(300, 0)[0]);
  // the batch from row 4 on comes back short, but row 4 itself is whole
  EXPECT_EQ(readBatchedRow(&batch, 4, back.data()), noErr);
  EXPECT_EQ(std::vector<uint8_t>(back.begin(), back.begin() + 300), patternOf(300, 4));
  EXPECT_EQ(readBatchedRow(&batch, 5, back.data()), eofErr);
  EXPECT_EQ(readBatchedRow(&batch, 6, back.data()), eofErr);
  closeRowBatch(&batch);
}

TEST_F(RowStoreTest, NoOneElseReachesTheRowsByName) {
  ASSERT_EQ(createColourStore(100, 10, 3, &colour_), noErr);
  const std::vector<uint8_t> row = patternOf(300, 8);
  ASSERT_EQ(writeStoreRow(colour_, 0, 0, 300, row.data()), noErr);
  FILE* outside = std::fopen(hostPath(kColourStoreName).c_str(), "r+b");
#ifdef _WIN32
  EXPECT_EQ(outside, nullptr);  // unshared
  if (outside != nullptr) std::fclose(outside);
#else
  // The name is only the run's claim: empty, and cutting or writing it
  // changes no row.
  ASSERT_NE(outside, nullptr);
  EXPECT_EQ(std::fgetc(outside), EOF);
  std::fputs("junk", outside);
  std::fclose(outside);
  ASSERT_EQ(truncate(hostPath(kColourStoreName).c_str(), 0), 0);
#endif
  std::vector<uint8_t> back(300, 0);
  EXPECT_EQ(readStoreRow(colour_, 0, 0, 300, back.data()), noErr);
  EXPECT_EQ(back, row);
  EXPECT_EQ(storeFile(colour_).size(), 3006u);
}

#ifndef _WIN32

TEST_F(RowStoreTest, PipeAtTheStoreNameIsRefusedWithoutWaiting) {
  ASSERT_EQ(mkfifo(hostPath(kColourStoreName).c_str(), 0600), 0);
  EXPECT_EQ(createColourStore(100, 10, 3, &colour_), ioErr);
  struct stat info;
  ASSERT_EQ(lstat(hostPath(kColourStoreName).c_str(), &info), 0);
  EXPECT_TRUE(S_ISFIFO(info.st_mode));
}

TEST_F(RowStoreTest, MissingDirectoryFailsTheCreate) {
  setenv("BRISEL_DIR", (directory_.path() + "/missing").c_str(), 1);
  EXPECT_EQ(createColourStore(100, 10, 3, &colour_), fnfErr);
  ASSERT_NE(colour_, nullptr);
  EXPECT_EQ(colour_->fileHandle, kNoFile);
}

// The store gives up the file it made, even when the name would lead
// elsewhere by the time it is disposed.
TEST_F(RowStoreTest, DisposeGivesUpTheFileWhereItWasMade) {
  ASSERT_EQ(createColourStore(100, 10, 3, &colour_), noErr);
  const std::string made = hostPath(kColourStoreName);
  const std::string other = directory_.path() + "/other";
  ASSERT_EQ(mkdir(other.c_str(), 0700), 0);
  setenv("BRISEL_DIR", other.c_str(), 1);
  const std::string elsewhere = other + "/BackingS.xxx";
  std::fclose(std::fopen(elsewhere.c_str(), "wb"));  // not ours
  disposeColourStore(colour_);
  colour_ = nullptr;
  struct stat info;
  EXPECT_NE(lstat(made.c_str(), &info), 0);
  EXPECT_EQ(lstat(elsewhere.c_str(), &info), 0);
  setenv("BRISEL_DIR", directory_.path().c_str(), 1);
}

TEST_F(RowStoreTest, ShortZeroFillIsDiskFull) {
  // A file size limit below the store's size fails the fill as a full disk does
  // (the extension refused, or a zero row's write come back short).
  int failed = runInChild([this] {
    signal(SIGXFSZ, SIG_IGN);
    rlimit limit = {1000, 1000};
    if (setrlimit(RLIMIT_FSIZE, &limit) != 0) return 99;
    RowStore* store = nullptr;
    if (createColourStore(100, 10, 3, &store) != dskFulErr) return 1;
    if (store == nullptr || store->fileHandle != kNoFile || store->rowBytes != 0) return 2;
    if (exists(kColourStoreName)) return 3;
    disposeColourStore(store);
    return 0;
  });
  EXPECT_EQ(failed, 0);
}

TEST_F(RowStoreTest, LinkPlantedAtTheStoreNameIsNotWrittenThrough) {
  std::string target = directory_.path() + "/outside";
  FILE* precious = std::fopen(target.c_str(), "wb");
  ASSERT_NE(precious, nullptr);
  std::fputs("precious", precious);
  std::fclose(precious);
  ASSERT_EQ(symlink(target.c_str(), hostPath(kColourStoreName).c_str()), 0);

  ASSERT_EQ(createColourStore(100, 10, 3, &colour_), noErr);
  std::vector<uint8_t> row = patternOf(300, 5);
  EXPECT_EQ(writeStoreRow(colour_, 0, 0, 300, row.data()), noErr);
  struct stat info;
  ASSERT_EQ(lstat(hostPath(kColourStoreName).c_str(), &info), 0);
  EXPECT_TRUE(S_ISREG(info.st_mode));
  ASSERT_EQ(stat(target.c_str(), &info), 0);
  EXPECT_EQ(info.st_size, 8);
}

#endif

}  // namespace
