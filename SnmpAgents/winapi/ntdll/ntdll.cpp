// Native API: the name of an open registry key.
#include "../advapi32/registry_key.h"

#include <winternl.h>

#include <cstddef>
#include <cstring>

// NtQueryKey
extern "C" NTSYSAPI NTSTATUS NTAPI NtQueryKey(HANDLE KeyHandle, KEY_INFORMATION_CLASS KeyInformationClass,
                                              PVOID KeyInformation, ULONG Length, PULONG ResultLength) {
  if (KeyInformationClass < KeyBasicInformation || KeyInformationClass >= MaxKeyInfoClass) {
    return STATUS_INVALID_INFO_CLASS;
  }
  // Predefined keys are not handles at this level, as on Windows.
  auto key = winapi::LookupHandleAs<winapi::registry::RegistryKey>(KeyHandle);
  if (!key) return STATUS_INVALID_HANDLE;
  if (KeyInformationClass != KeyNameInformation) return STATUS_NOT_IMPLEMENTED;
  if (!ResultLength) return STATUS_ACCESS_VIOLATION;
  bool deleted = false;
  const DWORD error = winapi::registry::Store::Instance().Read([&](winapi::registry::Session& s) -> DWORD {
    deleted = !s.GetKey(key->Id());
    return ERROR_SUCCESS;
  });
  if (error != ERROR_SUCCESS) return STATUS_INVALID_HANDLE;
  if (deleted) return STATUS_KEY_DELETED;

  const std::wstring& name = key->NtPath();
  const ULONG header = offsetof(KEY_NAME_INFORMATION, Name);
  const auto nameBytes = static_cast<ULONG>(name.size() * sizeof(WCHAR));
  *ResultLength = header + nameBytes;
  if (!KeyInformation || Length < header) return STATUS_BUFFER_TOO_SMALL;
  auto* info = static_cast<KEY_NAME_INFORMATION*>(KeyInformation);
  info->NameLength = nameBytes;
  // Whatever fits is copied; the name is not terminated.
  const ULONG copied = Length - header < nameBytes ? Length - header : nameBytes;
  std::memcpy(info->Name, name.data(), copied);
  return copied < nameBytes ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}
