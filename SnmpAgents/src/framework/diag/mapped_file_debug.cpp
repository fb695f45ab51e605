#include "mapped_file_debug.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <utility>

#include "trace_text.h"

namespace fw::diag {

namespace {

constexpr wchar_t kEndMarker[] = L"\r\n[EOF]\r\n";
constexpr ULONGLONG kEndMarkerBytes = (std::size(kEndMarker) - 1) * 2;
// Room for the byte order mark and at least one marker; a smaller ring is refused.
constexpr ULONGLONG kMinimumLimit = 64;

bool StartsWithBom(const BYTE* view, ULONGLONG size) {
  return size >= 2 && view[0] == 0xFF && view[1] == 0xFE;
}

}  // namespace

bool CMappedFileDebug::Open(const std::wstring& path, ULONGLONG limit) {
  if (limit < kMinimumLimit || path.empty()) return false;
  CKernelHandle file(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return false;
  LARGE_INTEGER size{};
  CKernelHandle mapping;
  void* view = nullptr;
  if (GetFileSizeEx(file.Get(), &size)) {
    mapping.Reset(CreateFileMappingW(file.Get(), nullptr, PAGE_READWRITE, static_cast<DWORD>(limit >> 32),
                                     static_cast<DWORD>(limit & 0xFFFFFFFFu), nullptr));
  }
  if (mapping) view = MapViewOfFile(mapping.Get(), FILE_MAP_ALL_ACCESS, 0, 0, static_cast<SIZE_T>(limit));
  if (!view) return false;
  m_path = path;
  m_limit = limit;
  m_file = std::move(file);
  m_mapping = std::move(mapping);
  m_view = static_cast<BYTE*>(view);
  m_lastWrap = 0;
  m_markerEnd = 0;
  const auto existing = static_cast<ULONGLONG>(size.QuadPart);
  if (existing == 0) {
    std::memcpy(m_view, kUtf16LeBom, 2);
    m_writeOffset = m_wrapStart = 2;
    return true;
  }
  // An existing ring keeps its byte order mark across wraps; text goes on at an even offset.
  m_wrapStart = StartsWithBom(m_view, existing) ? 2 : 0;
  m_writeOffset = std::min(limit, existing + (existing & 1));
  return true;
}

void CMappedFileDebug::Close() {
  if (m_view) UnmapViewOfFile(m_view);
  m_mapping.Reset();
  if (m_file) {
    // The mapping extended the file to the full limit; keep only what holds text.
    const ULONGLONG used = m_lastWrap ? std::max({m_lastWrap, m_writeOffset, m_markerEnd}) : m_writeOffset;
    LARGE_INTEGER end{};
    end.QuadPart = static_cast<LONGLONG>(used);
    if (SetFilePointerEx(m_file.Get(), end, nullptr, FILE_BEGIN)) SetEndOfFile(m_file.Get());
    m_file.Reset();
  }
  m_view = nullptr;
  m_path.clear();
  m_limit = m_writeOffset = m_wrapStart = m_lastWrap = m_markerEnd = 0;
}

// Wraps early enough that the end marker always fits after the newest text.
void CMappedFileDebug::WritePiece(const std::string& bytes) {
  const ULONGLONG reserve = kEndMarkerBytes;
  ULONGLONG size = bytes.size();
  if (m_writeOffset + size + reserve > m_limit) {
    m_lastWrap = m_writeOffset;
    m_writeOffset = m_wrapStart;
  }
  // A piece larger than the whole ring is cut to the ring, at a character boundary.
  const ULONGLONG room = m_limit - reserve - m_writeOffset;
  if (size > room) size = room & ~ULONGLONG{1};
  std::memcpy(m_view + m_writeOffset, bytes.data(), static_cast<std::size_t>(size));
  m_writeOffset += size;
}

void CMappedFileDebug::WriteEndMarker() {
  std::string marker;
  AppendUtf16Le(marker, kEndMarker);
  const ULONGLONG size = std::min<ULONGLONG>(marker.size(), m_limit - m_writeOffset);
  std::memcpy(m_view + m_writeOffset, marker.data(), static_cast<std::size_t>(size));
  m_markerEnd = m_writeOffset + size;
}

void CMappedFileDebug::Write(const std::wstring& path, ULONGLONG limit, std::wstring_view line) {
  if (!IsOpenFor(path, limit)) {
    Close();
    if (!Open(path, limit)) return;
  }
  std::string bytes;
  ForEachTracePiece(line, [&](std::wstring_view piece, bool) {
    bytes.clear();
    AppendUtf16Le(bytes, piece);
    WritePiece(bytes);
  });
  if (m_lastWrap) WriteEndMarker();
}

}  // namespace fw::diag
