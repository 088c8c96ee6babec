// resourceExpectations.h -- the published property list and terminology, as test assertions
#pragma once

#include <cstdint>
#include <vector>

// Byte for byte: version 01 00, eight properties in order, the three zero bytes.
// entryPointKey is the machine's key: "wx86" for 32-bit, "8664" for 64-bit.
void expectPublishedPropertyList(const std::vector<uint8_t>& bytes, const char* entryPointKey);
// Header, suite, event, the 176 parameters and the 25 enumerations.
void expectPublishedTerminology(const std::vector<uint8_t>& bytes);
// The property list's hstm record names the terminology stored under
// terminologyId: same id, same class and event codes.
void expectPropertyListNamesTerminology(const std::vector<uint8_t>& propertyList,
                                        const std::vector<uint8_t>& terminology,
                                        int32_t terminologyId);
