// winreg: the registry from the command line, with reg.exe's syntax and output.
//   winreg query KEY [/v NAME | /ve] [/s]
//   winreg add KEY [/v NAME | /ve] [/t TYPE] [/s SEPARATOR] [/d DATA] [/f]
//   winreg delete KEY [/v NAME | /ve | /va] /f
//   winreg import FILE.reg
//   winreg export KEY FILE.reg [/y]
// It never prompts: where reg.exe would ask, /f or /y is required.
#include <windows.h>
#include <winapi_ext.h>

#include <algorithm>
#include <cstdio>
#include <cwctype>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "reg_data.h"
#include "reg_file.h"

namespace {

using winreg::Bytes;
using winreg::KeyPath;
using winreg::Value;

constexpr const wchar_t* kSuccess = L"The operation completed successfully.";
constexpr const wchar_t* kNotFound = L"ERROR: The system was unable to find the specified registry key or value.";

void Print(const std::wstring& line) {
  const std::string text = Utf8FromWide(line) + "\n";
  std::fwrite(text.data(), 1, text.size(), stdout);
}

int Fail(const std::wstring& message) {
  const std::string text = Utf8FromWide(message) + "\n";
  std::fwrite(text.data(), 1, text.size(), stderr);
  return 1;
}

int Usage(const std::wstring& problem) {
  return Fail(L"ERROR: " + problem +
              L"\nUsage: winreg query KEY [/v NAME | /ve] [/s]\n"
              L"       winreg add KEY [/v NAME | /ve] [/t TYPE] [/s SEPARATOR] [/d DATA] [/f]\n"
              L"       winreg delete KEY [/v NAME | /ve | /va] /f\n"
              L"       winreg import FILE.reg\n"
              L"       winreg export KEY FILE.reg [/y]");
}

class Key {
 public:
  Key() = default;
  ~Key() {
    if (key_) RegCloseKey(key_);
  }
  Key(const Key&) = delete;
  Key& operator=(const Key&) = delete;
  PHKEY Out() { return &key_; }
  HKEY Get() const { return key_; }

 private:
  HKEY key_ = nullptr;
};

LSTATUS Open(const KeyPath& path, REGSAM access, Key& key) {
  return RegOpenKeyExW(path.root, path.subKey.c_str(), 0, access, key.Out());
}

LSTATUS Create(const KeyPath& path, Key& key) {
  return RegCreateKeyExW(path.root, path.subKey.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.Out(), nullptr);
}

std::vector<Value> Values(HKEY key) {
  std::vector<Value> values;
  for (DWORD i = 0;; ++i) {
    DWORD maxName = 0, maxData = 0;
    RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &maxName, &maxData, nullptr,
                     nullptr);
    std::wstring name(maxName + 1, L'\0');
    Value value;
    value.data.resize(maxData);
    DWORD chars = maxName + 1, size = maxData;
    if (RegEnumValueW(key, i, name.data(), &chars, nullptr, &value.type, value.data.data(), &size) != ERROR_SUCCESS) {
      break;
    }
    value.name = name.substr(0, chars);
    value.data.resize(size);
    values.push_back(std::move(value));
  }
  return values;
}

