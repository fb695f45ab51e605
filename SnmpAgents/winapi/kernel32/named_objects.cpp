#include "core_internal.h"

#include <mutex>
#include <unordered_map>

namespace winapi {
namespace {

struct NamespaceTable {
  std::mutex lock;
  std::unordered_map<std::wstring, std::weak_ptr<KernelObject>> entries;
};

NamespaceTable& Table() {
  static auto* table = new NamespaceTable;  // never destroyed: threads may outlive statics
  return *table;
}

bool StartsWith(std::wstring_view text, std::wstring_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

constexpr size_t kMaxNameLength = MAX_PATH;

}  // namespace

std::optional<std::wstring> ObjectNamespace::Normalize(LPCWSTR name, DWORD& error) {
  std::wstring_view text(name);
  if (StartsWith(text, L"Global\\")) text.remove_prefix(7);
  else if (StartsWith(text, L"Local\\")) text.remove_prefix(6);
  // A further backslash would name a directory of the object namespace.
  if (text.find(L'\\') != std::wstring_view::npos) {
    error = ERROR_PATH_NOT_FOUND;
    return std::nullopt;
  }
  if (text.size() > kMaxNameLength) {
    error = ERROR_FILENAME_EXCED_RANGE;
    return std::nullopt;
  }
  return std::wstring(text);
}

ObjectPtr ObjectNamespace::Find(const std::wstring& name) {
  auto& table = Table();
  std::lock_guard<std::mutex> guard(table.lock);
  auto it = table.entries.find(name);
  if (it == table.entries.end()) return nullptr;
  ObjectPtr object = it->second.lock();
  if (!object) table.entries.erase(it);
  return object;
}

ObjectPtr ObjectNamespace::FindOrInsert(const std::wstring& name, ObjectPtr object) {
  auto& table = Table();
  std::lock_guard<std::mutex> guard(table.lock);
  auto& entry = table.entries[name];
  if (ObjectPtr existing = entry.lock()) return existing;
  entry = object;
  return object;
}

}  // namespace winapi
