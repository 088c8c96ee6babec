// scripting.h -- the parameters exchanged with the host's scripting descriptors
#pragma once

#include <cstdint>

#include "core/hostInterface.h"

struct SignatureBlock;

// At most this many keys are listed for the host (with the driver's 22-slot
// block there are never more); a block with more inputs still matches them all.
constexpr int32_t kMaxListedKeys = 20;
// A host that keeps delivering keys is cut off after this many.
constexpr int32_t kMaxDeliveredKeys = 32767;

// True when the handle suite is version 1 with its four basic procs.
bool handleProcsAvailable(const HandleProcs* procs);
// True when both descriptor suites are there in version 0 with their full
// proc counts and the open, close and key procs the exchange needs. A suite
// missing only some of those loses only the reading or the writing.
bool descriptorProcsAvailable(const PIDescriptorParameters* params);
// A host handle of size bytes, or null when the suite is not available.
Handle newHostHandle(const HandleProcs* procs, int32_t size);
// Releases a host handle; does nothing for null or without the suite.
void disposeHostHandle(const HandleProcs* procs, Handle handle);
// Closes the read token, releases the host's descriptor and clears both.
// Returns the host's close code.
OSErr closeDescriptorReader(PIDescriptorParameters* params, const HandleProcs* procs,
                            PIReadDescriptor* token);
// Closes the write token; the new descriptor replaces (and releases) the old
// one and recordInfo becomes 0. Always 0.
OSErr closeDescriptorWriter(PIDescriptorParameters* params, const HandleProcs* procs,
                            PIWriteDescriptor* token);
// True when the host asks for the dialog (playInfo 1).
bool dialogRequested(const PIDescriptorParameters* params);

// Applies recorded values within their bounds to the block's input entries.
// Returns skipDialog: false without a record or published suites, else true
// unless playInfo is 1 (also when the read procs are missing and nothing is read).
bool readScriptingParameters(const FilterRecord* record, SignatureBlock* block);
// Records the block's input values in a new descriptor for the host. Always 0.
OSErr writeScriptingParameters(const FilterRecord* record, SignatureBlock* block);