std::vector<std::wstring> SubKeys(HKEY key) {
  std::vector<std::wstring> names;
  for (DWORD i = 0;; ++i) {
    WCHAR name[256];
    DWORD chars = 256;
    if (RegEnumKeyExW(key, i, name, &chars, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    names.emplace_back(name, chars);
  }
  return names;
}

void PrintValue(const Value& value) {
  const std::wstring name = value.name.empty() ? L"(Default)" : value.name;
  Print(L"    " + name + L"    " + winreg::TypeName(value.type) + L"    " + winreg::QueryText(value));
}

// Parsed switches of one command; names are case-insensitive, values follow them.
struct Switches {
  std::optional<std::wstring> value;  // /v NAME, or "" for /ve
  bool allValues = false;             // /va
  bool recurse = false;               // /s (query)
  bool force = false;                 // /f or /y
  std::optional<std::wstring> type, data, separator;
  std::vector<std::wstring> positional;
  std::vector<std::string> positionalBytes;  // as given: file names are host paths
};

std::wstring Lower(std::wstring text) {
  for (auto& c : text) c = static_cast<wchar_t>(std::towlower(static_cast<wint_t>(c)));
  return text;
}

// Anything that is not one of the switches is positional, so that /absolute/paths work.
bool ParseSwitches(const std::wstring& command, const std::vector<std::wstring>& args,
                   const std::vector<std::string>& bytes, Switches& out, std::wstring& error) {
  for (size_t i = 0; i < args.size(); ++i) {
    const std::wstring arg = Lower(args[i]);
    auto next = [&](std::optional<std::wstring>& target) {
      if (i + 1 >= args.size()) {
        error = args[i] + L" needs a value";
        return false;
      }
      target = args[++i];
      return true;
    };
    if (arg == L"/v") {
      if (!next(out.value)) return false;
    } else if (arg == L"/ve") {
      out.value = L"";
    } else if (arg == L"/va") {
      out.allValues = true;
    } else if (arg == L"/f" || arg == L"/y") {
      out.force = true;
    } else if (arg == L"/t") {
      if (!next(out.type)) return false;
    } else if (arg == L"/d") {
      if (!next(out.data)) return false;
    } else if (arg == L"/s" && command == L"add") {
      if (!next(out.separator)) return false;
    } else if (arg == L"/s") {
      out.recurse = true;
    } else {
      out.positional.push_back(args[i]);
      out.positionalBytes.push_back(bytes[i]);
    }
  }
  return true;
}

// One key of a query: its line, its (matching) values, and with /s the keys below.
int QueryKey(const KeyPath& path, const Switches& s, int& matches) {
  Key key;
  if (Open(path, KEY_READ, key) != ERROR_SUCCESS) return Fail(kNotFound);
  std::vector<Value> values = Values(key.Get());
  if (s.value) {
    std::erase_if(values, [&](const Value& v) { return Lower(v.name) != Lower(*s.value); });
    if (values.empty() && s.value->empty() && !s.recurse) {
      values.push_back(Value{L"", REG_SZ, winreg::ApiBytes(L"(value not set)")});
    }
  }
  if (!s.value || !values.empty()) {
    Print(L"");
    Print(path.Full());
    for (const auto& value : values) PrintValue(value);
    matches += static_cast<int>(values.size());
  }
  const std::vector<std::wstring> children = SubKeys(key.Get());
  if (!s.recurse) {
    if (!s.value) {
      Print(L"");
      for (const auto& child : children) Print(path.Child(child).Full());
    }
    return 0;
  }
  for (const auto& child : children) {
    if (!s.value) ++matches;
    QueryKey(path.Child(child), s, matches);
  }
  return 0;
}

int Query(const Switches& s) {
  KeyPath path;
  if (s.positional.size() != 1) return Usage(L"query takes one key");
  if (!winreg::ParseKeyPath(s.positional[0], path)) return Fail(L"ERROR: Invalid key name: " + s.positional[0]);
  int matches = 0;
  Key probe;
  if (Open(path, KEY_READ, probe) != ERROR_SUCCESS) return Fail(kNotFound);
  if (s.value && !s.recurse) {
    Value found;
    DWORD size = 0;
    const LSTATUS status = RegQueryValueExW(probe.Get(), s.value->c_str(), nullptr, &found.type, nullptr, &size);
    if (status != ERROR_SUCCESS && !s.value->empty()) return Fail(kNotFound);
  }
  if (const int result = QueryKey(path, s, matches)) return result;
  if (s.recurse) {
    Print(L"");
    Print(L"End of search: " + std::to_wstring(matches) + L" match(es) found.");
    if (s.value && matches == 0) return 1;
  }
  return 0;
}

int Add(const Switches& s) {
  KeyPath path;
  if (s.positional.size() != 1) return Usage(L"add takes one key");
  if (!winreg::ParseKeyPath(s.positional[0], path) || path.subKey.empty()) {
    return Fail(L"ERROR: Invalid key name: " + s.positional[0]);
  }
  DWORD type = REG_SZ;
  if (s.type && !winreg::TypeFromName(*s.type, type)) return Fail(L"ERROR: Invalid type: " + *s.type);
  Bytes data;
  std::wstring error;
  if (s.value && !winreg::DataFromArgument(type, s.data.value_or(L""), s.separator.value_or(L"\\0"), data, error)) {
    return Fail(L"ERROR: " + error);
  }
  Key key;
  if (const LSTATUS status = Create(path, key)) return Fail(L"ERROR: " + winreg::ErrorText(status));
  if (s.value) {
    DWORD size = 0;
    const bool exists = RegQueryValueExW(key.Get(), s.value->c_str(), nullptr, nullptr, nullptr, &size) == 0;
    if (exists && !s.force) return Fail(L"ERROR: The value exists; add /f to overwrite it.");
    const LSTATUS status =
        RegSetValueExW(key.Get(), s.value->c_str(), 0, type, data.data(), static_cast<DWORD>(data.size()));
    if (status != ERROR_SUCCESS) return Fail(L"ERROR: " + winreg::ErrorText(status));
  }
  Print(kSuccess);
  return 0;
}

int Delete(const Switches& s) {
  KeyPath path;
  if (s.positional.size() != 1) return Usage(L"delete takes one key");
  if (!winreg::ParseKeyPath(s.positional[0], path) || path.subKey.empty()) {
    return Fail(L"ERROR: Invalid key name: " + s.positional[0]);
  }
  if (!s.force) return Fail(L"ERROR: delete needs /f; this tool does not ask before deleting.");
  Key key;
  if (Open(path, KEY_ALL_ACCESS, key) != ERROR_SUCCESS) return Fail(kNotFound);
  LSTATUS status = ERROR_SUCCESS;
  if (s.allValues) {
    for (const auto& value : Values(key.Get())) {
      if ((status = RegDeleteValueW(key.Get(), value.name.c_str())) != ERROR_SUCCESS) break;
    }
  } else if (s.value) {
    status = RegDeleteValueW(key.Get(), s.value->c_str());
    if (status == ERROR_FILE_NOT_FOUND) return Fail(kNotFound);
  } else {
    status = RegDeleteTreeW(path.root, path.subKey.c_str());
  }
  if (status != ERROR_SUCCESS) return Fail(L"ERROR: " + winreg::ErrorText(status));
  Print(kSuccess);
  return 0;
}

LSTATUS Apply(const winreg::RegOperation& operation) {
  using Kind = winreg::RegOperation::Kind;
  Key key;
  switch (operation.kind) {
    case Kind::CreateKey: return Create(operation.key, key);
    case Kind::DeleteKey: {
      const LSTATUS status = RegDeleteTreeW(operation.key.root, operation.key.subKey.c_str());
      return status == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : status;
    }
    case Kind::SetValue: {
      if (const LSTATUS status = Open(operation.key, KEY_SET_VALUE, key)) return status;
      const auto& value = operation.value;
      return RegSetValueExW(key.Get(), value.name.c_str(), 0, value.type, value.data.data(),
                            static_cast<DWORD>(value.data.size()));
    }
    case Kind::DeleteValue: {
      if (const LSTATUS status = Open(operation.key, KEY_SET_VALUE, key)) return status;
      const LSTATUS status = RegDeleteValueW(key.Get(), operation.value.name.c_str());
      return status == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : status;
    }
  }
  return ERROR_INVALID_FUNCTION;
}

int Import(const Switches& s) {
  if (s.positional.size() != 1) return Usage(L"import takes one file");
  const std::string& file = s.positionalBytes[0];
  std::ifstream in(file, std::ios::binary);
  if (!in) return Fail(L"ERROR: Cannot open " + s.positional[0]);
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<winreg::RegOperation> operations;
  winreg::ParseError error;
  if (!winreg::ParseRegFile(bytes, operations, error)) {
    return Fail(L"ERROR: " + s.positional[0] + L" line " + std::to_wstring(error.line) + L": " + error.message);
  }
  // All of the file or nothing of it.
  if (const LSTATUS status = WinapiRegBeginTransaction()) return Fail(L"ERROR: " + winreg::ErrorText(status));
  for (const auto& operation : operations) {
    if (const LSTATUS status = Apply(operation)) {
      WinapiRegRollbackTransaction();
      return Fail(L"ERROR: " + s.positional[0] + L" line " + std::to_wstring(operation.line) + L": " +
                  winreg::ErrorText(status));
    }
  }
  if (const LSTATUS status = WinapiRegCommitTransaction()) return Fail(L"ERROR: " + winreg::ErrorText(status));
  Print(kSuccess);
  return 0;
}

void Collect(const KeyPath& path, HKEY key, std::vector<winreg::ExportedKey>& keys) {
  std::vector<Value> values = Values(key);
  // The default value first, as the registry editor writes it.
  std::stable_partition(values.begin(), values.end(), [](const Value& v) { return v.name.empty(); });
  keys.push_back({path.Full(), std::move(values)});
  for (const auto& child : SubKeys(key)) {
    Key sub;
    if (RegOpenKeyExW(key, child.c_str(), 0, KEY_READ, sub.Out()) == ERROR_SUCCESS) {
      Collect(path.Child(child), sub.Get(), keys);
    }
  }
}

int Export(const Switches& s) {
  KeyPath path;
  if (s.positional.size() != 2) return Usage(L"export takes a key and a file");
  const std::string& file = s.positionalBytes[1];
  if (!winreg::ParseKeyPath(s.positional[0], path)) return Fail(L"ERROR: Invalid key name: " + s.positional[0]);
  Key key;
  if (Open(path, KEY_READ, key) != ERROR_SUCCESS) return Fail(kNotFound);
  if (std::ifstream(file) && !s.force) return Fail(L"ERROR: " + s.positional[1] + L" exists; add /y to overwrite it.");
  std::vector<winreg::ExportedKey> keys;
  Collect(path, key.Get(), keys);
  const std::string bytes = winreg::FormatRegFile(keys);
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  if (!out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()))) {
    return Fail(L"ERROR: Cannot write " + s.positional[1]);
  }
  Print(kSuccess);
  return 0;
}

int Run(int argc, char** argv) {
  std::vector<std::wstring> args;
  std::vector<std::string> bytes;
  for (int i = 1; i < argc; ++i) {
    bytes.emplace_back(argv[i]);
    args.push_back(WideFromUtf8(argv[i]));
  }
  if (args.empty()) return Usage(L"Invalid syntax.");
  const std::wstring command = Lower(args[0]);
  if (command == L"/?" || command == L"-h" || command == L"--help") {
    Usage(L"none; this is the usage.");
    return 0;
  }
  Switches s;
  std::wstring error;
  if (!ParseSwitches(command, std::vector<std::wstring>(args.begin() + 1, args.end()),
                     std::vector<std::string>(bytes.begin() + 1, bytes.end()), s, error)) {
    return Usage(error);
  }
  if (command == L"query") return Query(s);
  if (command == L"add") return Add(s);
  if (command == L"delete") return Delete(s);
  if (command == L"import") return Import(s);
  if (command == L"export") return Export(s);
  return Usage(L"unknown command " + args[0]);
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return Run(argc, argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "ERROR: %s\n", e.what());
    return 1;
  }
}
