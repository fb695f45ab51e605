// Files and directories over POSIX descriptors, with Windows paths mapped by ToHostPath.
#include "fileobject.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "errors.h"
#include "paths.h"
#include "rollback.h"
#include "wide_text.h"

namespace winapi {

FileObject::FileObject(int fd, bool canRead, bool canWrite, std::string hostPath, bool ownsDescriptor)
    : fd_(fd), canRead_(canRead), canWrite_(canWrite), hostPath_(std::move(hostPath)), ownsDescriptor_(ownsDescriptor) {}

FileObject::~FileObject() {
  if (deleteOnClose_ && !hostPath_.empty()) unlink(hostPath_.c_str());
  if (ownsDescriptor_ && fd_ >= 0) close(fd_);
}

std::shared_ptr<FileObject> LookupFile(HANDLE handle) { return LookupHandleAs<FileObject>(handle); }

DWORD NotFoundError(const std::string& hostPath) {
  const auto slash = hostPath.find_last_of('/');
  if (slash == std::string::npos || slash == 0) return ERROR_FILE_NOT_FOUND;
  struct stat st {};
  const std::string parent = hostPath.substr(0, slash);
  if (stat(parent.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return ERROR_PATH_NOT_FOUND;
  return ERROR_FILE_NOT_FOUND;
}

namespace {

BOOL FailForPath(const std::string& hostPath, int error) {
  if (error == ENOENT) return FailWith(NotFoundError(hostPath));
  return FailWith(Win32ErrorFromErrno(error));
}

struct OpenRequest {
  int flags = 0;
  bool canRead = false;
  bool canWrite = false;
};

bool AccessToFlags(DWORD access, OpenRequest& request) {
  constexpr DWORD kReadRights = GENERIC_READ | GENERIC_ALL | FILE_READ_DATA;
  constexpr DWORD kWriteRights = GENERIC_WRITE | GENERIC_ALL | FILE_WRITE_DATA;
  request.canRead = (access & kReadRights) != 0;
  request.canWrite = (access & (kWriteRights | FILE_APPEND_DATA)) != 0;
  const bool appendOnly = (access & FILE_APPEND_DATA) && !(access & kWriteRights);
  if (request.canRead && request.canWrite) request.flags = O_RDWR;
  else if (request.canWrite) request.flags = O_WRONLY;
  else request.flags = O_RDONLY;
  if (appendOnly) request.flags |= O_APPEND;
  request.flags |= O_CLOEXEC;
  return true;
}

// Opens with the disposition's semantics; `existed` tells whether the file was there.
int OpenWithDisposition(const std::string& path, int flags, DWORD disposition, bool& existed) {
  for (int attempt = 0; attempt < 8; ++attempt) {
    switch (disposition) {
      case CREATE_NEW:
        existed = false;
        return open(path.c_str(), flags | O_CREAT | O_EXCL, 0666);
      case OPEN_EXISTING:
        existed = true;
        return open(path.c_str(), flags);
      case TRUNCATE_EXISTING:
        existed = true;
        return open(path.c_str(), flags | O_TRUNC);
      case CREATE_ALWAYS:
      case OPEN_ALWAYS: {
        const int extra = disposition == CREATE_ALWAYS ? O_TRUNC : 0;
        int fd = open(path.c_str(), flags | extra);
        if (fd >= 0 || errno != ENOENT) {
          existed = true;
          return fd;
        }
        fd = open(path.c_str(), flags | O_CREAT | O_EXCL, 0666);
        if (fd >= 0 || errno != EEXIST) {
          existed = false;
          return fd;
        }
        break;  // created by someone else meanwhile: open it as existing
      }
      default:
        errno = EINVAL;
        return -1;
    }
  }
  errno = EBUSY;
  return -1;
}

int64_t FileSizeOf(int fd) {
  struct stat st {};
  return fstat(fd, &st) == 0 ? static_cast<int64_t>(st.st_size) : -1;
}

bool IsRegular(int fd) {
  struct stat st {};
  return fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
}

// Moves the file pointer; false (with the last error set) for a bad method or a
// position before the start.
bool Seek(int fd, int64_t distance, DWORD method, int64_t& position) {
  int64_t origin = 0;
  switch (method) {
    case FILE_BEGIN: break;
    case FILE_CURRENT: origin = lseek(fd, 0, SEEK_CUR); break;
    case FILE_END: origin = FileSizeOf(fd); break;
    default: return FailWith(ERROR_INVALID_PARAMETER);
  }
  if (origin < 0) return FailWithErrno();
  if (distance < 0 && origin + distance < 0) return FailWith(ERROR_NEGATIVE_SEEK);
  position = origin + distance;
  if (lseek(fd, position, SEEK_SET) < 0) return FailWithErrno();
  return true;
}

ULONGLONG FileTimeFromTimespec(const timespec& ts) {
  constexpr ULONGLONG kEpochDifference = 11644473600ull;  // seconds from 1601 to 1970
  return (static_cast<ULONGLONG>(ts.tv_sec) + kEpochDifference) * 10000000ull +
         static_cast<ULONGLONG>(ts.tv_nsec) / 100;
}

FILETIME ToFileTime(const timespec& ts) {
  const ULONGLONG value = FileTimeFromTimespec(ts);
  return {static_cast<DWORD>(value), static_cast<DWORD>(value >> 32)};
}

DWORD AttributesOf(const struct stat& st) {
  if (S_ISDIR(st.st_mode)) return FILE_ATTRIBUTE_DIRECTORY | ((st.st_mode & S_IWUSR) ? 0 : FILE_ATTRIBUTE_READONLY);
  return FILE_ATTRIBUTE_ARCHIVE | ((st.st_mode & S_IWUSR) ? 0 : FILE_ATTRIBUTE_READONLY);
}

bool CopyContents(int from, int to, std::vector<char>& buffer) {
  for (;;) {
    const ssize_t n = read(from, buffer.data(), buffer.size());
    if (n == 0) return true;
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    for (ssize_t done = 0; done < n;) {
      const ssize_t w = write(to, buffer.data() + done, static_cast<size_t>(n - done));
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) return false;
      done += w;
    }
  }
}

// Windows wildcard match: '*' any run, '?' one character, case-insensitive; "*.*"
// matches names without a dot too.
bool WildcardMatch(std::wstring_view pattern, std::wstring_view name) {
  if (pattern == L"*.*") return true;
  size_t p = 0, n = 0, starP = std::wstring_view::npos, starN = 0;
  while (n < name.size()) {
    if (p < pattern.size() && (pattern[p] == L'?' || EqualsNoCase(pattern.substr(p, 1), name.substr(n, 1)))) {
      ++p;
      ++n;
    } else if (p < pattern.size() && pattern[p] == L'*') {
      starP = p++;
      starN = n;
    } else if (starP != std::wstring_view::npos) {
      p = starP + 1;
      n = ++starN;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == L'*') ++p;
  return p == pattern.size();
}

struct CloseDirectory {
  void operator()(DIR* directory) const { closedir(directory); }
};

class FindObject : public KernelObject {
 public:
  const char* TypeName() const override { return "Find"; }
  std::vector<WIN32_FIND_DATAW> entries;
  size_t next = 0;
};

WIN32_FIND_DATAW FindDataFor(const std::string& path, const std::wstring& name) {
  WIN32_FIND_DATAW data{};
  struct stat st {};
  if (stat(path.c_str(), &st) == 0) {
    data.dwFileAttributes = AttributesOf(st);
    data.ftCreationTime = ToFileTime(st.st_ctim);
    data.ftLastAccessTime = ToFileTime(st.st_atim);
    data.ftLastWriteTime = ToFileTime(st.st_mtim);
    const auto size = S_ISDIR(st.st_mode) ? 0ull : static_cast<ULONGLONG>(st.st_size);
    data.nFileSizeHigh = static_cast<DWORD>(size >> 32);
    data.nFileSizeLow = static_cast<DWORD>(size);
  }
  const size_t n = std::min<size_t>(name.size(), MAX_PATH - 1);
  std::copy(name.begin(), name.begin() + static_cast<ptrdiff_t>(n), data.cFileName);
  return data;
}

std::wstring TempDirectory() {
  for (const char* name : {"TMP", "TEMP"}) {
    const char* value = std::getenv(name);
    if (!value) continue;
    const std::wstring path = WideFromUtf8(value);
    const bool windowsPath = (path.size() >= 2 && path[1] == L':') || path.starts_with(L"\\\\");
    if (windowsPath) return path.ends_with(L'\\') ? path : path + L'\\';
  }
  return L"C:\\Temp\\";
}

std::wstring CurrentDirectory() {
  const std::unique_ptr<char, decltype(&free)> cwd(getcwd(nullptr, 0), &free);
  if (!cwd) return L"C:\\";
  return ToWindowsPath(cwd.get());
}

// Collapses "." and ".." and doubled separators of a Windows path.
std::wstring NormalizePath(const std::wstring& path) {
  size_t rootLength = 0;
  if (path.size() >= 2 && path[1] == L':') rootLength = 2;
  std::wstring root = path.substr(0, rootLength);
  std::vector<std::wstring> parts;
  std::wstring part;
  auto flush = [&] {
    if (part == L"..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != L".") {
      parts.push_back(part);
    }
    part.clear();
  };
  for (size_t i = rootLength; i < path.size(); ++i) {
    if (path[i] == L'\\' || path[i] == L'/') flush();
    else part += path[i];
  }
  flush();
  std::wstring out = root;
  for (auto& p : parts) out += L"\\" + p;
  if (out.size() == rootLength) out += L"\\";
  if ((path.ends_with(L'\\') || path.ends_with(L'/')) && !out.ends_with(L'\\')) out += L'\\';
  return out;
}

}  // namespace
}  // namespace winapi

using namespace winapi;

// CreateFileW
extern "C" WINBASEAPI HANDLE WINAPI CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD /*dwShareMode*/,
                                                LPSECURITY_ATTRIBUTES /*lpSecurityAttributes*/,
                                                DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes,
                                                HANDLE /*hTemplateFile*/) {
  return GuardedHandle(
      [&]() -> HANDLE {
        if (!lpFileName || !*lpFileName) {
          FailWith(ERROR_PATH_NOT_FOUND);
          return INVALID_HANDLE_VALUE;
        }
        if (dwCreationDisposition < CREATE_NEW || dwCreationDisposition > TRUNCATE_EXISTING) {
          FailWith(ERROR_INVALID_PARAMETER);
          return INVALID_HANDLE_VALUE;
        }
        OpenRequest request;
        AccessToFlags(dwDesiredAccess, request);
        if (dwCreationDisposition == TRUNCATE_EXISTING && !request.canWrite) {
          FailWith(ERROR_INVALID_PARAMETER);
          return INVALID_HANDLE_VALUE;
        }
        const std::string path = ToHostPath(lpFileName);
        bool existed = false;
        int fd = OpenWithDisposition(path, request.flags, dwCreationDisposition, existed);
        if (fd < 0 && errno == EISDIR && (dwFlagsAndAttributes & FILE_FLAG_BACKUP_SEMANTICS))
          fd = OpenWithDisposition(path, O_RDONLY | O_CLOEXEC, dwCreationDisposition, existed);
        if (fd < 0) {
          if (errno == EEXIST) FailWith(ERROR_FILE_EXISTS);
          else if (errno == EISDIR) FailWith(ERROR_ACCESS_DENIED);
          else FailForPath(path, errno);
          return INVALID_HANDLE_VALUE;
        }
        Rollback closeDescriptor([fd] { close(fd); });
        struct stat st {};
        if (fstat(fd, &st) == 0 && S_ISDIR(st.st_mode) && !(dwFlagsAndAttributes & FILE_FLAG_BACKUP_SEMANTICS)) {
          FailWith(ERROR_ACCESS_DENIED);
          return INVALID_HANDLE_VALUE;
        }
        // A call that fails takes back the file it created.
        Rollback removeCreated([&] {
          if (!existed) unlink(path.c_str());
        });
        auto file = std::make_shared<FileObject>(fd, request.canRead, request.canWrite, path, true);
        closeDescriptor.Keep();
        if (dwFlagsAndAttributes & FILE_FLAG_DELETE_ON_CLOSE) file->DeleteOnClose();
        HANDLE handle = InsertHandle(std::move(file));
        removeCreated.Keep();
        const bool reportsExisting = dwCreationDisposition == CREATE_ALWAYS || dwCreationDisposition == OPEN_ALWAYS;
        SetLastError(reportsExisting && existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
        return handle;
      },
      INVALID_HANDLE_VALUE);
}

// ReadFile: synchronous; an OVERLAPPED gives the offset to read at.
extern "C" WINBASEAPI BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
                                           LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped) {
  if (lpNumberOfBytesRead) *lpNumberOfBytesRead = 0;
  auto file = LookupFile(hFile);
  if (!file) return FailWith(ERROR_INVALID_HANDLE);
  if (!file->CanRead()) return FailWith(ERROR_ACCESS_DENIED);
  if (!lpBuffer && nNumberOfBytesToRead) return FailWith(ERROR_NOACCESS);
  const int fd = file->Descriptor();
  if (lpOverlapped) {
    const off_t offset = static_cast<off_t>((static_cast<uint64_t>(lpOverlapped->OffsetHigh) << 32) | lpOverlapped->Offset);
    if (lseek(fd, offset, SEEK_SET) < 0) return FailWithErrno();
  }
  const bool regular = IsRegular(fd);
  auto* out = static_cast<char*>(lpBuffer);
  DWORD total = 0;
  while (total < nNumberOfBytesToRead) {
    const ssize_t n = read(fd, out + total, nNumberOfBytesToRead - total);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return FailWithErrno();
    if (n == 0) break;
    total += static_cast<DWORD>(n);
    if (!regular) break;  // a pipe or terminal returns what it has
  }
  if (lpNumberOfBytesRead) *lpNumberOfBytesRead = total;
  if (lpOverlapped) lpOverlapped->InternalHigh = total;
  if (lpOverlapped && total == 0 && nNumberOfBytesToRead) return FailWith(ERROR_HANDLE_EOF);
  return TRUE;
}

// WriteFile: synchronous; an OVERLAPPED gives the offset, 0xFFFFFFFF:0xFFFFFFFF the end.
extern "C" WINBASEAPI BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                                            LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped) {
  if (lpNumberOfBytesWritten) *lpNumberOfBytesWritten = 0;
  auto file = LookupFile(hFile);
  if (!file) return FailWith(ERROR_INVALID_HANDLE);
  if (!file->CanWrite()) return FailWith(ERROR_ACCESS_DENIED);
  if (!lpBuffer && nNumberOfBytesToWrite) return FailWith(ERROR_NOACCESS);
  const int fd = file->Descriptor();
  if (lpOverlapped) {
    const bool toEnd = lpOverlapped->Offset == 0xFFFFFFFF && lpOverlapped->OffsetHigh == 0xFFFFFFFF;
    const off_t offset = static_cast<off_t>((static_cast<uint64_t>(lpOverlapped->OffsetHigh) << 32) | lpOverlapped->Offset);
    if ((toEnd ? lseek(fd, 0, SEEK_END) : lseek(fd, offset, SEEK_SET)) < 0) return FailWithErrno();
  }
  const auto* in = static_cast<const char*>(lpBuffer);
  DWORD total = 0;
  while (total < nNumberOfBytesToWrite) {
    const ssize_t n = write(fd, in + total, nNumberOfBytesToWrite - total);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (lpNumberOfBytesWritten) *lpNumberOfBytesWritten = total;
      return errno == EBADF ? FailWith(ERROR_ACCESS_DENIED) : FailWithErrno();
    }
    total += static_cast<DWORD>(n);
  }
  if (lpNumberOfBytesWritten) *lpNumberOfBytesWritten = total;
  if (lpOverlapped) lpOverlapped->InternalHigh = total;
  return TRUE;
}

