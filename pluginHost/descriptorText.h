// descriptorText.h -- recorded descriptors as small text files, one "KEY TYPE VALUE" line each
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "pluginHost/pluginHost.h"

// Four characters to a code and back; spaces are kept ("Pth ").
uint32_t codeFromText(const char* text);
std::string codeToText(uint32_t code);

// Replaces or appends a float item under key.
void setDescriptorFloat(HostDescriptor* descriptor, DescriptorKeyID key, double value);

// Where each item came from: its line and fields as written.
struct DescriptorLine {
  int number;
  std::string key, type, value;
};
// Lines: "AEqa doub 0.5", "KEY long 12", "KEY bool 1", "KEY enum TYPE 3",
// "KEY TEXT 68656c6c6f" (hex bytes). Blank lines and lines from '#' are skipped.
// Parses text already read, path naming it in errors; lines (may be null)
// gets one entry an item.
bool parseDescriptorText(const std::string& text, const std::string& path,
                         HostDescriptor* descriptor, std::vector<DescriptorLine>* lines,
                         std::string* error);
// Writes the items as such lines into an open stream, flushed but not closed;
// path names it in errors.
bool writeDescriptorStream(FILE* f, const std::string& path, const HostDescriptor& descriptor,
                           std::string* error);
