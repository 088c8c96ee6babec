// rowStore.h -- row-addressed image copies in temporary files
#pragma once

#include <cstdint>

#include "core/hostInterface.h"
#include "store/fileLayer.h"

// One store file: a 6-byte header (bytes per pixel, pixels per row, rows, each
// int16 little-endian, saturated) followed by rows of rowBytes bytes.
struct RowStore {
  FileHandle fileHandle;
  int32_t rowBytes;  // 32 bits: wide 16-bit RGB rows exceed 32,767 bytes
};

// Create the store's file, zero-filled, and its record. The slot refers to the
// record whatever the result, except -108 (no memory for the record, slot null).
// Returns the file layer's codes, -34 for a short write, -108.
OSErr createColourStore(int32_t pixelsPerRow, int32_t rows, int32_t bytesPerPixel, RowStore** slot);
OSErr createExtraStore(int32_t pixelsPerRow, int32_t rows, int32_t bytesPerPixel, RowStore** slot);
OSErr createMaskStore(int32_t pixelsPerRow, int32_t rows, int32_t bytesPerPixel, RowStore** slot);

// Close and delete the store's own file and release the record; null is ignored.
void disposeColourStore(RowStore* store);
void disposeExtraStore(RowStore* store);
void disposeMaskStore(RowStore* store);

// Transfer count bytes of row `row` starting offset bytes into the row. Spans
// are clipped at the row's end; negative rows or offsets transfer nothing.
// Returns the code of the underlying read or write, 0 when nothing moved.
OSErr readStoreRow(RowStore* store, int32_t offset, int32_t row, int32_t count, void* buffer);
OSErr writeStoreRow(RowStore* store, int32_t offset, int32_t row, int32_t count,
                    const void* buffer);

// Transfer rowCount whole consecutive rows from `row` on in one file operation
// (rowCount x rowBytes past 2 GiB: -40). Reads past the file's end move
// nothing; a short write is -34. Otherwise the codes of readStoreRow.
OSErr readStoreRows(RowStore* store, int32_t row, int32_t rowCount, void* buffer);
OSErr writeStoreRows(RowStore* store, int32_t row, int32_t rowCount, const void* buffer);