// SetFilePointer: with a high part the distance is 64-bit and success is told apart from
// INVALID_SET_FILE_POINTER by a last error of NO_ERROR.
extern "C" WINBASEAPI DWORD WINAPI SetFilePointer(HANDLE hFile, LONG lDistanceToMove, PLONG lpDistanceToMoveHigh,
                                                  DWORD dwMoveMethod) {
  auto file = LookupFile(hFile);
  if (!file) {
    FailWith(ERROR_INVALID_HANDLE);
    return INVALID_SET_FILE_POINTER;
  }
  int64_t distance = lDistanceToMove;
  if (lpDistanceToMoveHigh)
    distance = static_cast<int64_t>((static_cast<uint64_t>(static_cast<uint32_t>(*lpDistanceToMoveHigh)) << 32) |
                                    static_cast<uint32_t>(lDistanceToMove));
  int64_t position = 0;
  if (!Seek(file->Descriptor(), distance, dwMoveMethod, position)) return INVALID_SET_FILE_POINTER;
  if (!lpDistanceToMoveHigh && position > 0xFFFFFFFE) {
    FailWith(ERROR_INVALID_PARAMETER);
    return INVALID_SET_FILE_POINTER;
  }
  if (lpDistanceToMoveHigh) *lpDistanceToMoveHigh = static_cast<LONG>(position >> 32);
  SetLastError(NO_ERROR);
  return static_cast<DWORD>(position);
}

