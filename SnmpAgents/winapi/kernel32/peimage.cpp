#include "peimage.h"

#include <algorithm>
#include <optional>
#include <vector>

#include "codepage.h"
#include "wide_text.h"

namespace winapi {
namespace {

std::optional<uint16_t> Read16(std::span<const uint8_t> bytes, uint64_t offset) {
  if (offset + 2 > bytes.size()) return std::nullopt;
  return static_cast<uint16_t>(bytes[offset] | (bytes[offset + 1] << 8));
}

std::optional<uint32_t> Read32(std::span<const uint8_t> bytes, uint64_t offset) {
  if (offset + 4 > bytes.size()) return std::nullopt;
  return static_cast<uint32_t>(bytes[offset]) | (static_cast<uint32_t>(bytes[offset + 1]) << 8) |
         (static_cast<uint32_t>(bytes[offset + 2]) << 16) | (static_cast<uint32_t>(bytes[offset + 3]) << 24);
}

struct Section {
  uint32_t virtualAddress;
  uint32_t rawSize;
  uint32_t rawOffset;
};

class PeImage {
 public:
  explicit PeImage(std::span<const uint8_t> bytes) : bytes_(bytes) {}

  DWORD Parse() {
    if (!LooksLikePeImage(bytes_)) return ERROR_BAD_EXE_FORMAT;
    const auto peOffset = Read32(bytes_, 0x3C);
    if (!peOffset || Read32(bytes_, *peOffset) != 0x00004550u) return ERROR_BAD_EXE_FORMAT;
    const uint64_t fileHeader = uint64_t{*peOffset} + 4;
    const auto sectionCount = Read16(bytes_, fileHeader + 2);
    const auto optionalSize = Read16(bytes_, fileHeader + 16);
    const uint64_t optional = fileHeader + 20;
    const auto magic = Read16(bytes_, optional);
    if (!sectionCount || !optionalSize || !magic) return ERROR_BAD_EXE_FORMAT;
    uint64_t directoryCountAt = 0, directories = 0;
    if (*magic == 0x10B) directoryCountAt = optional + 92, directories = optional + 96;
    else if (*magic == 0x20B) directoryCountAt = optional + 108, directories = optional + 112;
    else return ERROR_BAD_EXE_FORMAT;
    const auto directoryCount = Read32(bytes_, directoryCountAt);
    if (!directoryCount) return ERROR_BAD_EXE_FORMAT;
    const uint64_t sectionTable = optional + *optionalSize;
    for (uint32_t i = 0; i < *sectionCount; ++i) {
      const uint64_t header = sectionTable + 40ull * i;
      const auto va = Read32(bytes_, header + 12), rawSize = Read32(bytes_, header + 16),
                 rawOffset = Read32(bytes_, header + 20);
      if (!va || !rawSize || !rawOffset) return ERROR_BAD_EXE_FORMAT;
      sections_.push_back({*va, *rawSize, *rawOffset});
    }
    if (*directoryCount < 3) return ERROR_RESOURCE_DATA_NOT_FOUND;
    const auto resourceRva = Read32(bytes_, directories + 2 * 8);
    const auto resourceSize = Read32(bytes_, directories + 2 * 8 + 4);
    if (!resourceRva || !resourceSize) return ERROR_BAD_EXE_FORMAT;
    if (*resourceRva == 0 || *resourceSize == 0) return ERROR_RESOURCE_DATA_NOT_FOUND;
    resources_ = FileBytesAt(*resourceRva, 16);
    if (resources_.empty()) return ERROR_BAD_EXE_FORMAT;
    // The directory may reach to the end of its section, whatever the size field says.
    resources_ = FileBytesAt(*resourceRva, 0);
    return ERROR_SUCCESS;
  }

  // The file bytes behind an RVA range; length 0 means "to the end of the section".
  std::span<const uint8_t> FileBytesAt(uint32_t rva, uint32_t length) const {
    for (const auto& s : sections_) {
      if (rva < s.virtualAddress || rva - s.virtualAddress >= s.rawSize) continue;
      const uint64_t within = rva - s.virtualAddress;
      const uint64_t available = s.rawSize - within;
      const uint64_t wanted = length ? length : available;
      const uint64_t offset = uint64_t{s.rawOffset} + within;
      if (wanted > available || offset + wanted > bytes_.size()) return {};
      return bytes_.subspan(offset, wanted);
    }
    return {};
  }

  std::span<const uint8_t> Resources() const { return resources_; }

