// rowStore.cpp -- placeholder until written
#include "store/rowStore.h"

OSErr createColourStore(int32_t, int32_t, int32_t, RowStore** slot) { *slot = nullptr; return -108; }
OSErr createExtraStore(int32_t, int32_t, int32_t, RowStore** slot) { *slot = nullptr; return -108; }
OSErr createMaskStore(int32_t, int32_t, int32_t, RowStore** slot) { *slot = nullptr; return -108; }
void disposeColourStore(RowStore*) {}
void disposeExtraStore(RowStore*) {}
void disposeMaskStore(RowStore*) {}
OSErr readStoreRow(RowStore*, int32_t, int32_t, int32_t, void*) { return 0; }
OSErr writeStoreRow(RowStore*, int32_t, int32_t, int32_t, const void*) { return 0; }
