#include "registry_tree.h"

#include <algorithm>
#include <cwctype>
#include <iterator>
#include <vector>

#include "dynamic_library_module.h"
#include "win32_handle.h"

namespace {

using NtQueryKeyFn = LONG(WINAPI*)(HANDLE, int, void*, ULONG, ULONG*);
using RegDeleteTreeFn = LONG(WINAPI*)(HKEY, const wchar_t*);

constexpr int kKeyNameInformation = 3;
constexpr LONG kStatusBufferTooSmall = static_cast<LONG>(0xC0000023);
constexpr wchar_t kMachineRoot[] = L"\\REGISTRY\\MACHINE\\";
constexpr REGSAM kSubkeyDeleteAccess = 0x10009;  // DELETE, enumerate, query
constexpr DWORD kMaxKeyName = 256;

// The layout NtQueryKey fills for KeyNameInformation; the length is in bytes.
struct KeyNameInformation {
  ULONG NameLength;
  WCHAR Name[1];
};

std::size_t FindNoCase(const std::wstring& text, const std::wstring& part) {
  if (part.size() > text.size()) return std::wstring::npos;
  for (std::size_t at = 0; at + part.size() <= text.size(); ++at) {
    std::size_t i = 0;
    while (i < part.size() &&
           std::towupper(static_cast<std::wint_t>(text[at + i])) == std::towupper(static_cast<std::wint_t>(part[i]))) {
      ++i;
    }
    if (i == part.size()) return at;
  }
  return std::wstring::npos;
}

// Opens with the access asked for; a refused 64-bit view is retried without the flag.
LONG OpenKey(HKEY parent, const wchar_t* name, REGSAM access, HKEY& key) {
  LONG rc = RegOpenKeyExW(parent, name, 0, access, &key);
  if (rc == ERROR_ACCESS_DENIED && (access & KEY_WOW64_64KEY)) {
    rc = RegOpenKeyExW(parent, name, 0, access & ~static_cast<REGSAM>(KEY_WOW64_64KEY), &key);
  }
  return rc;
}

LONG DeleteKeyWithSubkeys(HKEY parent, const wchar_t* name, REGSAM access);

void DeleteAllSubkeys(HKEY key) {
  DWORD index = 0;
  for (;;) {
    wchar_t name[kMaxKeyName];
    DWORD length = kMaxKeyName;
    const LONG rc = RegEnumKeyExW(key, index, name, &length, nullptr, nullptr, nullptr, nullptr);
    if (rc == ERROR_NO_MORE_ITEMS) return;
    // A subkey that stays is passed over; the next one then has the next index.
    if (rc != ERROR_SUCCESS || DeleteKeyWithSubkeys(key, name, kSubkeyDeleteAccess) != ERROR_SUCCESS) ++index;
  }
}

LONG DeleteKeyWithSubkeys(HKEY parent, const wchar_t* name, REGSAM access) {
  {
    CRegistryKey key;
    const LONG rc = OpenKey(parent, name, access, *key.Out());
    if (rc != ERROR_SUCCESS) return rc;
    DeleteAllSubkeys(key.Get());
  }
  return RegDeleteKeyW(parent, name);
}

}  // namespace

bool GetRegistryKeyPath(std::wstring& path, HKEY key) {
  DynamicLibraryModule ntdll(L"ntdll.dll");
  const auto queryKey = ntdll.getProc<NtQueryKeyFn>("NtQueryKey");
  if (!queryKey || !key) return false;
  ULONG size = 0;
  if (queryKey(key, kKeyNameInformation, nullptr, 0, &size) != kStatusBufferTooSmall || size < sizeof(ULONG)) {
    return false;
  }
  std::vector<ULONG> buffer(size / sizeof(ULONG) + 2, 0);
  if (queryKey(key, kKeyNameInformation, buffer.data(), size, &size) < 0) return false;
  const auto* info = reinterpret_cast<const KeyNameInformation*>(buffer.data());
  const std::size_t maxChars = (buffer.size() * sizeof(ULONG) - sizeof(ULONG)) / sizeof(WCHAR);
  const std::wstring name(info->Name, std::min<std::size_t>(info->NameLength / sizeof(WCHAR), maxChars));
  const std::size_t root = FindNoCase(name, kMachineRoot);
  if (root == std::wstring::npos) return false;
  path = name.substr(root + std::size(kMachineRoot) - 1);
  return true;
}

LONG DeleteRegistryTree(HKEY key, const wchar_t* subkey, REGSAM access) {
  if (!key) return ERROR_INVALID_HANDLE;
  DynamicLibraryModule advapi32(L"Advapi32");
  if (const auto deleteTree = advapi32.getProc<RegDeleteTreeFn>("RegDeleteTreeW")) return deleteTree(key, subkey);
  return fw::platform::DeleteRegistryTreeByHand(key, subkey, access);
}

namespace fw::platform {

LONG DeleteRegistryTreeByHand(HKEY key, const wchar_t* subkey, REGSAM access) {
  if (!key) return ERROR_INVALID_HANDLE;
  if (subkey && *subkey) return DeleteKeyWithSubkeys(key, subkey, access);
  DeleteAllSubkeys(key);
  std::wstring path;
  if (!GetRegistryKeyPath(path, key)) return ERROR_PATH_NOT_FOUND;
  {
    CRegistryKey self;
    const LONG rc = OpenKey(HKEY_LOCAL_MACHINE, path.c_str(), access, *self.Out());
    if (rc != ERROR_SUCCESS) return rc;
  }
  return RegDeleteKeyW(HKEY_LOCAL_MACHINE, path.c_str());
}

}  // namespace fw::platform
