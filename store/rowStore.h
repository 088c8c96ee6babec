// rowStore.h -- row-addressed image copies in temporary files
#pragma once

#include <cstdint>

#include "core/hostInterface.h"
#include "store/fileLayer.h"

// One store file: a 6-byte header (bytes per pixel, pixels per row, rows, each
// int16 little-endian, saturated) followed by rows of rowBytes bytes.
struct RowStore {
  FileHandle fileHandle;   // the rows (storeFile.h)
  int32_t rowBytes;        // 32 bits: wide 16-bit RGB rows exceed 32,767 bytes
  FileHandle claimHandle;  // the fixed name, held for this run (storeFile.h)
  int32_t rows;
  // A check of every row as last written whole, 0 while unknown: a row that
  // reads back different (a file cut short and written on, a failing disk)
  // is caught even when every read comes back full.
  uint32_t* rowChecks;
  // Where the store file was made (the fixed name's place, or the per-user
  // folder's on Windows); dispose gives up that file and no other.
  char* filePath = nullptr;
  // Where the file's position stands after the last transfer, -1 when unknown
  // (after a failure): rows taken in order need no seek between them.
  int64_t position = -1;
};

// Create the store's file, zero-filled, and its record. The slot refers to the
// record whatever the result, except -108 (no memory for the record, slot null).
// Returns -45 when another run holds the store's name, the file layer's codes,
// -34 for a short write, -108.
OSErr createColourStore(int32_t pixelsPerRow, int32_t rows, int32_t bytesPerPixel, RowStore** slot);
OSErr createExtraStore(int32_t pixelsPerRow, int32_t rows, int32_t bytesPerPixel, RowStore** slot);
OSErr createMaskStore(int32_t pixelsPerRow, int32_t rows, int32_t bytesPerPixel, RowStore** slot);

// Close and delete the store's own file and release the record; null is ignored.
void disposeColourStore(RowStore* store);
void disposeExtraStore(RowStore* store);
void disposeMaskStore(RowStore* store);

// Transfer count bytes of row `row` starting offset bytes into the row. Spans
// are clipped at the row's end; rows outside the store and negative offsets
// transfer nothing (0). Otherwise the code of the read or write, -39 for a
// read and -34 for a write that moved fewer bytes than the span holds, or -36
// for a whole row that reads back other than it was written.
OSErr readStoreRow(RowStore* store, int32_t offset, int32_t row, int32_t count, void* buffer);
OSErr writeStoreRow(RowStore* store, int32_t offset, int32_t row, int32_t count,
                    const void* buffer);

// Transfer rowCount whole consecutive rows from `row` on in one file operation,
// clipped at the store's last row (rowCount x rowBytes past 2 GiB: -40). The
// codes of readStoreRow and writeStoreRow, checked for every row.
OSErr readStoreRows(RowStore* store, int32_t row, int32_t rowCount, void* buffer);
OSErr writeStoreRows(RowStore* store, int32_t row, int32_t rowCount, const void* buffer);
// As readStoreRows, but a failed read is read again a row at a time: *good
// rows came back whole and as written, and the code is the first bad row's.
// Where a read fails then does not depend on how the rows were grouped.
OSErr readStoreRowsUpToBad(RowStore* store, int32_t row, int32_t rowCount, void* buffer,
                           int32_t* good);