// SetFilePointerEx
extern "C" WINBASEAPI BOOL WINAPI SetFilePointerEx(HANDLE hFile, LARGE_INTEGER liDistanceToMove,
                                                   PLARGE_INTEGER lpNewFilePointer, DWORD dwMoveMethod) {
  auto file = LookupFile(hFile);
  if (!file) return FailWith(ERROR_INVALID_HANDLE);
  int64_t position = 0;
  if (!Seek(file->Descriptor(), liDistanceToMove.QuadPart, dwMoveMethod, position)) return FALSE;
  if (lpNewFilePointer) lpNewFilePointer->QuadPart = position;
  return TRUE;
}

// SetEndOfFile: the file ends at the current pointer.
extern "C" WINBASEAPI BOOL WINAPI SetEndOfFile(HANDLE hFile) {
  auto file = LookupFile(hFile);
  if (!file) return FailWith(ERROR_INVALID_HANDLE);
  if (!file->CanWrite()) return FailWith(ERROR_ACCESS_DENIED);
  const off_t position = lseek(file->Descriptor(), 0, SEEK_CUR);
  if (position < 0 || ftruncate(file->Descriptor(), position) != 0) return FailWithErrno();
  return TRUE;
}

// GetFileSize
extern "C" WINBASEAPI DWORD WINAPI GetFileSize(HANDLE hFile, LPDWORD lpFileSizeHigh) {
  auto file = LookupFile(hFile);
  if (!file) {
    FailWith(ERROR_INVALID_HANDLE);
    return INVALID_FILE_SIZE;
  }
  const int64_t size = FileSizeOf(file->Descriptor());
  if (size < 0) {
    FailWithErrno();
    return INVALID_FILE_SIZE;
  }
  if (lpFileSizeHigh) *lpFileSizeHigh = static_cast<DWORD>(static_cast<uint64_t>(size) >> 32);
  SetLastError(NO_ERROR);
  return static_cast<DWORD>(size);
}

