// rowStore.cpp -- row-addressed image copies in temporary files
#include "store/rowStore.h"

#include <algorithm>

#include "core/hostErrors.h"
#include "core/memory.h"
#include "store/alertBeep.h"

namespace {

constexpr int32_t kHeaderBytes = 6;
// The zero fill goes out in pieces of at most this size, whatever the rows are.
constexpr int64_t kFillPieceBytes = 64 * 1024;

constexpr OSType kCreatorCode = fourCharCode("CREA");
constexpr OSType kFileTypeCode = fourCharCode("TYPE");

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

// Header, then rows x rowBytes zero bytes. The rows are not written one by
// one: the same bytes go out in pieces of up to 64 KiB from one zero buffer.
OSErr fillStoreFile(FileHandle file, int32_t pixelsPerRow, int32_t rows, int32_t bytesPerPixel,
                    int32_t rowBytes) {
  int64_t remaining = rows > 0 ? int64_t(rows) * rowBytes : 0;
  int32_t pieceBytes = int32_t(std::min(remaining, kFillPieceBytes));
  void* zeros = allocBlock(pieceBytes);
  if (zeros == nullptr) return memFullErr;

  uint8_t header[kHeaderBytes];
  putHeaderField(header + 0, bytesPerPixel);
  putHeaderField(header + 2, pixelsPerRow);
  putHeaderField(header + 4, rows);
  // A header that did not go out whole would shift every row: it fails the
  // create like any other write.
  OSErr err = writeAll(file, kHeaderBytes, header);
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
  store->rowBytes = 0;

  (void)fileDelete(name);  // a file left over from an interrupted run goes away
  OSErr err = fileCreate(name, kCreatorCode, kFileTypeCode);
  if (err != noErr) return err;
  FileHandle file = kNoFile;
  err = fileOpenTemporary(name, &file);
  if (err != noErr) {
    (void)fileDelete(name);
    return err;
  }

  // Rows beyond 2 GiB (or negative sizes) cannot have a row buffer anywhere.
  int64_t rowBytes = int64_t(pixelsPerRow) * bytesPerPixel;
  if (pixelsPerRow < 0 || bytesPerPixel < 0 || rowBytes > INT32_MAX) {
    err = memFullErr;
  } else {
    err = fillStoreFile(file, pixelsPerRow, rows, bytesPerPixel, int32_t(rowBytes));
  }
  if (err != noErr) {
    (void)fileClose(file);  // the half-made file is of no use to anyone
    (void)fileDelete(name);
    return err;
  }
  store->fileHandle = file;
  store->rowBytes = int32_t(rowBytes);
  return noErr;
}

void disposeStore(const char* name, RowStore* store) {
  if (store == nullptr) return;
  FileHandle file = store->fileHandle;
  freeBlock(store);
  // A store whose create failed has no file open; its name is deleted anyway.
  if (file != kNoFile) (void)fileClose(file);
  (void)fileDelete(name);
}

// Clips the span to the row and places the file there; false when nothing is
// to be transferred. Positions are 64-bit: rows x rowBytes passes 2 GiB on
// large 16-bit images.
bool placeSpan(RowStore* store, int32_t offset, int32_t row, int32_t* count, OSErr* err) {
  *err = noErr;
  if (store == nullptr || row < 0 || offset < 0) return false;
  int64_t end = int64_t(offset) + *count;
  if (end > store->rowBytes) *count = store->rowBytes - offset;
  if (*count <= 0) return false;
  int64_t position = int64_t(store->rowBytes) * row + offset + kHeaderBytes;
  // Transferring at the wrong place would be worse than not at all.
  *err = fileSetPosition(store->fileHandle, kPositionFromStart, position);
  return *err == noErr;
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

void disposeColourStore(RowStore* store) { disposeStore(kColourStoreName, store); }

void disposeExtraStore(RowStore* store) { disposeStore(kExtraStoreName, store); }

void disposeMaskStore(RowStore* store) { disposeStore(kMaskStoreName, store); }

// The bytes actually moved are not passed back: a read at or past the last row
// moves nothing and leaves the buffer as it was.
OSErr readStoreRow(RowStore* store, int32_t offset, int32_t row, int32_t count, void* buffer) {
  OSErr err;
  if (!placeSpan(store, offset, row, &count, &err)) return err;
  return fileRead(store->fileHandle, &count, buffer);
}

OSErr writeStoreRow(RowStore* store, int32_t offset, int32_t row, int32_t count,
                    const void* buffer) {
  OSErr err;
  if (!placeSpan(store, offset, row, &count, &err)) return err;
  return fileWrite(store->fileHandle, &count, buffer);
}

namespace {

// Places the file at the first of rowCount whole rows; false when nothing is
// to be transferred.
bool placeRows(RowStore* store, int32_t row, int32_t rowCount, int32_t* count, OSErr* err) {
  *err = noErr;
  if (store == nullptr || row < 0 || rowCount <= 0 || store->rowBytes <= 0) return false;
  const int64_t bytes = int64_t(store->rowBytes) * rowCount;
  if (bytes > INT32_MAX) {
    *err = posErr;
    return false;
  }
  *count = int32_t(bytes);
  *err = fileSetPosition(store->fileHandle, kPositionFromStart,
                         int64_t(store->rowBytes) * row + kHeaderBytes);
  return *err == noErr;
}

}  // namespace

OSErr readStoreRows(RowStore* store, int32_t row, int32_t rowCount, void* buffer) {
  OSErr err;
  int32_t count;
  if (!placeRows(store, row, rowCount, &count, &err)) return err;
  return fileRead(store->fileHandle, &count, buffer);
}

OSErr writeStoreRows(RowStore* store, int32_t row, int32_t rowCount, const void* buffer) {
  OSErr err;
  int32_t count;
  if (!placeRows(store, row, rowCount, &count, &err)) return err;
  return writeAll(store->fileHandle, count, buffer);
}
