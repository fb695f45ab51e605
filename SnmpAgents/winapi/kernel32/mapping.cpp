// File mappings over mmap. A mapping holds its own descriptor (a dup of the file's, or a
// memfd for INVALID_HANDLE_VALUE), and every view holds the mapping, so views outlive
// both the file handle and the mapping handle, as on Windows.
#include "fileobject.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <mutex>

#include "errors.h"
#include "rollback.h"
#include "wide_text.h"

namespace winapi {
namespace {

constexpr uint64_t kAllocationGranularity = 64 * 1024;

class MappingObject : public KernelObject {
 public:
  MappingObject(int fd, uint64_t size, bool writable) : fd_(fd), size_(size), writable_(writable) {}
  ~MappingObject() override { close(fd_); }
  MappingObject(const MappingObject&) = delete;
  MappingObject& operator=(const MappingObject&) = delete;
  const char* TypeName() const override { return "FileMapping"; }

  int Descriptor() const { return fd_; }
  uint64_t Size() const { return size_; }
  bool Writable() const { return writable_; }

 private:
  int fd_;
  uint64_t size_;
  bool writable_;
};

struct View {
  size_t length = 0;
  std::shared_ptr<MappingObject> mapping;
};

struct Mappings {
  std::mutex lock;
  std::map<uintptr_t, View> views;  // base -> view
  std::map<std::wstring, std::weak_ptr<MappingObject>> names;  // upper-cased name
};

Mappings& All() {
  static auto* all = new Mappings;
  return *all;
}

bool ProtectionAllowsWrite(DWORD protect) {
  switch (protect & 0xFF) {
    case PAGE_READWRITE:
    case PAGE_EXECUTE_READWRITE:
    case PAGE_WRITECOPY: return true;
    default: return false;
  }
}

bool IsKnownProtection(DWORD protect) {
  switch (protect & 0xFF) {
    case PAGE_READONLY:
    case PAGE_READWRITE:
    case PAGE_WRITECOPY:
    case PAGE_EXECUTE_READ:
    case PAGE_EXECUTE_READWRITE: return true;
    default: return false;
  }
}

std::shared_ptr<MappingObject> NamedMapping(const std::wstring& key) {
  auto& all = All();
  std::lock_guard<std::mutex> guard(all.lock);
  auto it = all.names.find(key);
  return it == all.names.end() ? nullptr : it->second.lock();
}

// The descriptor and size for a new mapping; -1 with the last error set on failure.
int BackingFor(HANDLE file, DWORD protect, uint64_t& size) {
  const bool writable = ProtectionAllowsWrite(protect);
  if (file == INVALID_HANDLE_VALUE) {
    if (size == 0) {
      FailWith(ERROR_INVALID_PARAMETER);
      return -1;
    }
    const int fd = memfd_create("winapi-mapping", MFD_CLOEXEC);
    if (fd < 0 || ftruncate(fd, static_cast<off_t>(size)) != 0) {
      if (fd >= 0) close(fd);
      FailWith(ERROR_NOT_ENOUGH_MEMORY);
      return -1;
    }
    return fd;
  }
  auto object = LookupFile(file);
  if (!object) {
    FailWith(ERROR_INVALID_HANDLE);
    return -1;
  }
  if (!object->CanRead() || (writable && (protect & 0xFF) != PAGE_WRITECOPY && !object->CanWrite())) {
    FailWith(ERROR_ACCESS_DENIED);
    return -1;
  }
  struct stat st {};
  if (fstat(object->Descriptor(), &st) != 0) {
    FailWithErrno();
    return -1;
  }
  const auto fileSize = static_cast<uint64_t>(st.st_size);
  if (size == 0 && fileSize == 0) {
    FailWith(ERROR_FILE_INVALID);
    return -1;
  }
  if (size == 0) size = fileSize;
  if (size > fileSize) {
    // Windows grows the file to the mapping's size.
    if (!writable || (protect & 0xFF) == PAGE_WRITECOPY) {
      FailWith(ERROR_NOT_ENOUGH_MEMORY);
      return -1;
    }
    if (ftruncate(object->Descriptor(), static_cast<off_t>(size)) != 0) {
      FailWith(ERROR_DISK_FULL);
      return -1;
    }
  }
  const int fd = fcntl(object->Descriptor(), F_DUPFD_CLOEXEC, 0);
  if (fd < 0) FailWithErrno();
  return fd;
}

void* MapView(HANDLE mappingHandle, DWORD access, DWORD offsetHigh, DWORD offsetLow, SIZE_T bytes, void* base) {
  auto mapping = LookupHandleAs<MappingObject>(mappingHandle);
  if (!mapping) {
    FailWith(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  const uint64_t offset = (static_cast<uint64_t>(offsetHigh) << 32) | offsetLow;
  if (offset % kAllocationGranularity != 0) {
    FailWith(ERROR_MAPPED_ALIGNMENT);
    return nullptr;
  }
  // FILE_MAP_COPY shares its bit with SECTION_QUERY, which FILE_MAP_ALL_ACCESS holds too:
  // only a request for copy without read or write is copy-on-write.
  const bool copy = (access & FILE_MAP_COPY) && !(access & (FILE_MAP_READ | FILE_MAP_WRITE));
  const bool write = (access & FILE_MAP_WRITE) && !copy;
  if (write && !mapping->Writable()) {
    FailWith(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  if (offset >= mapping->Size() || (bytes && bytes > mapping->Size() - offset)) {
    FailWith(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  const size_t length = bytes ? bytes : static_cast<size_t>(mapping->Size() - offset);
  int protection = PROT_READ;
  if (write || copy) protection |= PROT_WRITE;
  if (access & FILE_MAP_EXECUTE) protection |= PROT_EXEC;
  const int flags = (copy ? MAP_PRIVATE : MAP_SHARED) | (base ? MAP_FIXED_NOREPLACE : 0);
  void* view = mmap(base, length, protection, flags, mapping->Descriptor(), static_cast<off_t>(offset));
  if (view == MAP_FAILED || (base && view != base)) {
    if (view != MAP_FAILED) munmap(view, length);
    FailWith(base ? ERROR_INVALID_ADDRESS : ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  Rollback unmap([view, length] { munmap(view, length); });
  auto& all = All();
  std::lock_guard<std::mutex> guard(all.lock);
  all.views[reinterpret_cast<uintptr_t>(view)] = {length, std::move(mapping)};
  unmap.Keep();
  return view;
}

// The view that contains the address: Windows accepts any address inside it.
std::map<uintptr_t, View>::iterator FindView(Mappings& all, const void* address) {
  const auto target = reinterpret_cast<uintptr_t>(address);
  auto it = all.views.upper_bound(target);
  if (it == all.views.begin()) return all.views.end();
  --it;
  return target < it->first + it->second.length ? it : all.views.end();
}

}  // namespace
}  // namespace winapi

using namespace winapi;

// CreateFileMappingW
extern "C" WINBASEAPI HANDLE WINAPI CreateFileMappingW(HANDLE hFile, LPSECURITY_ATTRIBUTES /*lpAttributes*/,
                                                       DWORD flProtect, DWORD dwMaximumSizeHigh,
                                                       DWORD dwMaximumSizeLow, LPCWSTR lpName) {
  return winapi::GuardedHandle<HANDLE>([&]() -> HANDLE {
    if (!IsKnownProtection(flProtect) || !hFile) {
      FailWith(!hFile ? ERROR_INVALID_HANDLE : ERROR_INVALID_PARAMETER);
      return nullptr;
    }
    const std::wstring key = lpName && *lpName ? UpperCase(lpName) : std::wstring();
    if (!key.empty()) {
      if (auto existing = NamedMapping(key)) {
        HANDLE handle = InsertHandle(existing);
        SetLastError(ERROR_ALREADY_EXISTS);
        return handle;
      }
    }
    uint64_t size = (static_cast<uint64_t>(dwMaximumSizeHigh) << 32) | dwMaximumSizeLow;
    const int fd = BackingFor(hFile, flProtect, size);
    if (fd < 0) return nullptr;
    Rollback closeDescriptor([fd] { close(fd); });
    auto mapping = std::make_shared<MappingObject>(fd, size, ProtectionAllowsWrite(flProtect));
    closeDescriptor.Keep();  // the mapping closes it from now on
    if (!key.empty()) {
      auto& all = All();
      std::lock_guard<std::mutex> guard(all.lock);
      all.names[key] = mapping;
    }
    HANDLE handle = InsertHandle(std::move(mapping));
    SetLastError(ERROR_SUCCESS);
    return handle;
  });
}

// OpenFileMappingW
extern "C" WINBASEAPI HANDLE WINAPI OpenFileMappingW(DWORD /*dwDesiredAccess*/, BOOL /*bInheritHandle*/,
                                                     LPCWSTR lpName) {
  return winapi::GuardedHandle<HANDLE>([&]() -> HANDLE {
    if (!lpName || !*lpName) {
      FailWith(ERROR_INVALID_PARAMETER);
      return nullptr;
    }
    auto existing = NamedMapping(UpperCase(lpName));
    if (!existing) {
      FailWith(ERROR_FILE_NOT_FOUND);
      return nullptr;
    }
    return InsertHandle(existing);
  });
}

// MapViewOfFile
extern "C" WINBASEAPI LPVOID WINAPI MapViewOfFile(HANDLE hFileMappingObject, DWORD dwDesiredAccess,
                                                  DWORD dwFileOffsetHigh, DWORD dwFileOffsetLow,
                                                  SIZE_T dwNumberOfBytesToMap) {
  return winapi::GuardedLastError<LPVOID>(nullptr, [&]() -> LPVOID {
    return MapView(hFileMappingObject, dwDesiredAccess, dwFileOffsetHigh, dwFileOffsetLow, dwNumberOfBytesToMap,
                   nullptr);
  });
}

// MapViewOfFileEx
extern "C" WINBASEAPI LPVOID WINAPI MapViewOfFileEx(HANDLE hFileMappingObject, DWORD dwDesiredAccess,
                                                    DWORD dwFileOffsetHigh, DWORD dwFileOffsetLow,
                                                    SIZE_T dwNumberOfBytesToMap, LPVOID lpBaseAddress) {
  return winapi::GuardedLastError<LPVOID>(nullptr, [&]() -> LPVOID {
    return MapView(hFileMappingObject, dwDesiredAccess, dwFileOffsetHigh, dwFileOffsetLow, dwNumberOfBytesToMap,
                   lpBaseAddress);
  });
}

// UnmapViewOfFile
extern "C" WINBASEAPI BOOL WINAPI UnmapViewOfFile(LPCVOID lpBaseAddress) {
  View view;
  uintptr_t base = 0;
  {
    auto& all = All();
    std::lock_guard<std::mutex> guard(all.lock);
    auto it = FindView(all, lpBaseAddress);
    if (it == all.views.end()) return FailWith(ERROR_INVALID_ADDRESS);
    base = it->first;
    view = std::move(it->second);
    all.views.erase(it);
  }
  munmap(reinterpret_cast<void*>(base), view.length);
  return TRUE;
}

// FlushViewOfFile: writes the dirty pages of the range (0 = to the end of the view).
extern "C" WINBASEAPI BOOL WINAPI FlushViewOfFile(LPCVOID lpBaseAddress, SIZE_T dwNumberOfBytesToFlush) {
  uintptr_t start = 0, end = 0;
  {
    auto& all = All();
    std::lock_guard<std::mutex> guard(all.lock);
    auto it = FindView(all, lpBaseAddress);
    if (it == all.views.end()) return FailWith(ERROR_INVALID_ADDRESS);
    const auto address = reinterpret_cast<uintptr_t>(lpBaseAddress);
    const uintptr_t viewEnd = it->first + it->second.length;
    end = dwNumberOfBytesToFlush && dwNumberOfBytesToFlush < viewEnd - address ? address + dwNumberOfBytesToFlush
                                                                             : viewEnd;
    const auto page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    start = address & ~(page - 1);
  }
  if (msync(reinterpret_cast<void*>(start), end - start, MS_SYNC) != 0) return FailWithErrno();
  return TRUE;
}