// GetFileSizeEx
extern "C" WINBASEAPI BOOL WINAPI GetFileSizeEx(HANDLE hFile, PLARGE_INTEGER lpFileSize) {
  auto file = LookupFile(hFile);
  if (!file) return FailWith(ERROR_INVALID_HANDLE);
  if (!lpFileSize) return FailWith(ERROR_INVALID_PARAMETER);
  const int64_t size = FileSizeOf(file->Descriptor());
  if (size < 0) return FailWithErrno();
  lpFileSize->QuadPart = size;
  return TRUE;
}

// GetFileType
extern "C" WINBASEAPI DWORD WINAPI GetFileType(HANDLE hFile) {
  auto file = LookupFile(hFile);
  if (!file) {
    FailWith(ERROR_INVALID_HANDLE);
    return FILE_TYPE_UNKNOWN;
  }
  struct stat st {};
  if (fstat(file->Descriptor(), &st) != 0) return FILE_TYPE_UNKNOWN;
  if (S_ISREG(st.st_mode) || S_ISDIR(st.st_mode)) return FILE_TYPE_DISK;
  if (S_ISCHR(st.st_mode)) return FILE_TYPE_CHAR;
  return FILE_TYPE_PIPE;
}

// FlushFileBuffers
extern "C" WINBASEAPI BOOL WINAPI FlushFileBuffers(HANDLE hFile) {
  auto file = LookupFile(hFile);
  if (!file) return FailWith(ERROR_INVALID_HANDLE);
  if (fsync(file->Descriptor()) != 0 && errno != EINVAL && errno != EROFS) return FailWithErrno();
  return TRUE;
}

