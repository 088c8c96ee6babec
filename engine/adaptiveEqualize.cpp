// adaptiveEqualize.cpp -- placeholder: leaves the store unchanged
#include "engine/adaptiveEqualize.h"

OSErr adaptiveEqualize8(RowStore*, RunContext*, SignatureBlock*, bool) { return 0; }
OSErr adaptiveEqualize16(RowStore*, RunContext*, SignatureBlock*, bool) { return 0; }
