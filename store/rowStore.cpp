// rowStore.cpp -- row-addressed image copies in temporary files
#include "store/rowStore.h"

#include <algorithm>
#include <cstring>

#include "core/hostErrors.h"
#include "core/memory.h"
#include "store/alertBeep.h"
#include "store/storeFile.h"

namespace {

constexpr int32_t kHeaderBytes = 6;
// The zero fill goes out in pieces of at most this size, whatever the rows are.
constexpr int64_t kFillPieceBytes = 64 * 1024;

// A fast 32-bit check of a row, never 0 (which stands for "unknown"). It only
// has to tell a row from a changed one within this process. Four words go
// through four independent chains at a time, so the multiplies overlap.
uint32_t checkRow(const void* data, int32_t count) {
  const uint8_t* bytes = static_cast<const uint8_t*>(data);
  constexpr uint64_t kMix = 0xFF51AFD7ED558CCDull;
  uint64_t a = 0x9E3779B97F4A7C15ull ^ uint64_t(uint32_t(count)), b = 0xC2B2AE3D27D4EB4Full,
           c = 0x165667B19E3779F9ull, d = 0x27D4EB2F165667C5ull;
  int32_t i = 0;
  for (; i + 32 <= count; i += 32) {
    uint64_t w[4];
    std::memcpy(w, bytes + i, 32);
    a = (a ^ w[0]) * kMix;
    b = (b ^ w[1]) * kMix;
    c = (c ^ w[2]) * kMix;
    d = (d ^ w[3]) * kMix;
    a ^= a >> 32;
    b ^= b >> 32;
    c ^= c >> 32;
    d ^= d >> 32;
  }
  uint64_t h = a ^ (b * 3) ^ (c * 5) ^ (d * 7);
  for (; i < count; ++i) h = (h ^ bytes[i]) * 0x100000001B3ull;
  h = (h ^ (h >> 29)) * kMix;
  const uint32_t check = uint32_t(h) ^ uint32_t(h >> 32);
  return check == 0 ? 1 : check;
}

// Header fields are 16-bit and nothing reads them back: larger values are
// saturated rather than wrapped into something negative.
void putHeaderField(uint8_t* at, int32_t value) {
  int32_t clamped = std::min<int32_t>(std::max<int32_t>(value, -32768), 32767);
  uint16_t bits = uint16_t(clamped);
  at[0] = uint8_t(bits & 0xFF);  // little-endian whatever the machine
  at[1] = uint8_t(bits >> 8);
}

// Writes all `count` bytes or says why not; a short write means a full disk.
OSErr writeAll(FileHandle file, int32_t count, const void* buffer) {
  int32_t done = count;
  OSErr err = fileWrite(file, &done, buffer);
  if (err != noErr) return err;
  return done < count ? dskFulErr : noErr;
}

// Header, then rows x rowBytes zero bytes: the file made that long at once
// where the system reserves the space without writing it, else the same bytes
// written in pieces of up to 64 KiB from one zero buffer.
OSErr fillStoreFile(FileHandle file, int32_t pixelsPerRow, int32_t rows, int32_t bytesPerPixel,
                    int32_t rowBytes) {
  int64_t remaining = rows > 0 ? int64_t(rows) * rowBytes : 0;
  uint8_t header[kHeaderBytes];
  putHeaderField(header + 0, bytesPerPixel);
  putHeaderField(header + 2, pixelsPerRow);
  putHeaderField(header + 4, rows);
  // A header that did not go out whole would shift every row: it fails the
  // create like any other write.
  OSErr err = writeAll(file, kHeaderBytes, header);
  if (err != noErr || remaining == 0) return err;
  bool extended = false;
  err = extendStoreFile(file, kHeaderBytes + remaining, &extended);
  if (err != noErr || extended) return err;

  int32_t pieceBytes = int32_t(std::min(remaining, kFillPieceBytes));
  void* zeros = allocBlock(pieceBytes);
  if (zeros == nullptr) return memFullErr;
  while (err == noErr && remaining > 0) {
    int32_t piece = int32_t(std::min<int64_t>(remaining, pieceBytes));
    err = writeAll(file, piece, zeros);
    remaining -= piece;
  }
  freeBlock(zeros);
  return err;
}

OSErr createStore(const char* name, int32_t pixelsPerRow, int32_t rows, int32_t bytesPerPixel,
                  RowStore** slot) {
  RowStore* store = static_cast<RowStore*>(allocBlock(sizeof(RowStore)));
  *slot = store;
  if (store == nullptr) {
    soundAlertBeep();
    return memFullErr;
  }
  // A zero-filled record would name descriptor 0 on POSIX: a store that never
  // got its file holds the invalid handle instead.
  store->fileHandle = kNoFile;
  store->claimHandle = kNoFile;
  store->rowBytes = 0;
  store->rows = 0;
  store->rowChecks = nullptr;
  store->filePath = nullptr;
  store->position = -1;

  // Rows beyond 2 GiB (or negative sizes) cannot have a row buffer anywhere.
  int64_t rowBytes = int64_t(pixelsPerRow) * bytesPerPixel;
  if (pixelsPerRow < 0 || bytesPerPixel < 0 || rowBytes > INT32_MAX) return memFullErr;
  const int32_t rowCount = rows > 0 ? rows : 0;
  uint32_t* checks =
      static_cast<uint32_t*>(allocBlock(rowCount <= INT32_MAX / 4 ? rowCount * 4 : -1));
  if (checks == nullptr) return memFullErr;

  // Never a delete and a create by name: the name may be another run's, and
  // its rows are not ours to wipe. A held name is refused (-45) untouched.
  StoreFile file{kNoFile, kNoFile, nullptr};
  OSErr err = openStoreFile(name, &file);
  if (err == noErr) {
    err = fillStoreFile(file.data, pixelsPerRow, rows, bytesPerPixel, int32_t(rowBytes));
    if (err != noErr) closeStoreFile(&file);  // the half-made file is of no use to anyone
  }
  if (err != noErr) {
    freeBlock(checks);
    return err;
  }
  store->fileHandle = file.data;
  store->claimHandle = file.claim;
  store->rowBytes = int32_t(rowBytes);
  store->rows = rowCount;
  store->rowChecks = checks;
  store->filePath = file.path;
  return noErr;
}

void disposeStore(RowStore* store) {
  if (store == nullptr) return;
  StoreFile file{store->fileHandle, store->claimHandle, store->filePath};
  freeBlock(store->rowChecks);
  freeBlock(store);
  closeStoreFile(&file);
}

// Places the file at position, unless the last transfer left it there.
// Transferring at the wrong place would be worse than not at all.
bool moveTo(RowStore* store, int64_t position, OSErr* err) {
  if (store->position != position) {
    store->position = -1;
    *err = fileSetPosition(store->fileHandle, kPositionFromStart, position);
    if (*err != noErr) return false;
    store->position = position;
  }
  return true;
}

// The position after a transfer of done bytes that returned err; unknown
// after anything but a whole transfer.
void advance(RowStore* store, OSErr err, int32_t done, int32_t wanted) {
  store->position = err == noErr && done == wanted ? store->position + done : -1;
}

// Clips the span to the row and places the file there; false when nothing is
// to be transferred. Positions are 64-bit: rows x rowBytes passes 2 GiB on
// large 16-bit images.
bool placeSpan(RowStore* store, int32_t offset, int32_t row, int32_t* count, OSErr* err) {
  *err = noErr;
  if (store == nullptr || row < 0 || row >= store->rows || offset < 0) return false;
  int64_t end = int64_t(offset) + *count;
  if (end > store->rowBytes) *count = store->rowBytes - offset;
  if (*count <= 0) return false;
  return moveTo(store, int64_t(store->rowBytes) * row + offset + kHeaderBytes, err);
}

}  // namespace

