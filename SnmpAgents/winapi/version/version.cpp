// Version resources of PE images (RT_VERSION) and of ELF binaries (section ".winver").
//
// The caller's buffer holds the resource as Windows lays it out, followed by an area
// twice its size in which the text value at resource offset o is kept as a wchar_t string
// starting at area offset 2*o: UTF-16 needs at most two bytes a character where wchar_t
// needs four, so every string fits in its slot. Bit 15 of the root node's type says the
// area is there (the buffer was large enough).
#include <windows.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "errors.h"
#include "fileobject.h"
#include "paths.h"
#include "peimage.h"
#include "wide_text.h"

namespace winapi {
namespace {

constexpr uint16_t kWideAreaPresent = 0x8000;

using Bytes = std::vector<uint8_t>;

uint16_t Get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t Get32(const uint8_t* p) { return Get16(p) | (static_cast<uint32_t>(Get16(p + 2)) << 16); }
uint64_t Get64(const uint8_t* p) { return Get32(p) | (static_cast<uint64_t>(Get32(p + 4)) << 32); }
size_t Align4(size_t value) { return (value + 3) & ~size_t{3}; }

class HostFile {
 public:
  explicit HostFile(const std::string& path) : fd_(open(path.c_str(), O_RDONLY | O_CLOEXEC)) {}
  ~HostFile() {
    if (fd_ >= 0) close(fd_);
  }
  HostFile(const HostFile&) = delete;
  HostFile& operator=(const HostFile&) = delete;

  bool IsOpen() const { return fd_ >= 0; }
  bool ReadAt(uint64_t offset, size_t size, Bytes& out) const {
    out.resize(size);
    size_t done = 0;
    while (done < size) {
      const ssize_t n = pread(fd_, out.data() + done, size - done, static_cast<off_t>(offset + done));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      done += static_cast<size_t>(n);
    }
    return true;
  }
  uint64_t Size() const {
    const off_t end = lseek(fd_, 0, SEEK_END);
    return end < 0 ? 0 : static_cast<uint64_t>(end);
  }

