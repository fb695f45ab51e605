// .reg files: "Windows Registry Editor Version 5.00" text, read from UTF-16 LE (with
// BOM) or UTF-8, written as UTF-16 LE with BOM and CRLF like the registry editor.
#pragma once
#include <string>
#include <vector>

#include "reg_data.h"

namespace winreg {

struct RegOperation {
  enum class Kind { CreateKey, DeleteKey, SetValue, DeleteValue };
  Kind kind = Kind::CreateKey;
  KeyPath key;
  Value value;  // SetValue; DeleteValue uses the name only
  int line = 0;
};

struct ParseError {
  int line = 0;
  std::wstring message;
};

// Reads a whole file; on failure nothing of it is to be applied.
bool ParseRegFile(const std::string& bytes, std::vector<RegOperation>& operations, ParseError& error);

struct ExportedKey {
  std::wstring path;  // full path with the long root name
  std::vector<Value> values;
};

// The file's bytes, BOM included.
std::string FormatRegFile(const std::vector<ExportedKey>& keys);

}  // namespace winreg