OSErr createColourStore(int32_t pixelsPerRow, int32_t rows, int32_t bytesPerPixel,
                        RowStore** slot) {
  return createStore(kColourStoreName, pixelsPerRow, rows, bytesPerPixel, slot);
}

OSErr createExtraStore(int32_t pixelsPerRow, int32_t rows, int32_t bytesPerPixel, RowStore** slot) {
  return createStore(kExtraStoreName, pixelsPerRow, rows, bytesPerPixel, slot);
}

OSErr createMaskStore(int32_t pixelsPerRow, int32_t rows, int32_t bytesPerPixel, RowStore** slot) {
  return createStore(kMaskStoreName, pixelsPerRow, rows, bytesPerPixel, slot);
}

void disposeColourStore(RowStore* store) { disposeStore(store); }

void disposeExtraStore(RowStore* store) { disposeStore(store); }

void disposeMaskStore(RowStore* store) { disposeStore(store); }

// Every row inside the store exists in full from the create on: fewer bytes
// than asked for means the file was cut short or failed, and a row of stale
// buffer contents must never pass for image data.
OSErr readStoreRow(RowStore* store, int32_t offset, int32_t row, int32_t count, void* buffer) {
  OSErr err;
  if (!placeSpan(store, offset, row, &count, &err)) return err;
  const int32_t wanted = count;
  int32_t done = count;
  err = fileRead(store->fileHandle, &done, buffer);
  advance(store, err, done, wanted);
  if (err != noErr) return err;
  if (done < wanted) return eofErr;
  const uint32_t expected = store->rowChecks != nullptr ? store->rowChecks[row] : 0;
  if (offset == 0 && wanted == store->rowBytes && expected != 0 &&
      checkRow(buffer, wanted) != expected) {
    return ioErr;
  }
  return noErr;
}

