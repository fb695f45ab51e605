// Open registry keys in the handle table, and what an HKEY stands for.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

#include "handles.h"
#include "registry_store.h"

namespace winapi::registry {

// One open key. The key is named by its store id, so a key deleted (and maybe
// re-created) behind the handle is noticed instead of silently followed.
class RegistryKey : public KernelObject {
 public:
  RegistryKey(KeyId id, std::wstring ntPath, REGSAM access, bool isVolatile)
      : id_(id), ntPath_(std::move(ntPath)), access_(access), isVolatile_(isVolatile) {}
  const char* TypeName() const override { return "Key"; }

  KeyId Id() const { return id_; }
  const std::wstring& NtPath() const { return ntPath_; }
  REGSAM Access() const { return access_; }
  bool IsVolatile() const { return isVolatile_; }

 private:
  KeyId id_;
  std::wstring ntPath_;  // \REGISTRY\MACHINE\..., as NtQueryKey reports it
  REGSAM access_;
  bool isVolatile_;
};

// A resolved HKEY: a predefined key (full access) or an open handle.
struct KeyRef {
  KeyId id = 0;
  std::wstring ntPath;
  REGSAM access = 0;
  bool isVolatile = false;
  bool predefined = false;

  bool Allows(REGSAM needed) const { return predefined || (access & needed) == needed; }
};

// Closes a registry key on scope exit.
class KeyCloser {
 public:
  explicit KeyCloser(HKEY key) : key_(key) {}
  ~KeyCloser() {
    if (key_) RegCloseKey(key_);
  }
  KeyCloser(const KeyCloser&) = delete;
  KeyCloser& operator=(const KeyCloser&) = delete;
  HKEY Get() const { return key_; }

 private:
  HKEY key_;
};

bool IsPredefined(HKEY key);
// Resolves a key; with checkExists a handle whose key is gone gives ERROR_KEY_DELETED.
DWORD ResolveKey(Session& session, HKEY key, bool checkExists, KeyRef& out);

// Splits a relative key path at backslashes; a trailing backslash is allowed,
// a leading one or an empty component is ERROR_BAD_PATHNAME.
DWORD SplitKeyPath(const wchar_t* path, std::vector<std::wstring>& parts);

// Access rights with generic rights mapped and the WOW64 view flags dropped (one view).
REGSAM EffectiveAccess(REGSAM desired);

}  // namespace winapi::registry