 private:
  std::span<const uint8_t> bytes_;
  std::vector<Section> sections_;
  std::span<const uint8_t> resources_;
};

struct DirectoryEntry {
  uint32_t id;
  bool named;
  bool subdirectory;
  uint32_t offset;
};

// Entries of the resource directory at `offset`; false when it runs outside the section.
bool ReadDirectory(std::span<const uint8_t> resources, uint32_t offset, std::vector<DirectoryEntry>& entries) {
  const auto named = Read16(resources, uint64_t{offset} + 12), ids = Read16(resources, uint64_t{offset} + 14);
  if (!named || !ids) return false;
  const uint32_t count = uint32_t{*named} + *ids;
  for (uint32_t i = 0; i < count; ++i) {
    const uint64_t at = uint64_t{offset} + 16 + 8ull * i;
    const auto name = Read32(resources, at), target = Read32(resources, at + 4);
    if (!name || !target) return false;
    entries.push_back({*name & 0x7FFFFFFF, (*name & 0x80000000u) != 0, (*target & 0x80000000u) != 0,
                       *target & 0x7FFFFFFF});
  }
  return true;
}

const DirectoryEntry* FindById(const std::vector<DirectoryEntry>& entries, uint32_t id) {
  for (const auto& entry : entries)
    if (!entry.named && entry.id == id) return &entry;
  return nullptr;
}

const DirectoryEntry* ChooseLanguage(const std::vector<DirectoryEntry>& entries, uint16_t language) {
  if (language != 0) return FindById(entries, language);
  for (uint16_t preferred : {uint16_t{0x0000}, uint16_t{0x0409}, uint16_t{0x0400}, uint16_t{0x0800}})
    if (const auto* entry = FindById(entries, preferred)) return entry;
  return entries.empty() ? nullptr : &entries.front();
}

std::wstring DecodeMessage(std::span<const uint8_t> text, uint16_t flags) {
  constexpr uint16_t kUnicode = 0x0001, kUtf8 = 0x0002;
  if (flags & kUnicode) {
    size_t units = text.size() / 2;
    for (size_t i = 0; i < units; ++i) {
      if (text[2 * i] == 0 && text[2 * i + 1] == 0) {
        units = i;
        break;
      }
    }
    return WideFromUtf16Bytes(text.data(), units);
  }
  const auto end = std::find(text.begin(), text.end(), uint8_t{0});
  const std::string narrow(text.begin(), end);
  return (flags & kUtf8) ? WideFromUtf8(narrow) : WideFromAnsi(narrow);
}

}  // namespace

bool LooksLikePeImage(std::span<const uint8_t> bytes) { return bytes.size() >= 0x40 && bytes[0] == 'M' && bytes[1] == 'Z'; }

DWORD FindPeResource(std::span<const uint8_t> bytes, uint16_t type, uint16_t name, uint16_t language,
                     std::span<const uint8_t>& data) {
  PeImage image(bytes);
  if (DWORD error = image.Parse()) return error;
  const auto resources = image.Resources();
  std::vector<DirectoryEntry> types, names, languages;
  if (!ReadDirectory(resources, 0, types)) return ERROR_BAD_EXE_FORMAT;
  const DirectoryEntry* typeEntry = FindById(types, type);
  if (!typeEntry || !typeEntry->subdirectory) return ERROR_RESOURCE_TYPE_NOT_FOUND;
  if (!ReadDirectory(resources, typeEntry->offset, names)) return ERROR_BAD_EXE_FORMAT;
  const DirectoryEntry* nameEntry = name ? FindById(names, name) : (names.empty() ? nullptr : &names.front());
  if (!nameEntry || !nameEntry->subdirectory) return ERROR_RESOURCE_NAME_NOT_FOUND;
  if (!ReadDirectory(resources, nameEntry->offset, languages)) return ERROR_BAD_EXE_FORMAT;
  const DirectoryEntry* languageEntry = ChooseLanguage(languages, language);
  if (!languageEntry || languageEntry->subdirectory) return ERROR_RESOURCE_LANG_NOT_FOUND;
  const auto dataRva = Read32(resources, languageEntry->offset), dataSize = Read32(resources, uint64_t{languageEntry->offset} + 4);
  if (!dataRva || !dataSize || *dataSize == 0) return ERROR_BAD_EXE_FORMAT;
  data = image.FileBytesAt(*dataRva, *dataSize);
  return data.empty() ? ERROR_BAD_EXE_FORMAT : ERROR_SUCCESS;
}

DWORD FindMessageText(std::span<const uint8_t> table, DWORD id, std::wstring& text) {
  const auto blockCount = Read32(table, 0);
  if (!blockCount || *blockCount == 0 || 4 + 12ull * *blockCount > table.size()) return ERROR_RESOURCE_TYPE_NOT_FOUND;
  for (uint32_t b = 0; b < *blockCount; ++b) {
    const uint64_t block = 4 + 12ull * b;
    const uint32_t low = *Read32(table, block), high = *Read32(table, block + 4), entries = *Read32(table, block + 8);
    if (low > high || entries >= table.size()) return ERROR_RESOURCE_TYPE_NOT_FOUND;
    if (id < low || id > high) continue;
    uint64_t at = entries;
    // Each entry is at least its 4-byte header long, so this walk ends within the table.
    for (uint32_t current = low;; ++current) {
      const auto length = Read16(table, at), flags = Read16(table, at + 2);
      if (!length || !flags || *length < 4 || at + *length > table.size()) return ERROR_MR_MID_NOT_FOUND;
      if (current == id) {
        text = DecodeMessage(table.subspan(at + 4, *length - 4u), *flags);
        return ERROR_SUCCESS;
      }
      at += *length;
    }
  }
  return ERROR_MR_MID_NOT_FOUND;
}

}  // namespace winapi