 private:
  int fd_;
};

// The ".winver" section of a 64-bit little-endian ELF file.
DWORD ElfVersionSection(const HostFile& file, Bytes& blob) {
  Bytes header;
  if (!file.ReadAt(0, 64, header) || header[4] != 2 || header[5] != 1) return ERROR_RESOURCE_TYPE_NOT_FOUND;
  const uint64_t sectionTable = Get64(&header[0x28]);
  const uint16_t entrySize = Get16(&header[0x3A]), count = Get16(&header[0x3C]), namesIndex = Get16(&header[0x3E]);
  if (entrySize < 64 || namesIndex >= count) return ERROR_RESOURCE_TYPE_NOT_FOUND;
  Bytes sections;
  if (!file.ReadAt(sectionTable, size_t{entrySize} * count, sections)) return ERROR_RESOURCE_TYPE_NOT_FOUND;
  const uint8_t* names = &sections[size_t{entrySize} * namesIndex];
  const uint64_t namesSize = Get64(names + 0x20);
  Bytes nameTable;
  if (namesSize > (1u << 24) || !file.ReadAt(Get64(names + 0x18), namesSize, nameTable)) return ERROR_RESOURCE_TYPE_NOT_FOUND;
  constexpr char kSection[] = ".winver";
  for (uint16_t i = 0; i < count; ++i) {
    const uint8_t* section = &sections[size_t{entrySize} * i];
    const uint32_t name = Get32(section);
    if (uint64_t{name} + sizeof(kSection) > nameTable.size() ||
        !std::equal(kSection, kSection + sizeof(kSection), nameTable.begin() + name))
      continue;
    const uint64_t size = Get64(section + 0x20);
    if (size < 6 || size > 0xFFFF) return ERROR_RESOURCE_TYPE_NOT_FOUND;
    return file.ReadAt(Get64(section + 0x18), size, blob) ? ERROR_SUCCESS : ERROR_RESOURCE_TYPE_NOT_FOUND;
  }
  return ERROR_RESOURCE_TYPE_NOT_FOUND;
}

DWORD PeVersionResource(const HostFile& file, Bytes& blob) {
  Bytes image;
  const uint64_t size = file.Size();
  if (size > (256u << 20) || !file.ReadAt(0, size, image)) return ERROR_RESOURCE_TYPE_NOT_FOUND;
  std::span<const uint8_t> data;
  DWORD error = FindPeResource(image, kResourceTypeVersion, VS_VERSION_INFO, 0, data);
  if (error == ERROR_RESOURCE_NAME_NOT_FOUND) error = FindPeResource(image, kResourceTypeVersion, 0, 0, data);
  if (error) return ERROR_RESOURCE_TYPE_NOT_FOUND;
  blob.assign(data.begin(), data.end());
  return ERROR_SUCCESS;
}

// The resource, cut to the root node's length; an error code when there is none.
DWORD ReadVersionResource(LPCWSTR fileName, Bytes& blob) {
  if (!fileName || !*fileName) return ERROR_INVALID_PARAMETER;
  const std::string path = ToHostPath(fileName);
  HostFile file(path);
  if (!file.IsOpen()) return errno == ENOENT ? NotFoundError(path) : Win32ErrorFromErrno(errno);
  Bytes magic;
  if (!file.ReadAt(0, 4, magic)) return ERROR_RESOURCE_TYPE_NOT_FOUND;
  DWORD error = ERROR_RESOURCE_TYPE_NOT_FOUND;
  if (magic[0] == 0x7F && magic[1] == 'E' && magic[2] == 'L' && magic[3] == 'F') error = ElfVersionSection(file, blob);
  else if (magic[0] == 'M' && magic[1] == 'Z') error = PeVersionResource(file, blob);
  if (error) return error;
  const uint16_t length = Get16(blob.data());
  if (length < 6 || length > blob.size()) return ERROR_RESOURCE_TYPE_NOT_FOUND;
  blob.resize(length);
  return ERROR_SUCCESS;
}

size_t BufferSizeFor(size_t resourceSize) { return Align4(resourceSize) * 3; }

struct Node {
  size_t offset = 0, end = 0;
  uint16_t type = 0;
  std::u16string key;
  size_t valueOffset = 0, valueBytes = 0;
  size_t children = 0;
};

// One node at `offset`, all of it inside [offset, limit).
bool ParseNode(const uint8_t* block, size_t offset, size_t limit, Node& node) {
  if (offset + 6 > limit) return false;
  const uint16_t length = Get16(block + offset);
  if (length < 6 || offset + length > limit) return false;
  node.offset = offset;
  node.end = offset + length;
  const uint16_t valueLength = Get16(block + offset + 2);
  node.type = Get16(block + offset + 4) & ~kWideAreaPresent;
  size_t at = offset + 6;
  node.key.clear();
  for (; at + 2 <= node.end; at += 2) {
    const char16_t unit = Get16(block + at);
    if (!unit) break;
    node.key += unit;
  }
  at += 2;
  node.valueOffset = std::min(Align4(at), node.end);
  node.valueBytes = std::min<size_t>(node.type == 1 ? size_t{valueLength} * 2 : valueLength, node.end - node.valueOffset);
  node.children = std::min(Align4(node.valueOffset + node.valueBytes), node.end);
  return true;
}

template <class Visit>
void ForEachChild(const uint8_t* block, const Node& parent, Visit visit) {
  for (size_t at = parent.children; at < parent.end;) {
    Node child;
    if (!ParseNode(block, at, parent.end, child)) return;
    if (!visit(child)) return;
    at = Align4(child.end);
  }
}

void WriteWideStrings(uint8_t* block, size_t areaOffset, const Node& node, int depth) {
  if (depth > 8) return;
  if (node.type == 1 && node.valueBytes >= 2) {
    const std::wstring text = WideFromUtf16Bytes(block + node.valueOffset, node.valueBytes / 2);
    auto* target = reinterpret_cast<wchar_t*>(block + areaOffset + 2 * node.valueOffset);
    // The copy, terminator included, stays within the slot of the UTF-16 value.
    const size_t units = node.valueBytes / 2;
    const size_t length = std::min({text.find(L'\0'), text.size(), units - 1});
    std::copy_n(text.begin(), length, target);
    target[length] = L'\0';
  }
  ForEachChild(block, node, [&](const Node& child) {
    WriteWideStrings(block, areaOffset, child, depth + 1);
    return true;
  });
}

std::vector<std::wstring> PathSegments(std::wstring_view path) {
  std::vector<std::wstring> segments;
  std::wstring current;
  for (wchar_t c : path) {
    if (c == L'\\') {
      if (!current.empty()) segments.push_back(current);
      current.clear();
    } else {
      current += c;
    }
  }
  if (!current.empty()) segments.push_back(current);
  return segments;
}

}  // namespace
}  // namespace winapi

using namespace winapi;

