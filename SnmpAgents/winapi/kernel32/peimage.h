// Resources of Windows PE images read from their file bytes, bounds-checked throughout:
// a truncated or corrupt image yields an error code, never a read outside the bytes.
#pragma once
#include <windows.h>

#include <cstdint>
#include <span>
#include <string>

namespace winapi {

inline constexpr uint16_t kResourceTypeVersion = 16;
inline constexpr uint16_t kResourceTypeMessageTable = 11;

bool LooksLikePeImage(std::span<const uint8_t> bytes);

// The data of resource (type, name) in `language`; name 0 takes the first name, language
// 0 the neutral, then the US English, then the first language present. Returns a Win32
// error: ERROR_BAD_EXE_FORMAT, ERROR_RESOURCE_DATA_NOT_FOUND (no resource section),
// ERROR_RESOURCE_TYPE_NOT_FOUND, ERROR_RESOURCE_NAME_NOT_FOUND, ERROR_RESOURCE_LANG_NOT_FOUND.
DWORD FindPeResource(std::span<const uint8_t> image, uint16_t type, uint16_t name, uint16_t language,
                     std::span<const uint8_t>& data);

// Message `id` of a MESSAGE_RESOURCE_DATA block (a message table resource or a .bin file
// as the message compiler writes it). ERROR_MR_MID_NOT_FOUND when the table lacks it,
// ERROR_RESOURCE_TYPE_NOT_FOUND when the bytes are no message table at all.
DWORD FindMessageText(std::span<const uint8_t> table, DWORD id, std::wstring& text);

}  // namespace winapi
