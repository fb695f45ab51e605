#include "registry_key.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <utility>

#include "errors.h"
#include "wide_text.h"

namespace winapi::registry {
namespace {

struct PredefinedKey {
  HKEY handle;
  KeyId root;
  const wchar_t* ntRoot;
  std::vector<std::wstring> below;  // empty for a hive root; the user's SID is filled in later
};

bool ResolvePredefined(Session& session, HKEY key, KeyRef& out) {
  static const PredefinedKey kKeys[] = {
      {HKEY_LOCAL_MACHINE, kMachineRoot, L"\\REGISTRY\\MACHINE", {}},
      {HKEY_USERS, kUserRoot, L"\\REGISTRY\\USER", {}},
      {HKEY_CURRENT_USER, kUserRoot, L"\\REGISTRY\\USER", {L""}},
      {HKEY_CLASSES_ROOT, kMachineRoot, L"\\REGISTRY\\MACHINE", {L"SOFTWARE", L"Classes"}},
      {HKEY_CURRENT_CONFIG,
       kMachineRoot,
       L"\\REGISTRY\\MACHINE",
       {L"SYSTEM", L"CurrentControlSet", L"Hardware Profiles", L"Current"}},
  };
  for (const auto& entry : kKeys) {
    if (entry.handle != key) continue;
    out = KeyRef{entry.root, entry.ntRoot, KEY_ALL_ACCESS, false, true};
    for (std::wstring name : entry.below) {
      if (name.empty()) name = Store::Instance().UserSid();
      auto child = session.FindChild(out.id, name);
      if (!child) return false;
      out.id = child->id;
      out.ntPath += L"\\" + child->name;
    }
    return true;
  }
  return false;
}

}  // namespace

bool IsPredefined(HKEY key) {
  const auto value = reinterpret_cast<ULONG_PTR>(key);
  return value >= reinterpret_cast<ULONG_PTR>(HKEY_CLASSES_ROOT) &&
         value <= reinterpret_cast<ULONG_PTR>(HKEY_DYN_DATA);
}

DWORD ResolveKey(Session& session, HKEY key, bool checkExists, KeyRef& out) {
  if (IsPredefined(key)) return ResolvePredefined(session, key, out) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
  auto open = LookupHandleAs<RegistryKey>(key);
  if (!open) return ERROR_INVALID_HANDLE;
  out = KeyRef{open->Id(), open->NtPath(), open->Access(), open->IsVolatile(), false};
  if (checkExists && !session.GetKey(out.id)) return ERROR_KEY_DELETED;
  return ERROR_SUCCESS;
}

DWORD SplitKeyPath(const wchar_t* path, std::vector<std::wstring>& parts) {
  parts.clear();
  if (!path || !*path) return ERROR_SUCCESS;
  std::wstring_view rest(path);
  if (rest.front() == L'\\') return ERROR_BAD_PATHNAME;
  while (!rest.empty()) {
    const auto slash = rest.find(L'\\');
    const std::wstring_view part = rest.substr(0, slash);
    if (part.empty()) return ERROR_BAD_PATHNAME;
    parts.emplace_back(part);
    if (slash == std::wstring_view::npos) break;
    rest.remove_prefix(slash + 1);
  }
  return ERROR_SUCCESS;
}

REGSAM EffectiveAccess(REGSAM desired) {
  REGSAM access = desired & ~static_cast<REGSAM>(KEY_WOW64_RES);
  if (access & MAXIMUM_ALLOWED) access |= KEY_ALL_ACCESS;
  if (access & GENERIC_READ) access |= KEY_READ;
  if (access & GENERIC_WRITE) access |= KEY_WRITE;
  if (access & GENERIC_EXECUTE) access |= KEY_EXECUTE;
  if (access & GENERIC_ALL) access |= KEY_ALL_ACCESS;
  return access & ~static_cast<REGSAM>(MAXIMUM_ALLOWED | GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
}

}  // namespace winapi::registry

namespace {

using namespace winapi::registry;

std::wstring NameOrDefault(const wchar_t* name) { return name ? std::wstring(name) : std::wstring(); }

// Follows parts below base; ERROR_FILE_NOT_FOUND when one is missing.
DWORD Descend(Session& session, KeyRef& key, const std::vector<std::wstring>& parts) {
  for (const auto& part : parts) {
    auto child = session.FindChild(key.id, part);
    if (!child) return ERROR_FILE_NOT_FOUND;
    key.id = child->id;
    key.ntPath += L"\\" + child->name;
    key.isVolatile = child->isVolatile;
    key.predefined = false;
  }
  return ERROR_SUCCESS;
}

HKEY NewKeyHandle(const KeyRef& key, REGSAM access) {
  return static_cast<HKEY>(
      winapi::InsertHandle(std::make_shared<RegistryKey>(key.id, key.ntPath, access, key.isVolatile)));
}

void CopyName(const std::wstring& name, LPWSTR buffer) {
  std::memcpy(buffer, name.c_str(), (name.size() + 1) * sizeof(WCHAR));
}

// Stores data into a caller's buffer with the Win32 sizing rules.
LSTATUS ReturnData(const std::string& data, LPBYTE buffer, LPDWORD size) {
  const auto needed = static_cast<DWORD>(data.size());
  if (!buffer) {
    if (size) *size = needed;
    return ERROR_SUCCESS;
  }
  if (*size < needed) {
    *size = needed;
    return ERROR_MORE_DATA;
  }
  std::memcpy(buffer, data.data(), needed);
  *size = needed;
  return ERROR_SUCCESS;
}

// Type and API-form data of one value.
LSTATUS QueryValue(HKEY hKey, const wchar_t* name, DWORD& type, std::string& data) {
  return Store::Instance().Read([&](Session& s) -> DWORD {
    KeyRef key;
    if (const DWORD e = ResolveKey(s, hKey, false, key)) return e;
    if (!key.Allows(KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
    std::optional<ValueRow> value;
    if (s.LookupValue(key.id, NameOrDefault(name), value) == Session::KeyState::Deleted) return ERROR_KEY_DELETED;
    if (!value) return ERROR_FILE_NOT_FOUND;
    type = value->type;
    data = ApiFromStored(value->type, value->data);
    return ERROR_SUCCESS;
  });
}

LSTATUS OpenKey(HKEY hKey, const wchar_t* subKey, REGSAM desired, PHKEY result) {
  if (!result) return ERROR_INVALID_PARAMETER;
  *result = nullptr;
  std::vector<std::wstring> parts;
  if (const DWORD e = SplitKeyPath(subKey, parts)) return static_cast<LSTATUS>(e);
  KeyRef key;
  const LSTATUS status = Store::Instance().Read([&](Session& s) -> DWORD {
    if (const DWORD e = ResolveKey(s, hKey, true, key)) return e;
    return Descend(s, key, parts);
  });
  if (status == ERROR_SUCCESS) *result = NewKeyHandle(key, winapi::registry::EffectiveAccess(desired));
  return status;
}

// Expands %NAME% from the environment; unknown names stay as they are.
std::wstring ExpandEnvironment(const std::wstring& text) {
  std::wstring out;
  size_t i = 0;
  while (i < text.size()) {
    const auto open = text.find(L'%', i);
    const auto close = open == std::wstring::npos ? open : text.find(L'%', open + 1);
    if (close == std::wstring::npos) {
      out += text.substr(i);
      break;
    }
    out += text.substr(i, open - i);
    const std::wstring name = text.substr(open + 1, close - open - 1);
    const char* value = name.empty() ? nullptr : std::getenv(winapi::Utf8FromWide(name).c_str());
    if (value) {
      out += winapi::WideFromUtf8(value);
      i = close + 1;
    } else {
      out += text.substr(open, close - open);
      i = close;
    }
  }
  return out;
}

DWORD RestrictionBit(DWORD type) {
  switch (type) {
    case REG_NONE: return RRF_RT_REG_NONE;
    case REG_SZ: return RRF_RT_REG_SZ;
    case REG_EXPAND_SZ: return RRF_RT_REG_EXPAND_SZ;
    case REG_BINARY: return RRF_RT_REG_BINARY;
    case REG_DWORD: return RRF_RT_REG_DWORD;
    case REG_MULTI_SZ: return RRF_RT_REG_MULTI_SZ;
    case REG_QWORD: return RRF_RT_REG_QWORD;
    default: return 0;
  }
}

bool TypeAllowed(DWORD flags, DWORD type, size_t size) {
  if ((flags & RRF_RT_ANY) == RRF_RT_ANY) return true;
  if (flags & RestrictionBit(type)) return true;
  // RRF_RT_DWORD and RRF_RT_QWORD also take REG_BINARY data of the right size.
  if (type == REG_BINARY && (flags & RRF_RT_REG_DWORD) && size == 4) return true;
  if (type == REG_BINARY && (flags & RRF_RT_REG_QWORD) && size == 8) return true;
  return false;
}

std::wstring WideFromApi(const std::string& data) {
  std::wstring text(data.size() / sizeof(WCHAR), L'\0');
  std::memcpy(text.data(), data.data(), text.size() * sizeof(WCHAR));
  return text;
}

std::string ApiFromWide(const std::wstring& text) {
  return std::string(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(WCHAR));
}

}  // namespace

// RegCloseKey
extern "C" WINADVAPI LSTATUS WINAPI RegCloseKey(HKEY hKey) {
  if (IsPredefined(hKey)) return ERROR_SUCCESS;
  if (!winapi::LookupHandleAs<RegistryKey>(hKey)) return ERROR_INVALID_HANDLE;
  return winapi::RemoveHandle(hKey) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

// RegOpenKeyExW
extern "C" WINADVAPI LSTATUS WINAPI RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD /*ulOptions*/,
                                                  REGSAM samDesired, PHKEY phkResult) {
  return winapi::GuardedStatus([&]() -> LSTATUS {
    return OpenKey(hKey, lpSubKey, samDesired, phkResult);
  });
}

// RegOpenKeyW
extern "C" WINADVAPI LSTATUS WINAPI RegOpenKeyW(HKEY hKey, LPCWSTR lpSubKey, PHKEY phkResult) {
  return winapi::GuardedStatus([&]() -> LSTATUS {
    if (!phkResult) return ERROR_INVALID_PARAMETER;
    if (!lpSubKey || !*lpSubKey) {
      *phkResult = hKey;
      return ERROR_SUCCESS;
    }
    return OpenKey(hKey, lpSubKey, MAXIMUM_ALLOWED, phkResult);
  });
}

// RegCreateKeyExW
extern "C" WINADVAPI LSTATUS WINAPI RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD /*Reserved*/,
                                                    LPWSTR lpClass, DWORD dwOptions, REGSAM samDesired,
                                                    LPSECURITY_ATTRIBUTES /*lpSecurityAttributes*/,
                                                    PHKEY phkResult, LPDWORD lpdwDisposition) {
  return winapi::GuardedStatus([&]() -> LSTATUS {
    if (!phkResult) return ERROR_INVALID_PARAMETER;
    *phkResult = nullptr;
    if (!lpSubKey) return ERROR_INVALID_PARAMETER;
    constexpr DWORD kKnownOptions = REG_OPTION_VOLATILE | REG_OPTION_BACKUP_RESTORE | REG_OPTION_OPEN_LINK;
    if (dwOptions & ~kKnownOptions) return ERROR_INVALID_PARAMETER;
    const bool makeVolatile = (dwOptions & REG_OPTION_VOLATILE) != 0;
    std::vector<std::wstring> parts;
    if (const DWORD e = SplitKeyPath(lpSubKey, parts)) return static_cast<LSTATUS>(e);

    KeyRef key;
    DWORD disposition = REG_OPENED_EXISTING_KEY;
    // Most creates find the key already there: try that without taking the write lock.
    LSTATUS status = Store::Instance().Read([&](Session& s) -> DWORD {
      if (const DWORD e = ResolveKey(s, hKey, true, key)) return e;
      return Descend(s, key, parts);
    });
    // On the create path the handle is made inside the write, so that a call that fails
    // for want of memory has not created the key.
    HKEY created = nullptr;
    if (status == ERROR_FILE_NOT_FOUND) {
      status = Store::Instance().Write([&](Session& s) -> DWORD {
        if (created) RegCloseKey(std::exchange(created, nullptr));  // from an attempt that was retried
        disposition = REG_OPENED_EXISTING_KEY;
        if (const DWORD e = ResolveKey(s, hKey, true, key)) return e;
        for (size_t i = 0; i < parts.size(); ++i) {
          if (auto child = s.FindChild(key.id, parts[i])) {
            key.id = child->id;
            key.ntPath += L"\\" + child->name;
            key.isVolatile = child->isVolatile;
            continue;
          }
          if (key.isVolatile && !makeVolatile) return ERROR_CHILD_MUST_BE_VOLATILE;
          const std::wstring className = (i + 1 == parts.size() && lpClass) ? lpClass : L"";
          key.id = s.InsertKey(key.id, parts[i], makeVolatile, className);
          key.ntPath += L"\\" + parts[i];
          key.isVolatile = makeVolatile;
          disposition = REG_CREATED_NEW_KEY;
        }
        created = NewKeyHandle(key, EffectiveAccess(samDesired));
        return ERROR_SUCCESS;
      });
      if (status != ERROR_SUCCESS && created) RegCloseKey(created);
    }
    if (status != ERROR_SUCCESS) return status;
    *phkResult = created ? created : NewKeyHandle(key, EffectiveAccess(samDesired));
    if (lpdwDisposition) *lpdwDisposition = disposition;
    return ERROR_SUCCESS;
  });
}

// RegCreateKeyW
extern "C" WINADVAPI LSTATUS WINAPI RegCreateKeyW(HKEY hKey, LPCWSTR lpSubKey, PHKEY phkResult) {
  if (!phkResult) return ERROR_INVALID_PARAMETER;
  if (!lpSubKey || !*lpSubKey) {
    *phkResult = hKey;
    return ERROR_SUCCESS;
  }
  return RegCreateKeyExW(hKey, lpSubKey, 0, nullptr, REG_OPTION_NON_VOLATILE, MAXIMUM_ALLOWED, nullptr, phkResult,
                         nullptr);
}

// RegQueryValueExW
extern "C" WINADVAPI LSTATUS WINAPI RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD /*lpReserved*/,
                                                     LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
  return winapi::GuardedStatus([&]() -> LSTATUS {
    if (lpData && !lpcbData) return ERROR_INVALID_PARAMETER;
    DWORD type = REG_NONE;
    std::string data;
    const LSTATUS status = QueryValue(hKey, lpValueName, type, data);
    if (status != ERROR_SUCCESS) return status;
    if (lpType) *lpType = type;
    return ReturnData(data, lpData, lpcbData);
  });
}

// RegGetValueW
extern "C" WINADVAPI LSTATUS WINAPI RegGetValueW(HKEY hkey, LPCWSTR lpSubKey, LPCWSTR lpValue, DWORD dwFlags,
                                                 LPDWORD pdwType, PVOID pvData, LPDWORD pcbData) {
  return winapi::GuardedStatus([&]() -> LSTATUS {
    if (pvData && !pcbData) return ERROR_INVALID_PARAMETER;
    if ((dwFlags & RRF_RT_ANY) == 0) return ERROR_INVALID_PARAMETER;
    // Asking for REG_EXPAND_SZ by name only makes sense when nothing gets expanded.
    const bool anyType = (dwFlags & RRF_RT_ANY) == RRF_RT_ANY;
    if ((dwFlags & RRF_RT_REG_EXPAND_SZ) && !(dwFlags & RRF_NOEXPAND) && !anyType) return ERROR_INVALID_PARAMETER;
    const DWORD capacity = pcbData ? *pcbData : 0;
    auto fail = [&](LSTATUS status) {
      if (pvData && (dwFlags & RRF_ZEROONFAILURE) && capacity) std::memset(pvData, 0, capacity);
      return status;
    };

    HKEY opened = nullptr;
    if (lpSubKey && *lpSubKey) {
      const LSTATUS status = OpenKey(hkey, lpSubKey, KEY_QUERY_VALUE, &opened);
      if (status != ERROR_SUCCESS) return fail(status);
    }
    const KeyCloser closer(opened);
    DWORD type = REG_NONE;
    std::string data;
    const LSTATUS status = QueryValue(opened ? opened : hkey, lpValue, type, data);
    if (status != ERROR_SUCCESS) return fail(status);

    if (type == REG_EXPAND_SZ && !(dwFlags & RRF_NOEXPAND)) {
      data = ApiFromWide(ExpandEnvironment(WideFromApi(data).c_str()));
      type = REG_SZ;
    }
    if (!TypeAllowed(dwFlags, type, data.size())) return fail(ERROR_UNSUPPORTED_TYPE);
    if ((type == REG_DWORD && data.size() != 4) || (type == REG_QWORD && data.size() != 8)) {
      return fail(ERROR_DATATYPE_MISMATCH);
    }
    if (IsStringType(type)) {
      // The caller always gets terminated strings, and MULTI_SZ lists end with two zeros.
      std::wstring text = WideFromApi(data);
      if (text.empty() || text.back() != L'\0') text.push_back(L'\0');
      if (type == REG_MULTI_SZ && (text.size() < 2 || text[text.size() - 2] != L'\0')) text.push_back(L'\0');
      data = ApiFromWide(text);
    }
    if (pdwType) *pdwType = type;
    const LSTATUS result = ReturnData(data, static_cast<LPBYTE>(pvData), pcbData);
    return result == ERROR_SUCCESS ? result : fail(result);
  });
}

// RegSetValueExW
extern "C" WINADVAPI LSTATUS WINAPI RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD /*Reserved*/, DWORD dwType,
                                                   CONST BYTE* lpData, DWORD cbData) {
  if (!lpData && cbData != 0) return ERROR_NOACCESS;
  return winapi::GuardedStatus([&] {
    const std::string stored = StoredFromApi(dwType, lpData, cbData);
    const std::wstring name = NameOrDefault(lpValueName);
    return Store::Instance().Write([&](Session& s) -> DWORD {
      KeyRef key;
      if (const DWORD e = ResolveKey(s, hKey, true, key)) return e;
      if (!key.Allows(KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
      s.SetValue(key.id, name, dwType, stored);
      return ERROR_SUCCESS;
    });
  });
}

// RegDeleteValueW
extern "C" WINADVAPI LSTATUS WINAPI RegDeleteValueW(HKEY hKey, LPCWSTR lpValueName) {
  return winapi::GuardedStatus([&] {
    const std::wstring name = NameOrDefault(lpValueName);
    return Store::Instance().Write([&](Session& s) -> DWORD {
      KeyRef key;
      if (const DWORD e = ResolveKey(s, hKey, true, key)) return e;
      if (!key.Allows(KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
      return s.DeleteValue(key.id, name) ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
    });
  });
}

// RegEnumKeyExW
extern "C" WINADVAPI LSTATUS WINAPI RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, LPDWORD lpcchName,
                                                  LPDWORD /*lpReserved*/, LPWSTR lpClass, LPDWORD lpcchClass,
                                                  PFILETIME lpftLastWriteTime) {
  return winapi::GuardedStatus([&]() -> LSTATUS {
    if (!lpName || !lpcchName) return ERROR_INVALID_PARAMETER;
    if (lpClass && !lpcchClass) return ERROR_INVALID_PARAMETER;
    KeyRow child;
    const LSTATUS status = Store::Instance().Read([&](Session& s) -> DWORD {
      KeyRef key;
      if (const DWORD e = ResolveKey(s, hKey, true, key)) return e;
      if (!key.Allows(KEY_ENUMERATE_SUB_KEYS)) return ERROR_ACCESS_DENIED;
      auto row = s.ChildAt(key.id, dwIndex);
      if (!row) return ERROR_NO_MORE_ITEMS;
      child = std::move(*row);
      return ERROR_SUCCESS;
    });
    if (status != ERROR_SUCCESS) return status;
    if (child.name.size() + 1 > *lpcchName) return ERROR_MORE_DATA;
    if (lpClass && child.className.size() + 1 > *lpcchClass) return ERROR_MORE_DATA;
    CopyName(child.name, lpName);
    *lpcchName = static_cast<DWORD>(child.name.size());
    if (lpClass) {
      CopyName(child.className, lpClass);
      *lpcchClass = static_cast<DWORD>(child.className.size());
    }
    if (lpftLastWriteTime) {
      lpftLastWriteTime->dwLowDateTime = static_cast<DWORD>(child.lastWrite);
      lpftLastWriteTime->dwHighDateTime = static_cast<DWORD>(static_cast<uint64_t>(child.lastWrite) >> 32);
    }
    return ERROR_SUCCESS;
  });
}

// RegEnumValueW
extern "C" WINADVAPI LSTATUS WINAPI RegEnumValueW(HKEY hKey, DWORD dwIndex, LPWSTR lpValueName,
                                                  LPDWORD lpcchValueName, LPDWORD /*lpReserved*/, LPDWORD lpType,
                                                  LPBYTE lpData, LPDWORD lpcbData) {
  return winapi::GuardedStatus([&]() -> LSTATUS {
    if (!lpValueName || !lpcchValueName) return ERROR_INVALID_PARAMETER;
    if (lpData && !lpcbData) return ERROR_INVALID_PARAMETER;
    ValueRow value;
    const LSTATUS status = Store::Instance().Read([&](Session& s) -> DWORD {
      KeyRef key;
      if (const DWORD e = ResolveKey(s, hKey, true, key)) return e;
      if (!key.Allows(KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
      auto row = s.ValueAt(key.id, dwIndex);
      if (!row) return ERROR_NO_MORE_ITEMS;
      value = std::move(*row);
      return ERROR_SUCCESS;
    });
    if (status != ERROR_SUCCESS) return status;
    if (value.name.size() + 1 > *lpcchValueName) return ERROR_MORE_DATA;
    CopyName(value.name, lpValueName);
    *lpcchValueName = static_cast<DWORD>(value.name.size());
    if (lpType) *lpType = value.type;
    return ReturnData(ApiFromStored(value.type, value.data), lpData, lpcbData);
  });
}

// RegQueryInfoKeyW
extern "C" WINADVAPI LSTATUS WINAPI RegQueryInfoKeyW(HKEY hKey, LPWSTR lpClass, LPDWORD lpcchClass,
                                                     LPDWORD /*lpReserved*/, LPDWORD lpcSubKeys,
                                                     LPDWORD lpcbMaxSubKeyLen, LPDWORD lpcbMaxClassLen,
                                                     LPDWORD lpcValues, LPDWORD lpcbMaxValueNameLen,
                                                     LPDWORD lpcbMaxValueLen, LPDWORD lpcbSecurityDescriptor,
                                                     PFILETIME lpftLastWriteTime) {
  return winapi::GuardedStatus([&]() -> LSTATUS {
    if (lpClass && !lpcchClass) return ERROR_INVALID_PARAMETER;
    KeyRow self;
    KeyStats stats;
    const LSTATUS status = Store::Instance().Read([&](Session& s) -> DWORD {
      KeyRef key;
      if (const DWORD e = ResolveKey(s, hKey, false, key)) return e;
      if (!key.Allows(KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
      auto row = s.GetKey(key.id);
      if (!row) return ERROR_KEY_DELETED;
      self = std::move(*row);
      stats = s.Stats(key.id);
      return ERROR_SUCCESS;
    });
    if (status != ERROR_SUCCESS) return status;
    if (lpcchClass) {
      const DWORD capacity = *lpcchClass;
      *lpcchClass = static_cast<DWORD>(self.className.size());
      if (lpClass) {
        if (self.className.size() + 1 > capacity) return ERROR_MORE_DATA;
        CopyName(self.className, lpClass);
      }
    }
    if (lpcSubKeys) *lpcSubKeys = stats.subKeys;
    if (lpcbMaxSubKeyLen) *lpcbMaxSubKeyLen = stats.maxSubKeyName;
    if (lpcbMaxClassLen) *lpcbMaxClassLen = stats.maxClass;
    if (lpcValues) *lpcValues = stats.values;
    if (lpcbMaxValueNameLen) *lpcbMaxValueNameLen = stats.maxValueName;
    if (lpcbMaxValueLen) *lpcbMaxValueLen = stats.maxValueData;
    // Keys carry no security descriptors here; report the size of an empty self-relative one.
    if (lpcbSecurityDescriptor) *lpcbSecurityDescriptor = 20;
    if (lpftLastWriteTime) {
      lpftLastWriteTime->dwLowDateTime = static_cast<DWORD>(self.lastWrite);
      lpftLastWriteTime->dwHighDateTime = static_cast<DWORD>(static_cast<uint64_t>(self.lastWrite) >> 32);
    }
    return ERROR_SUCCESS;
  });
}

// RegDeleteKeyExW
extern "C" WINADVAPI LSTATUS WINAPI RegDeleteKeyExW(HKEY hKey, LPCWSTR lpSubKey, REGSAM /*samDesired*/,
                                                    DWORD /*Reserved*/) {
  return winapi::GuardedStatus([&]() -> LSTATUS {
    if (!lpSubKey) return ERROR_INVALID_PARAMETER;
    std::vector<std::wstring> parts;
    if (const DWORD e = SplitKeyPath(lpSubKey, parts)) return static_cast<LSTATUS>(e);
    return Store::Instance().Write([&](Session& s) -> DWORD {
      KeyRef key;
      if (const DWORD e = ResolveKey(s, hKey, true, key)) return e;
      if (const DWORD e = Descend(s, key, parts)) return e;
      if (key.predefined) return ERROR_ACCESS_DENIED;
      const auto row = s.GetKey(key.id);
      if (!row || row->parent == 0) return ERROR_ACCESS_DENIED;
      // Windows refuses to delete a key that still has subkeys.
      if (s.CountChildren(key.id) != 0) return ERROR_ACCESS_DENIED;
      s.DeleteKey(key.id);
      s.Touch(row->parent);
      return ERROR_SUCCESS;
    });
  });
}

// RegDeleteKeyW
extern "C" WINADVAPI LSTATUS WINAPI RegDeleteKeyW(HKEY hKey, LPCWSTR lpSubKey) {
  return RegDeleteKeyExW(hKey, lpSubKey, 0, 0);
}

// RegDeleteTreeW
extern "C" WINADVAPI LSTATUS WINAPI RegDeleteTreeW(HKEY hKey, LPCWSTR lpSubKey) {
  return winapi::GuardedStatus([&]() -> LSTATUS {
    std::vector<std::wstring> parts;
    if (const DWORD e = SplitKeyPath(lpSubKey, parts)) return static_cast<LSTATUS>(e);
    return Store::Instance().Write([&](Session& s) -> DWORD {
      KeyRef key;
      if (const DWORD e = ResolveKey(s, hKey, true, key)) return e;
      if (const DWORD e = Descend(s, key, parts)) return e;
      if (parts.empty()) {
        // The key itself stays; its values and subkeys go.
        s.DeleteChildren(key.id);
        s.DeleteValues(key.id);
        s.Touch(key.id);
        return ERROR_SUCCESS;
      }
      const auto row = s.GetKey(key.id);
      if (!row) return ERROR_KEY_DELETED;
      s.DeleteKey(key.id);
      s.Touch(row->parent);
      return ERROR_SUCCESS;
    });
  });
}

// RegFlushKey
extern "C" WINADVAPI LSTATUS WINAPI RegFlushKey(HKEY hKey) {
  // Every write is committed when its call returns; there is nothing left to flush.
  return Store::Instance().Read([&](Session& s) -> DWORD {
    KeyRef key;
    return ResolveKey(s, hKey, true, key);
  });
}