// GetFileVersionInfoSizeW: room for the resource and its wide strings.
extern "C" WINADVAPI DWORD WINAPI GetFileVersionInfoSizeW(LPCWSTR lptstrFilename, LPDWORD lpdwHandle) {
  return winapi::GuardedLastError<DWORD>(0, [&]() -> DWORD {
    if (lpdwHandle) *lpdwHandle = 0;
    Bytes blob;
    if (DWORD error = ReadVersionResource(lptstrFilename, blob)) {
      FailWith(error);
      return 0;
    }
    return static_cast<DWORD>(BufferSizeFor(blob.size()));
  });
}

// GetFileVersionInfoW: a buffer smaller than GetFileVersionInfoSizeW asked for gets as much
// of the resource as fits, and VerQueryValueW then finds no strings in it.
extern "C" WINADVAPI BOOL WINAPI GetFileVersionInfoW(LPCWSTR lptstrFilename, DWORD /*dwHandle*/, DWORD dwLen,
                                                     LPVOID lpData) {
  return winapi::GuardedBool([&]() -> BOOL {
    if (!lpData || dwLen == 0) return FailWith(ERROR_INVALID_PARAMETER);
    Bytes blob;
    if (DWORD error = ReadVersionResource(lptstrFilename, blob)) return FailWith(error);
    auto* block = static_cast<uint8_t*>(lpData);
    const size_t needed = BufferSizeFor(blob.size());
    if (dwLen < needed) {
      std::copy_n(blob.begin(), std::min<size_t>(dwLen, blob.size()), block);
      if (dwLen >= 6) block[5] &= 0x7F;  // no wide strings behind it
      return TRUE;
    }
    std::fill_n(block, needed, uint8_t{0});
    std::copy(blob.begin(), blob.end(), block);
    Node root;
    if (ParseNode(block, 0, blob.size(), root)) WriteWideStrings(block, Align4(blob.size()), root, 0);
    block[5] |= kWideAreaPresent >> 8;
    return TRUE;
  });
}

// VerQueryValueW: "\" is the VS_FIXEDFILEINFO, "\VarFileInfo\Translation" the language
// and code page pairs, "\StringFileInfo\<lang><cp>\<name>" a string (length in characters).
extern "C" WINADVAPI BOOL WINAPI VerQueryValueW(LPCVOID pBlock, LPCWSTR lpSubBlock, LPVOID* lplpBuffer, PUINT puLen) {
  return winapi::GuardedBool([&]() -> BOOL {
    if (!pBlock || !lpSubBlock || !lplpBuffer) return FailWith(ERROR_INVALID_PARAMETER);
    const auto* block = static_cast<const uint8_t*>(pBlock);
    const size_t size = Get16(block);
    Node node;
    if (!ParseNode(block, 0, size, node)) return FailWith(ERROR_RESOURCE_TYPE_NOT_FOUND);
    const bool wideArea = (Get16(block + 4) & kWideAreaPresent) != 0;
    const auto segments = PathSegments(lpSubBlock);
    if (segments.empty()) {
      if (node.valueBytes < sizeof(VS_FIXEDFILEINFO)) return FailWith(ERROR_RESOURCE_TYPE_NOT_FOUND);
      *lplpBuffer = const_cast<uint8_t*>(block + node.valueOffset);
      if (puLen) *puLen = sizeof(VS_FIXEDFILEINFO);
      return TRUE;
    }
    for (const auto& segment : segments) {
      const std::u16string wanted = Utf16FromWide(segment);
      bool found = false;
      ForEachChild(block, node, [&](const Node& child) {
        if (!EqualsNoCase(WideFromUtf16(child.key), WideFromUtf16(wanted))) return true;
        node = child;
        found = true;
        return false;
      });
      if (!found) return FailWith(ERROR_RESOURCE_TYPE_NOT_FOUND);
    }
    if (node.type == 1 && node.valueBytes > 0) {
      if (!wideArea) return FailWith(ERROR_INSUFFICIENT_BUFFER);
      auto* text = reinterpret_cast<const wchar_t*>(block + Align4(size) + 2 * node.valueOffset);
      *lplpBuffer = const_cast<wchar_t*>(text);
      if (puLen) *puLen = static_cast<UINT>(WideLength(text) + 1);
      return TRUE;
    }
    *lplpBuffer = const_cast<uint8_t*>(block + node.valueOffset);
    if (puLen) *puLen = static_cast<UINT>(node.valueBytes);
    return TRUE;
  });
}