OSErr writeStoreRow(RowStore* store, int32_t offset, int32_t row, int32_t count,
                    const void* buffer) {
  OSErr err;
  if (!placeSpan(store, offset, row, &count, &err)) return err;
  // Only a whole row has a check; a part written leaves the row unknown.
  const bool whole = offset == 0 && count == store->rowBytes;
  if (store->rowChecks != nullptr) store->rowChecks[row] = 0;
  err = writeAll(store->fileHandle, count, buffer);
  advance(store, err, count, count);
  if (err == noErr && whole && store->rowChecks != nullptr) {
    store->rowChecks[row] = checkRow(buffer, count);
  }
  return err;
}

namespace {

// Clips the run of whole rows to the store and places the file at its first;
// false when nothing is to be transferred.
bool placeRows(RowStore* store, int32_t row, int32_t* rowCount, int32_t* count, OSErr* err) {
  *err = noErr;
  if (store == nullptr || row < 0 || row >= store->rows || *rowCount <= 0 || store->rowBytes <= 0) {
    return false;
  }
  if (*rowCount > store->rows - row) *rowCount = store->rows - row;
  const int64_t bytes = int64_t(store->rowBytes) * *rowCount;
  if (bytes > INT32_MAX) {
    *err = posErr;
    return false;
  }
  *count = int32_t(bytes);
  return moveTo(store, int64_t(store->rowBytes) * row + kHeaderBytes, err);
}

}  // namespace

// The same guarantees as a row at a time: every row comes back in full and as
// it was last written, or the transfer fails.
OSErr readStoreRows(RowStore* store, int32_t row, int32_t rowCount, void* buffer) {
  OSErr err;
  int32_t count = 0;
  if (!placeRows(store, row, &rowCount, &count, &err)) return err;
  const int32_t wanted = count;
  err = fileRead(store->fileHandle, &count, buffer);
  advance(store, err, count, wanted);
  if (err != noErr) return err;
  if (count < wanted) return eofErr;
  if (store->rowChecks == nullptr) return noErr;
  const uint8_t* bytes = static_cast<const uint8_t*>(buffer);
  for (int32_t r = 0; r < rowCount; ++r) {
    const uint32_t expected = store->rowChecks[row + r];
    if (expected != 0 &&
        checkRow(bytes + size_t(r) * size_t(store->rowBytes), store->rowBytes) != expected) {
      return ioErr;
    }
  }
  return noErr;
}

OSErr writeStoreRows(RowStore* store, int32_t row, int32_t rowCount, const void* buffer) {
  OSErr err;
  int32_t count = 0;
  if (!placeRows(store, row, &rowCount, &count, &err)) return err;
  if (store->rowChecks != nullptr) {
    for (int32_t r = 0; r < rowCount; ++r) store->rowChecks[row + r] = 0;
  }
  err = writeAll(store->fileHandle, count, buffer);
  advance(store, err, count, count);
  if (err != noErr || store->rowChecks == nullptr) return err;
  const uint8_t* bytes = static_cast<const uint8_t*>(buffer);
  for (int32_t r = 0; r < rowCount; ++r) {
    store->rowChecks[row + r] =
        checkRow(bytes + size_t(r) * size_t(store->rowBytes), store->rowBytes);
  }
  return noErr;
}

OSErr readStoreRowsUpToBad(RowStore* store, int32_t row, int32_t rowCount, void* buffer,
                           int32_t* good) {
  *good = 0;
  if (store == nullptr || row < 0 || row >= store->rows || rowCount <= 0) return noErr;
  if (rowCount > store->rows - row) rowCount = store->rows - row;
  if (readStoreRows(store, row, rowCount, buffer) == noErr) {
    *good = rowCount;
    return noErr;
  }
  uint8_t* bytes = static_cast<uint8_t*>(buffer);
  for (; *good < rowCount; ++*good) {
    const OSErr err = readStoreRow(store, 0, row + *good, store->rowBytes,
                                   bytes + size_t(*good) * size_t(store->rowBytes));
    if (err != noErr) return err;
  }
  return noErr;
}