// DeleteFileW
extern "C" WINBASEAPI BOOL WINAPI DeleteFileW(LPCWSTR lpFileName) {
  return winapi::GuardedBool([&]() -> BOOL {
    if (!lpFileName || !*lpFileName) return FailWith(ERROR_PATH_NOT_FOUND);
    const std::string path = ToHostPath(lpFileName);
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) return FailForPath(path, errno);
    if (S_ISDIR(st.st_mode)) return FailWith(ERROR_ACCESS_DENIED);
    if (unlink(path.c_str()) != 0) return FailForPath(path, errno);
    return TRUE;
  });
}

// MoveFileW
extern "C" WINBASEAPI BOOL WINAPI MoveFileW(LPCWSTR lpExistingFileName, LPCWSTR lpNewFileName) {
  return MoveFileExW(lpExistingFileName, lpNewFileName, MOVEFILE_COPY_ALLOWED);
}

// MoveFileExW: renames atomically; without MOVEFILE_REPLACE_EXISTING an existing target
// is kept and the call fails with ERROR_ALREADY_EXISTS.
extern "C" WINBASEAPI BOOL WINAPI MoveFileExW(LPCWSTR lpExistingFileName, LPCWSTR lpNewFileName, DWORD dwFlags) {
  return winapi::GuardedBool([&]() -> BOOL {
    if (!lpExistingFileName || !lpNewFileName) return FailWith(ERROR_INVALID_PARAMETER);
    if (dwFlags & MOVEFILE_DELAY_UNTIL_REBOOT) return FailWith(ERROR_NOT_SUPPORTED);
    const std::string from = ToHostPath(lpExistingFileName);
    const std::string to = ToHostPath(lpNewFileName);
    struct stat st {};
    if (lstat(from.c_str(), &st) != 0) return FailForPath(from, errno);
    struct stat target {};
    const bool targetExists = lstat(to.c_str(), &target) == 0;
    if (targetExists && from != to) {
      if (!(dwFlags & MOVEFILE_REPLACE_EXISTING)) return FailWith(ERROR_ALREADY_EXISTS);
      if (S_ISDIR(target.st_mode)) return FailWith(ERROR_ACCESS_DENIED);
    }
    const unsigned renameFlags = (dwFlags & MOVEFILE_REPLACE_EXISTING) ? 0 : RENAME_NOREPLACE;
    if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), renameFlags) == 0) return TRUE;
    if (errno == EEXIST) return FailWith(ERROR_ALREADY_EXISTS);
    if (errno != EXDEV) return FailForPath(to, errno);
    if (!(dwFlags & MOVEFILE_COPY_ALLOWED) || S_ISDIR(st.st_mode)) return FailWith(ERROR_NOT_SAME_DEVICE);
    if (!CopyFileW(lpExistingFileName, lpNewFileName, FALSE)) return FALSE;
    unlink(from.c_str());
    return TRUE;
  });
}

