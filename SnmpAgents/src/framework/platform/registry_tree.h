// The registry path behind an open key, and deletion of a key with all its subkeys.
#pragma once

#include <windows.h>

#include <string>

// The path below HKEY_LOCAL_MACHINE of an open key; false when the name cannot be read or
// the key lies elsewhere.
bool GetRegistryKeyPath(std::wstring& path, HKEY key);

// Deletes subkey of key with everything below it; without a subkey, what key holds (as
// RegDeleteTreeW does). Returns a Win32 error code; ERROR_INVALID_HANDLE for a null key.
LONG DeleteRegistryTree(HKEY key, const wchar_t* subkey, REGSAM access);

namespace fw::platform {

// DeleteRegistryTree's way where RegDeleteTreeW is missing: subkey by subkey, a subkey that
// cannot be deleted skipped; without a subkey, key itself goes too (found by its path below
// HKEY_LOCAL_MACHINE).
LONG DeleteRegistryTreeByHand(HKEY key, const wchar_t* subkey, REGSAM access);

}  // namespace fw::platform
