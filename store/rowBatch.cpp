// rowBatch.cpp -- whole rows of a row store moved in blocks: read ahead, or written behind
#include "store/rowBatch.h"

#include <cstring>

#include "core/hostErrors.h"
#include "core/memory.h"
#include "store/rowStore.h"

OSErr openRowBatch(RowStore* store, int32_t height, int32_t rowBytes, int32_t capacity,
                   RowBatch* batch) {
  std::memset(batch, 0, sizeof *batch);
  batch->store = store;
  batch->height = height;
  batch->rowBytes = rowBytes;
  if (capacity < 1 || rowBytes < 1 || int64_t(capacity) * rowBytes > INT32_MAX) return memFullErr;
  batch->block = static_cast<uint8_t*>(allocBlock(capacity * rowBytes));
  if (batch->block == nullptr) return memFullErr;
  batch->capacity = capacity;
  return noErr;
}

void closeRowBatch(RowBatch* batch) {
  freeBlock(batch->block);
  std::memset(batch, 0, sizeof *batch);
}

OSErr readBatchedRow(RowBatch* batch, int32_t row, void* buffer) {
  if (batch->block == nullptr) return readStoreRow(batch->store, 0, row, batch->rowBytes, buffer);
  if (row < batch->first || row >= batch->first + batch->count) {
    const int32_t left = batch->height - row;
    batch->count = 0;
    const int32_t rows = left < batch->capacity ? left : batch->capacity;
    int32_t good = 0;
    const OSErr err = readStoreRowsUpToBad(batch->store, row, rows, batch->block, &good);
    batch->first = row;
    batch->count = good;
    // the rows before a bad one are served; the bad one fails when asked for
    if (good == 0) return err;
  }
  std::memcpy(buffer, batch->block + int64_t(row - batch->first) * batch->rowBytes,
              size_t(batch->rowBytes));
  return noErr;
}

OSErr flushRowBatch(RowBatch* batch) {
  if (batch->count == 0) return noErr;
  const OSErr err = writeStoreRows(batch->store, batch->first, batch->count, batch->block);
  batch->first += batch->count;
  batch->count = 0;
  return err;
}

OSErr writeBatchedRow(RowBatch* batch, int32_t row, const void* buffer) {
  if (batch->block == nullptr) return writeStoreRow(batch->store, 0, row, batch->rowBytes, buffer);
  OSErr err = noErr;
  if (batch->count > 0 && row != batch->first + batch->count) err = flushRowBatch(batch);
  if (batch->count == 0) batch->first = row;
  std::memcpy(batch->block + int64_t(batch->count) * batch->rowBytes, buffer,
              size_t(batch->rowBytes));
  ++batch->count;
  if (err == noErr && batch->count == batch->capacity) err = flushRowBatch(batch);
  return err;
}