// CopyFileW
extern "C" WINBASEAPI BOOL WINAPI CopyFileW(LPCWSTR lpExistingFileName, LPCWSTR lpNewFileName, BOOL bFailIfExists) {
  return winapi::GuardedBool([&]() -> BOOL {
    if (!lpExistingFileName || !lpNewFileName) return FailWith(ERROR_INVALID_PARAMETER);
    const std::string from = ToHostPath(lpExistingFileName);
    const std::string to = ToHostPath(lpNewFileName);
    // Allocated before anything is opened or created: a lack of memory leaves no trace.
    std::vector<char> buffer(1 << 16);
    const int in = open(from.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) return FailForPath(from, errno);
    struct stat st {};
    fstat(in, &st);
    if (S_ISDIR(st.st_mode)) {
      close(in);
      return FailWith(ERROR_ACCESS_DENIED);
    }
    const int flags = O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | (bFailIfExists ? O_EXCL : 0);
    const int out = open(to.c_str(), flags, st.st_mode & 0777);
    if (out < 0) {
      const int error = errno;
      close(in);
      if (error == EEXIST) return FailWith(ERROR_FILE_EXISTS);
      return error == EISDIR ? FailWith(ERROR_ACCESS_DENIED) : FailForPath(to, error);
    }
    const bool copied = CopyContents(in, out, buffer);
    const int error = errno;
    close(in);
    if (close(out) != 0 || !copied) return FailWith(Win32ErrorFromErrno(copied ? errno : error));
    return TRUE;
  });
}

