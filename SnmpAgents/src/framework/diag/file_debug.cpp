#include "file_debug.h"

#include <string>
#include <vector>

#include "trace_format.h"
#include "trace_settings.h"
#include "trace_text.h"

namespace fw::diag {

namespace {

constexpr DWORD kMutexWaitMs = 100;
constexpr char kConversionFailed[] = "### UNICODE-to-MBCS conversion failed ###\r\n";

class MutexTurn {
 public:
  explicit MutexTurn(HANDLE mutex) : m_mutex(mutex) {
    if (!m_mutex) return;
    const DWORD rc = WaitForSingleObject(m_mutex, kMutexWaitMs);
    m_owned = rc == WAIT_OBJECT_0 || rc == WAIT_ABANDONED;
  }
  ~MutexTurn() {
    if (m_owned) ReleaseMutex(m_mutex);
  }
  MutexTurn(const MutexTurn&) = delete;
  MutexTurn& operator=(const MutexTurn&) = delete;

 private:
  HANDLE m_mutex;
  bool m_owned = false;
};

// The trace file, opened for one line.
CKernelHandle OpenTraceFile(const std::wstring& path) {
  return CKernelHandle(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                                   FILE_ATTRIBUTE_NORMAL, nullptr));
}

bool WriteAll(HANDLE file, const std::string& bytes) {
  DWORD written = 0;
  return WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
         written == bytes.size();
}

// A new file is UTF-16 LE with a byte order mark; an existing one keeps its encoding.
bool PrepareEncoding(HANDLE file, bool& utf16) {
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(file, &size)) return false;
  if (size.QuadPart == 0) {
    utf16 = true;
    return WriteAll(file, std::string(kUtf16LeBom, 2));
  }
  unsigned char head[2] = {};
  DWORD read = 0;
  utf16 = ReadFile(file, head, sizeof(head), &read, nullptr) && read == 2 && head[0] == 0xFF && head[1] == 0xFE;
  LARGE_INTEGER zero{};
  return SetFilePointerEx(file, zero, nullptr, FILE_END) != FALSE;
}

void AppendAnsi(std::string& bytes, std::wstring_view text) {
  const int length = static_cast<int>(text.size());
  const int needed = WideCharToMultiByte(CP_ACP, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
  if (needed <= 0) {
    bytes.append(kConversionFailed);
    return;
  }
  const std::size_t start = bytes.size();
  bytes.resize(start + static_cast<std::size_t>(needed));
  if (WideCharToMultiByte(CP_ACP, 0, text.data(), length, bytes.data() + start, needed, nullptr, nullptr) != needed) {
    bytes.resize(start);
    bytes.append(kConversionFailed);
  }
}

std::string EncodeLine(std::wstring_view line, bool utf16) {
  std::string bytes;
  ForEachTracePiece(line, [&](std::wstring_view piece, bool newline) {
    if (utf16) AppendUtf16Le(bytes, piece);
    else if (newline) bytes.append("\r\n");
    else AppendAnsi(bytes, piece);
  });
  return bytes;
}

bool ReachedLimit(HANDLE file, ULONGLONG limit) {
  LARGE_INTEGER size{};
  return GetFileSizeEx(file, &size) && static_cast<ULONGLONG>(size.QuadPart) >= limit;
}

}  // namespace

CFileDebug::~CFileDebug() { CloseMutex(); }

void CFileDebug::CloseMutex() {
  if (!m_mutex) return;
  // Let go of a turn that this thread might still hold before the handle goes.
  if (WaitForSingleObject(m_mutex.Get(), 0) == WAIT_OBJECT_0) ReleaseMutex(m_mutex.Get());
  m_mutex.Reset();
}

void CFileDebug::SetPath(const std::wstring& path, bool withMutex) {
  if (path != m_path) {
    CloseMutex();
    m_path = path;
  }
  if (!withMutex || m_mutex || m_path.empty()) return;
  m_mutex.Reset(CreateMutexW(nullptr, FALSE, TraceFileMutexName(m_path).c_str()));
}

void CFileDebug::Write(std::wstring_view line) {
  if (m_path.empty()) return;
  const MutexTurn turn(m_mutex.Get());
  CKernelHandle file = OpenTraceFile(m_path);
  if (!file) return;
  bool utf16 = true;
  if (!PrepareEncoding(file.Get(), utf16)) return;
  WriteAll(file.Get(), EncodeLine(line, utf16));
  if (!ReachedLimit(file.Get(), m_limit)) return;
  file.Reset();  // closed before it is moved
  RotateFile();
}

void CFileDebug::RotateFile() {
  const std::wstring older = FormatWide(L"%s.txt", m_path);
  DeleteFileW(older.c_str());
  if (!MoveFileW(m_path.c_str(), older.c_str())) MoveFileW(m_path.c_str(), older.c_str());
}

}  // namespace fw::diag
