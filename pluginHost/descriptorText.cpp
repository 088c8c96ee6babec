// descriptorText.cpp -- recorded descriptors as small text files
#include "pluginHost/descriptorText.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

namespace {

// Keys are written with '_' for a space so that each line splits on spaces.
std::string keyField(uint32_t code) {
  std::string text = codeToText(code);
  for (char& c : text) {
    if (c == ' ') c = '_';
  }
  return text;
}

bool parseKeyField(const std::string& field, uint32_t* code) {
  if (field.size() != 4) return false;
  std::string text = field;
  for (char& c : text) {
    if (c == '_') c = ' ';
  }
  *code = codeFromText(text.c_str());
  return true;
}

bool parseInteger(const std::string& text, int32_t* value) {
  char* end = nullptr;
  errno = 0;
  const long long v = std::strtoll(text.c_str(), &end, 10);
  if (end == text.c_str() || *end != '\0' || errno != 0 || v < INT32_MIN || v > UINT32_MAX) {
    return false;
  }
  *value = int32_t(uint32_t(v));
  return true;
}

}  // namespace

uint32_t codeFromText(const char* text) {
  uint32_t code = 0;
  for (int i = 0; i < 4; ++i) code = (code << 8) | uint8_t(text[i]);
  return code;
}

std::string codeToText(uint32_t code) {
  std::string text(4, ' ');
  for (int i = 0; i < 4; ++i) text[size_t(i)] = char(code >> (24 - 8 * i));
  return text;
}

void setDescriptorFloat(HostDescriptor* descriptor, DescriptorKeyID key, double value) {
  for (HostDescriptorItem& item : descriptor->items) {
    if (item.key == key) {
      item = HostDescriptorItem();
      item.key = key;
      item.type = codeFromText("doub");
      item.number = value;
      return;
    }
  }
  HostDescriptorItem item;
  item.key = key;
  item.type = codeFromText("doub");
  item.number = value;
  descriptor->items.push_back(item);
}

bool parseDescriptorText(const std::string& text, const std::string& path,
                         HostDescriptor* descriptor, std::vector<DescriptorLine>* lines,
                         std::string* error) {
  std::istringstream in(text);
  descriptor->items.clear();
  if (lines != nullptr) lines->clear();
  std::string line;
  int lineNumber = 0;
  while (std::getline(in, line)) {
    ++lineNumber;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    std::istringstream fields(line);
    std::string key, type, value, extra;
    fields >> key >> type >> value;
    const std::string where = path + ":" + std::to_string(lineNumber) + ": ";
    HostDescriptorItem item;
    if (!parseKeyField(key, &item.key) || type.size() != 4 || value.empty()) {
      *error = where + "expected KEY TYPE VALUE";
      return false;
    }
    item.type = codeFromText(type.c_str());
    if (type == "doub") {
      char* end = nullptr;
      item.number = std::strtod(value.c_str(), &end);
      if (end == value.c_str() || *end != '\0') {
        *error = where + "'" + value + "' is not a number";
        return false;
      }
    } else if (type == "long" || type == "bool") {
      if (!parseInteger(value, &item.integer)) {
        *error = where + "'" + value + "' is not an integer";
        return false;
      }
    } else if (type == "enum") {
      std::string enumValue;
      fields >> enumValue;
      if (!parseKeyField(value, &item.enumType) || !parseInteger(enumValue, &item.integer)) {
        *error = where + "expected KEY enum TYPE VALUE";
        return false;
      }
    } else if (type == "TEXT") {
      if (value.size() % 2 != 0) {
        *error = where + "text must be hexadecimal bytes";
        return false;
      }
      for (size_t i = 0; i < value.size(); i += 2) {
        char* end = nullptr;
        const std::string pair = value.substr(i, 2);
        const long byte = std::strtol(pair.c_str(), &end, 16);
        if (*end != '\0') {
          *error = where + "text must be hexadecimal bytes";
          return false;
        }
        item.text.push_back(uint8_t(byte));
      }
    } else {
      *error = where + "unknown type '" + type + "'";
      return false;
    }
    if (fields >> extra) {
      *error = where + "unexpected '" + extra + "'";
      return false;
    }
    descriptor->items.push_back(item);
    if (lines != nullptr) lines->push_back(DescriptorLine{lineNumber, key, type, value});
  }
  return true;
}

bool writeDescriptorStream(FILE* f, const std::string& path, const HostDescriptor& descriptor,
                           std::string* error) {
  for (const HostDescriptorItem& item : descriptor.items) {
    const std::string key = keyField(item.key);
    const std::string type = codeToText(item.type);
    if (type == "doub") {
      std::fprintf(f, "%s doub %.17g\n", key.c_str(), item.number);
    } else if (type == "enum") {
      std::fprintf(f, "%s enum %s %d\n", key.c_str(), keyField(item.enumType).c_str(),
                   item.integer);
    } else if (type == "TEXT") {
      std::fprintf(f, "%s TEXT ", key.c_str());
      for (uint8_t byte : item.text) std::fprintf(f, "%02x", byte);
      std::fputc('\n', f);
    } else {
      std::fprintf(f, "%s %s %d\n", key.c_str(), type.c_str(), item.integer);
    }
  }
  if (std::fflush(f) != 0 || std::ferror(f)) {
    *error = "cannot write " + path + ": " + std::strerror(errno);
    return false;
  }
  return true;
}