// CreateDirectoryW
extern "C" WINBASEAPI BOOL WINAPI CreateDirectoryW(LPCWSTR lpPathName, LPSECURITY_ATTRIBUTES /*lpSecurityAttributes*/) {
  return winapi::GuardedBool([&]() -> BOOL {
    if (!lpPathName || !*lpPathName) return FailWith(ERROR_PATH_NOT_FOUND);
    std::string path = ToHostPath(lpPathName);
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    if (mkdir(path.c_str(), 0777) == 0) return TRUE;
    if (errno == EEXIST) return FailWith(ERROR_ALREADY_EXISTS);
    if (errno == ENOENT || errno == ENOTDIR) return FailWith(ERROR_PATH_NOT_FOUND);
    return FailWithErrno();
  });
}

// RemoveDirectoryW
extern "C" WINBASEAPI BOOL WINAPI RemoveDirectoryW(LPCWSTR lpPathName) {
  return winapi::GuardedBool([&]() -> BOOL {
    if (!lpPathName || !*lpPathName) return FailWith(ERROR_PATH_NOT_FOUND);
    const std::string path = ToHostPath(lpPathName);
    if (rmdir(path.c_str()) == 0) return TRUE;
    if (errno == ENOTDIR) return FailWith(ERROR_DIRECTORY);
    if (errno == ENOTEMPTY || errno == EEXIST) return FailWith(ERROR_DIR_NOT_EMPTY);
    return FailForPath(path, errno);
  });
}

// GetFileAttributesW: directory, read-only and archive are the attributes POSIX can tell.
extern "C" WINBASEAPI DWORD WINAPI GetFileAttributesW(LPCWSTR lpFileName) {
  return winapi::GuardedLastError<DWORD>(INVALID_FILE_ATTRIBUTES, [&]() -> DWORD {
    if (!lpFileName || !*lpFileName) {
      FailWith(ERROR_PATH_NOT_FOUND);
      return INVALID_FILE_ATTRIBUTES;
    }
    const std::string path = ToHostPath(lpFileName);
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) {
      FailForPath(path, errno);
      return INVALID_FILE_ATTRIBUTES;
    }
    return AttributesOf(st);
  });
}

// GetTempPathW: TMP or TEMP when they hold a Windows path, else C:\Temp\ under the root;
// the directory is created when missing.
extern "C" WINBASEAPI DWORD WINAPI GetTempPathW(DWORD nBufferLength, LPWSTR lpBuffer) {
  return winapi::GuardedLastError<DWORD>(0, [&]() -> DWORD {
    const std::wstring path = TempDirectory();
    MakeDirectories(ToHostPath(path));
    if (!lpBuffer || nBufferLength <= path.size()) return static_cast<DWORD>(path.size() + 1);
    std::copy(path.begin(), path.end(), lpBuffer);
    lpBuffer[path.size()] = L'\0';
    return static_cast<DWORD>(path.size());
  });
}

