// rowBatch.h -- whole rows of a row store moved in blocks: read ahead, or written behind
#pragma once

#include <cstdint>

#include "core/hostInterface.h"

struct RowStore;

// Consecutive whole rows of one store held in one block, so that the file is
// read and written a block at a time rather than a row at a time. A batch
// serves reading or writing, not both at once.
struct RowBatch {
  RowStore* store;
  int32_t height;    // rows of the store
  int32_t rowBytes;  // bytes of a whole row
  int32_t capacity;  // rows the block holds; 0 without a block: row by row then
  uint8_t* block;
  int32_t first;  // rows first .. first + count - 1 are in the block
  int32_t count;
};

// A batch of up to capacity rows. -108 when the block cannot be had; the batch
// then moves rows one at a time, and must still be closed.
OSErr openRowBatch(RowStore* store, int32_t height, int32_t rowBytes, int32_t capacity,
                   RowBatch* batch);
// Frees the block; rows waiting to be written are not written.
void closeRowBatch(RowBatch* batch);

// Copies the row into buffer, reading it and the rows after it when the block
// does not hold it. The store's codes, with every row's check.
OSErr readBatchedRow(RowBatch* batch, int32_t row, void* buffer);
// Adds the row to those waiting to be written. Rows waiting that it does not
// follow go out first, and so does a full block.
OSErr writeBatchedRow(RowBatch* batch, int32_t row, const void* buffer);
// Writes the rows waiting.
OSErr flushRowBatch(RowBatch* batch);
