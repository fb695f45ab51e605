// Append-mode trace file: opened and closed for every line so that other processes and the
// rotation always see a closed file; a named mutex serialises the writers of one file.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

#include "win32_handle.h"

namespace fw::diag {

class CFileDebug {
 public:
  CFileDebug() = default;
  ~CFileDebug();
  CFileDebug(const CFileDebug&) = delete;
  CFileDebug& operator=(const CFileDebug&) = delete;

  // A new path gets its own mutex; the same path keeps the one it has.
  void SetPath(const std::wstring& path, bool withMutex);
  const std::wstring& Path() const { return m_path; }
  void SetLimit(ULONGLONG limit) { m_limit = limit; }
  bool HasMutex() const { return static_cast<bool>(m_mutex); }

  // Appends one line (newlines written as "\r\n"); the line is lost when the file cannot
  // be opened. Moves the file to path + ".txt" once it has reached the limit.
  void Write(std::wstring_view line);

 private:
  void CloseMutex();
  void RotateFile();

  std::wstring m_path;
  ULONGLONG m_limit = 0;
  CKernelHandle m_mutex;
};

}  // namespace fw::diag