// GetFullPathNameW: relative paths are taken against the current directory.
extern "C" WINBASEAPI DWORD WINAPI GetFullPathNameW(LPCWSTR lpFileName, DWORD nBufferLength, LPWSTR lpBuffer,
                                                    LPWSTR* lpFilePart) {
  return winapi::GuardedLastError<DWORD>(0, [&]() -> DWORD {
    if (!lpFileName || !*lpFileName) {
      FailWith(ERROR_INVALID_NAME);
      return 0;
    }
    std::wstring name(lpFileName);
    std::wstring full;
    if (name.starts_with(L"/")) full = WideFromUtf8(ToHostPath(name));  // host path: kept as it is
    else if (name.size() >= 2 && name[1] == L':') full = NormalizePath(name);
    else if (name.starts_with(L"\\")) full = NormalizePath(CurrentDirectory().substr(0, 2) + name);
    else full = NormalizePath(CurrentDirectory() + L"\\" + name);
    if (!lpBuffer || nBufferLength <= full.size()) return static_cast<DWORD>(full.size() + 1);
    std::copy(full.begin(), full.end(), lpBuffer);
    lpBuffer[full.size()] = L'\0';
    if (lpFilePart) {
      const auto slash = full.find_last_of(L"\\/");
      *lpFilePart = (slash == std::wstring::npos || slash + 1 == full.size()) ? nullptr : lpBuffer + slash + 1;
    }
    return static_cast<DWORD>(full.size());
  });
}

// FindFirstFileW: wildcards in the last component only.
extern "C" WINBASEAPI HANDLE WINAPI FindFirstFileW(LPCWSTR lpFileName, LPWIN32_FIND_DATAW lpFindFileData) {
  return winapi::GuardedHandle<HANDLE>(
      [&]() -> HANDLE {
        if (!lpFileName || !*lpFileName || !lpFindFileData) {
          FailWith(ERROR_INVALID_PARAMETER);
          return INVALID_HANDLE_VALUE;
        }
        const std::wstring spec(lpFileName);
        const auto slash = spec.find_last_of(L"\\/");
        const std::wstring pattern = slash == std::wstring::npos ? spec : spec.substr(slash + 1);
        const std::wstring directory = slash == std::wstring::npos ? L"." : spec.substr(0, slash + 1);
        const std::string hostDirectory = ToHostPath(directory);
        const std::unique_ptr<DIR, CloseDirectory> dir(opendir(hostDirectory.c_str()));
        if (!dir) {
          FailWith(errno == ENOENT || errno == ENOTDIR ? ERROR_PATH_NOT_FOUND : Win32ErrorFromErrno(errno));
          return INVALID_HANDLE_VALUE;
        }
        auto find = std::make_shared<FindObject>();
        while (dirent* entry = readdir(dir.get())) {
          const std::wstring name = WideFromUtf8(entry->d_name);
          if (!WildcardMatch(pattern, name)) continue;
          find->entries.push_back(FindDataFor(hostDirectory + "/" + entry->d_name, name));
        }
        if (find->entries.empty()) {
          FailWith(ERROR_FILE_NOT_FOUND);
          return INVALID_HANDLE_VALUE;
        }
        const WIN32_FIND_DATAW first = find->entries[find->next++];
        HANDLE handle = InsertHandle(std::move(find));
        *lpFindFileData = first;
        return handle;
      },
      INVALID_HANDLE_VALUE);
}

// FindNextFileW
extern "C" WINBASEAPI BOOL WINAPI FindNextFileW(HANDLE hFindFile, LPWIN32_FIND_DATAW lpFindFileData) {
  auto find = LookupHandleAs<FindObject>(hFindFile);
  if (!find) return FailWith(ERROR_INVALID_HANDLE);
  if (!lpFindFileData) return FailWith(ERROR_INVALID_PARAMETER);
  if (find->next >= find->entries.size()) return FailWith(ERROR_NO_MORE_FILES);
  *lpFindFileData = find->entries[find->next++];
  return TRUE;
}

// FindClose
extern "C" WINBASEAPI BOOL WINAPI FindClose(HANDLE hFindFile) {
  if (!LookupHandleAs<FindObject>(hFindFile)) return FailWith(ERROR_INVALID_HANDLE);
  RemoveHandle(hFindFile);
  return TRUE;
}
