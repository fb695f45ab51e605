// Memory-mapped ring trace file: a fixed-size UTF-16 LE file that wraps around, overwriting
// its oldest text, with "\r\n[EOF]\r\n" after the newest line once it has wrapped.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

#include "win32_handle.h"

namespace fw::diag {

class CMappedFileDebug {
 public:
  CMappedFileDebug() = default;
  ~CMappedFileDebug() { Close(); }
  CMappedFileDebug(const CMappedFileDebug&) = delete;
  CMappedFileDebug& operator=(const CMappedFileDebug&) = delete;

  // Opens on first use; a line that cannot be written (no file, no mapping) is lost.
  void Write(const std::wstring& path, ULONGLONG limit, std::wstring_view line);

  // Unmaps and cuts the file to the length in use.
  void Close();

  bool IsOpenFor(const std::wstring& path, ULONGLONG limit) const {
    return m_view != nullptr && path == m_path && limit == m_limit;
  }

 private:
  bool Open(const std::wstring& path, ULONGLONG limit);
  void WritePiece(const std::string& bytes);
  void WriteEndMarker();

  std::wstring m_path;
  ULONGLONG m_limit = 0;
  ULONGLONG m_writeOffset = 0;
  ULONGLONG m_wrapStart = 0;
  ULONGLONG m_lastWrap = 0;  // 0: never wrapped
  ULONGLONG m_markerEnd = 0;
  CKernelHandle m_file;
  CKernelHandle m_mapping;
  BYTE* m_view = nullptr;
};

}  // namespace fw::diag
