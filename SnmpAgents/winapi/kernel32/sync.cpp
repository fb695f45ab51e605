// Events, mutexes and semaphores.
//
// Named mutexes are shared between processes. Ownership within the process is the
// object's owner thread and recursion count, as for any mutex; between processes it is
// an OFD lock (fcntl F_OFD_SETLK) on byte 0 of <state>/objects/mutex-<name>.lock,
// held while a thread of this process owns the mutex. OFD locks belong to the open file
// description, so threads of one process share the lock through the one object, and the
// kernel drops it when a process dies. Byte 0 of the file holds 1 while the mutex is
// owned: the next owner that finds 1 sees that the previous one died holding it and gets
// WAIT_ABANDONED. A shared lock on byte 1 is held while the process has the mutex open,
// so that other processes can tell that the name exists. Waits on such a mutex poll the
// lock with short sleeps (see WaitForObjects), never blocking in the kernel.
#include "core_internal.h"
#include "wide_text.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

#include "errors.h"
#include "paths.h"
#include "rollback.h"

namespace winapi {
namespace {

// ---- lock files of named mutexes ----

std::string EncodeObjectName(const std::wstring& name) {
  const std::string utf8 = Utf8FromWide(name);
  std::string encoded;
  for (unsigned char c : utf8) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
                       c == '-' || c == '.';
    if (plain) {
      encoded += static_cast<char>(c);
      continue;
    }
    char hex[4];
    std::snprintf(hex, sizeof hex, "%%%02X", c);
    encoded += hex;
  }
  // File names are limited to 255 bytes: keep a readable head and a hash of the whole.
  constexpr size_t kMaxEncoded = 200;
  if (encoded.size() <= kMaxEncoded) return encoded;
  uint64_t hash = 14695981039346656037ull;
  for (unsigned char c : utf8) hash = (hash ^ c) * 1099511628211ull;
  char tail[24];
  std::snprintf(tail, sizeof tail, "~%016llx", static_cast<unsigned long long>(hash));
  return encoded.substr(0, 150) + tail;
}

class MutexLockFile {
 public:
  // Opens (creating when asked) the lock file of a mutex name; null with the Win32 error.
  static std::unique_ptr<MutexLockFile> Open(const std::wstring& name, bool create, DWORD& error) {
    const std::string dir = StateDir() + "/objects";
    if (create && !MakeDirectories(dir)) {
      error = Win32ErrorFromErrno(errno);
      return nullptr;
    }
    const std::string path = dir + "/mutex-" + EncodeObjectName(name) + ".lock";
    const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC | (create ? O_CREAT : 0), 0666);
    if (fd < 0) {
      error = errno == ENOENT ? ERROR_FILE_NOT_FOUND : Win32ErrorFromErrno(errno);
      return nullptr;
    }
    Rollback closeDescriptor([fd] { ::close(fd); });
    std::unique_ptr<MutexLockFile> file(new MutexLockFile(fd));
    closeDescriptor.Keep();
    return file;
  }

  ~MutexLockFile() { ::close(fd_); }  // drops every lock of this description
  MutexLockFile(const MutexLockFile&) = delete;
  MutexLockFile& operator=(const MutexLockFile&) = delete;

  // Whether another process has the mutex open. Call before MarkOpen.
  bool OpenElsewhere() const {
    struct flock probe = Range(F_WRLCK, 1);
    if (::fcntl(fd_, F_OFD_GETLK, &probe) != 0) return false;
    return probe.l_type != F_UNLCK;
  }

  void MarkOpen() {
    struct flock lock = Range(F_RDLCK, 1);
    ::fcntl(fd_, F_OFD_SETLK, &lock);
  }

  bool Locked() const { return locked_; }

  // Takes the ownership lock without blocking; `abandoned` tells whether the previous
  // owner ended while holding it.
  bool TryLock(bool& abandoned) {
    struct flock lock = Range(F_WRLCK, 0);
    if (::fcntl(fd_, F_OFD_SETLK, &lock) != 0) return false;
    locked_ = true;
    char mark = 0;
    abandoned = ::pread(fd_, &mark, 1, 0) == 1 && mark == 1;
    return true;
  }

  void SetOwnedMark(bool owned) {
    const char mark = owned ? 1 : 0;
    if (::pwrite(fd_, &mark, 1, 0) != 1) {
      // Only the abandonment report of a later owner depends on it.
    }
  }

  void Unlock() {
    struct flock lock = Range(F_UNLCK, 0);
    ::fcntl(fd_, F_OFD_SETLK, &lock);
    locked_ = false;
  }

 private:
  explicit MutexLockFile(int fd) : fd_(fd) {}

  static struct flock Range(short type, off_t start) {
    struct flock range {};
    range.l_type = type;
    range.l_whence = SEEK_SET;
    range.l_start = start;
    range.l_len = 1;
    return range;
  }

  int fd_;
  bool locked_ = false;
};

// ---- objects ----

class EventObject final : public KernelObject {
 public:
  EventObject(bool manualReset, bool signaled) : manualReset_(manualReset), signaled_(signaled) {}
  const char* TypeName() const override { return "Event"; }
  bool IsWaitable() const override { return true; }
  bool IsSignaledFor(DWORD) const override { return signaled_; }
  bool AcquireFor(DWORD) override {
    if (!manualReset_) signaled_ = false;
    return false;
  }
  void Set(bool signaled) { signaled_ = signaled; }

 private:
  const bool manualReset_;
  bool signaled_;  // guarded by WaitLock()
};

class SemaphoreObject final : public KernelObject {
 public:
  SemaphoreObject(LONG count, LONG maximum) : count_(count), maximum_(maximum) {}
  const char* TypeName() const override { return "Semaphore"; }
  bool IsWaitable() const override { return true; }
  bool IsSignaledFor(DWORD) const override { return count_ > 0; }
  bool AcquireFor(DWORD) override {
    --count_;
    return false;
  }
  // False when the count would exceed the maximum.
  bool Release(LONG count, LONG& previous) {
    previous = count_;
    if (count > maximum_ - count_) return false;
    count_ += count;
    return true;
  }

 private:
  LONG count_;  // guarded by WaitLock()
  const LONG maximum_;
};

}  // namespace

class MutexObject final : public KernelObject,
                          public ExternallyChanged,
                          public std::enable_shared_from_this<MutexObject> {
 public:
  explicit MutexObject(std::unique_ptr<MutexLockFile> file) : file_(std::move(file)) {}
  const char* TypeName() const override { return "Mutex"; }
  bool IsWaitable() const override { return true; }

  bool IsSignaledFor(DWORD threadId) const override {
    if (owner_ == threadId) return true;
    if (owner_ != 0) return false;
    if (!file_ || file_->Locked()) return true;
    return file_->TryLock(fileAbandoned_);
  }

  bool AcquireFor(DWORD threadId) override {
    if (owner_ == threadId) {
      ++recursion_;
      return false;
    }
    // Recorded first: when that fails for lack of memory, the mutex stays as it was.
    RecordOwnedMutex(shared_from_this());
    owner_ = threadId;
    recursion_ = 1;
    const bool abandoned = abandoned_ || fileAbandoned_;
    abandoned_ = fileAbandoned_ = false;
    if (file_) file_->SetOwnedMark(true);
    return abandoned;
  }

  bool ChangesOutsideProcess() const override { return file_ != nullptr; }

  void ReleaseUnclaimed() override {
    if (file_ && owner_ == 0 && file_->Locked()) {
      file_->Unlock();
      fileAbandoned_ = false;
    }
  }

  // False when the calling thread does not own the mutex.
  bool Release(DWORD threadId) {
    if (owner_ != threadId || owner_ == 0) return false;
    if (--recursion_ > 0) return true;
    owner_ = 0;
    ForgetOwnedMutex(this);
    if (file_) {
      file_->SetOwnedMark(false);
      file_->Unlock();
    }
    return true;
  }

  // The owner thread ended without releasing.
  void Abandon() {
    owner_ = 0;
    recursion_ = 0;
    abandoned_ = true;
    if (file_) file_->Unlock();  // the mark stays set for other processes
  }

 private:
  std::unique_ptr<MutexLockFile> file_;
  DWORD owner_ = 0;  // these guarded by WaitLock()
  LONG recursion_ = 0;
  bool abandoned_ = false;
  mutable bool fileAbandoned_ = false;
};

namespace {

// The mutexes a thread owns; the thread's end abandons what is left.
struct OwnedMutexes {
  std::vector<std::shared_ptr<MutexObject>> mutexes;
  ~OwnedMutexes() { AbandonMutexesOfCurrentThread(); }
};
thread_local OwnedMutexes t_owned;

HANDLE FailWithNull(DWORD error) {
  FailWith(error);
  return nullptr;
}

template <class T>
std::shared_ptr<T> LookupAs(HANDLE handle) {
  return LookupHandleAs<T>(handle);
}

// Opens a handle to a named object: the object under the name, or a new one from
// `make`. Sets ERROR_ALREADY_EXISTS when the name was taken, 0 otherwise.
template <class T, class Make>
HANDLE CreateNamed(LPCWSTR name, Make make) {
  if (!name || !*name) {
    std::shared_ptr<T> object = make(std::wstring());
    if (!object) return nullptr;
    SetLastError(ERROR_SUCCESS);
    return InsertHandle(object);
  }
  DWORD error = ERROR_SUCCESS;
  const auto normalized = ObjectNamespace::Normalize(name, error);
  if (!normalized) return FailWithNull(error);
  ObjectPtr existing = ObjectNamespace::Find(*normalized);
  bool existed = existing != nullptr;
  if (!existing) {
    std::shared_ptr<T> created = make(*normalized);
    if (!created) return nullptr;
    existing = ObjectNamespace::FindOrInsert(*normalized, created);
    existed = existing != created;
  }
  auto typed = std::dynamic_pointer_cast<T>(existing);
  if (!typed) return FailWithNull(ERROR_INVALID_HANDLE);
  SetLastError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
  return InsertHandle(typed);
}

template <class T>
HANDLE OpenNamed(LPCWSTR name) {
  if (!name) return FailWithNull(ERROR_INVALID_PARAMETER);
  DWORD error = ERROR_SUCCESS;
  const auto normalized = ObjectNamespace::Normalize(name, error);
  if (!normalized) return FailWithNull(error);
  ObjectPtr existing = ObjectNamespace::Find(*normalized);
  if (!existing) return FailWithNull(ERROR_FILE_NOT_FOUND);
  auto typed = std::dynamic_pointer_cast<T>(existing);
  if (!typed) return FailWithNull(ERROR_INVALID_HANDLE);
  return InsertHandle(typed);
}

HANDLE CreateEventObject(LPCWSTR name, bool manualReset, bool initialState) {
  return CreateNamed<EventObject>(
      name, [&](const std::wstring&) { return std::make_shared<EventObject>(manualReset, initialState); });
}

BOOL SetEventState(HANDLE handle, bool signaled) {
  auto event = LookupAs<EventObject>(handle);
  if (!event) return FailWith(ERROR_INVALID_HANDLE);
  std::lock_guard<std::mutex> guard(WaitLock());
  event->Set(signaled);
  if (signaled) NotifyWaiters();
  return TRUE;
}

// A mutex for `name` (empty: unnamed); null with the last error set.
std::shared_ptr<MutexObject> MakeMutex(const std::wstring& name, bool& existsElsewhere) {
  existsElsewhere = false;
  if (name.empty()) return std::make_shared<MutexObject>(nullptr);
  DWORD error = ERROR_SUCCESS;
  auto file = MutexLockFile::Open(name, true, error);
  if (!file) {
    FailWith(error);
    return nullptr;
  }
  existsElsewhere = file->OpenElsewhere();
  file->MarkOpen();
  return std::make_shared<MutexObject>(std::move(file));
}

HANDLE CreateMutexObject(LPCWSTR name, bool initialOwner) {
  bool created = false;
  bool existsElsewhere = false;
  HANDLE handle = CreateNamed<MutexObject>(name, [&](const std::wstring& normalized) {
    created = true;
    return MakeMutex(normalized, existsElsewhere);
  });
  if (!handle) return nullptr;
  const bool isNew = created && GetLastError() != ERROR_ALREADY_EXISTS && !existsElsewhere;
  if (existsElsewhere) SetLastError(ERROR_ALREADY_EXISTS);
  if (initialOwner && isNew) {
    Rollback closeHandle([handle] { RemoveHandle(handle); });
    // Uncontended unless another process created the same name at the same moment.
    WaitForObjects({LookupHandle(handle)}, false, INFINITE);
    closeHandle.Keep();
    SetLastError(ERROR_SUCCESS);
  }
  return handle;
}

}  // namespace

void RecordOwnedMutex(std::shared_ptr<MutexObject> mutex) { t_owned.mutexes.push_back(std::move(mutex)); }

void ForgetOwnedMutex(const MutexObject* mutex) {
  auto& owned = t_owned.mutexes;
  for (auto it = owned.begin(); it != owned.end(); ++it) {
    if (it->get() != mutex) continue;
    owned.erase(it);
    return;
  }
}

void AbandonMutexesOfCurrentThread() {
  std::vector<std::shared_ptr<MutexObject>> owned;
  {
    std::lock_guard<std::mutex> guard(WaitLock());
    owned.swap(t_owned.mutexes);
    for (auto& mutex : owned) mutex->Abandon();
    if (!owned.empty()) NotifyWaiters();
  }
  // The references go outside the lock: a last one closes the lock file.
}

}  // namespace winapi

using winapi::FailWith;
using winapi::FailWithNull;

// CreateEventW
extern "C" WINBASEAPI HANDLE WINAPI CreateEventW(LPSECURITY_ATTRIBUTES, BOOL bManualReset, BOOL bInitialState,
                                                 LPCWSTR lpName) {
  return winapi::GuardedHandle<HANDLE>([&]() -> HANDLE {
    return winapi::CreateEventObject(lpName, bManualReset != FALSE, bInitialState != FALSE);
  });
}

// CreateEventExW
extern "C" WINBASEAPI HANDLE WINAPI CreateEventExW(LPSECURITY_ATTRIBUTES, LPCWSTR lpName, DWORD dwFlags, DWORD) {
  return winapi::GuardedHandle<HANDLE>([&]() -> HANDLE {
    if (dwFlags & ~(CREATE_EVENT_MANUAL_RESET | CREATE_EVENT_INITIAL_SET)) return FailWithNull(ERROR_INVALID_PARAMETER);
    return winapi::CreateEventObject(lpName, dwFlags & CREATE_EVENT_MANUAL_RESET, dwFlags & CREATE_EVENT_INITIAL_SET);
  });
}

// OpenEventW
extern "C" WINBASEAPI HANDLE WINAPI OpenEventW(DWORD, BOOL, LPCWSTR lpName) {
  return winapi::GuardedHandle<HANDLE>([&]() -> HANDLE {
    return winapi::OpenNamed<winapi::EventObject>(lpName);
  });
}

// SetEvent
extern "C" WINBASEAPI BOOL WINAPI SetEvent(HANDLE hEvent) { return winapi::SetEventState(hEvent, true); }

// ResetEvent
extern "C" WINBASEAPI BOOL WINAPI ResetEvent(HANDLE hEvent) { return winapi::SetEventState(hEvent, false); }

// CreateMutexW
extern "C" WINBASEAPI HANDLE WINAPI CreateMutexW(LPSECURITY_ATTRIBUTES, BOOL bInitialOwner, LPCWSTR lpName) {
  return winapi::GuardedHandle<HANDLE>([&]() -> HANDLE {
    return winapi::CreateMutexObject(lpName, bInitialOwner != FALSE);
  });
}

// CreateMutexExW
extern "C" WINBASEAPI HANDLE WINAPI CreateMutexExW(LPSECURITY_ATTRIBUTES, LPCWSTR lpName, DWORD dwFlags, DWORD) {
  return winapi::GuardedHandle<HANDLE>([&]() -> HANDLE {
    if (dwFlags & ~CREATE_MUTEX_INITIAL_OWNER) return FailWithNull(ERROR_INVALID_PARAMETER);
    return winapi::CreateMutexObject(lpName, dwFlags & CREATE_MUTEX_INITIAL_OWNER);
  });
}

// OpenMutexW: also finds a named mutex that only another process has open.
extern "C" WINBASEAPI HANDLE WINAPI OpenMutexW(DWORD, BOOL, LPCWSTR lpName) {
  return winapi::GuardedHandle<HANDLE>([&]() -> HANDLE {
    HANDLE local = winapi::OpenNamed<winapi::MutexObject>(lpName);
    if (local || GetLastError() != ERROR_FILE_NOT_FOUND) return local;
    DWORD error = ERROR_SUCCESS;
    const auto normalized = winapi::ObjectNamespace::Normalize(lpName, error);
    auto file = winapi::MutexLockFile::Open(*normalized, false, error);
    if (!file || !file->OpenElsewhere()) return FailWithNull(ERROR_FILE_NOT_FOUND);
    file->MarkOpen();
    auto created = std::make_shared<winapi::MutexObject>(std::move(file));
    auto object = std::dynamic_pointer_cast<winapi::MutexObject>(
        winapi::ObjectNamespace::FindOrInsert(*normalized, created));
    if (!object) return FailWithNull(ERROR_INVALID_HANDLE);
    return winapi::InsertHandle(object);
  });
}

// ReleaseMutex
extern "C" WINBASEAPI BOOL WINAPI ReleaseMutex(HANDLE hMutex) {
  auto mutex = winapi::LookupAs<winapi::MutexObject>(hMutex);
  if (!mutex) return FailWith(ERROR_INVALID_HANDLE);
  std::lock_guard<std::mutex> guard(winapi::WaitLock());
  if (!mutex->Release(GetCurrentThreadId())) return FailWith(ERROR_NOT_OWNER);
  winapi::NotifyWaiters();
  return TRUE;
}

// CreateSemaphoreW
extern "C" WINBASEAPI HANDLE WINAPI CreateSemaphoreW(LPSECURITY_ATTRIBUTES, LONG lInitialCount, LONG lMaximumCount,
                                                     LPCWSTR lpName) {
  return winapi::GuardedHandle<HANDLE>([&]() -> HANDLE {
    if (lMaximumCount <= 0 || lInitialCount < 0 || lInitialCount > lMaximumCount)
      return FailWithNull(ERROR_INVALID_PARAMETER);
    return winapi::CreateNamed<winapi::SemaphoreObject>(lpName, [&](const std::wstring&) {
      return std::make_shared<winapi::SemaphoreObject>(lInitialCount, lMaximumCount);
    });
  });
}

// OpenSemaphoreW
extern "C" WINBASEAPI HANDLE WINAPI OpenSemaphoreW(DWORD, BOOL, LPCWSTR lpName) {
  return winapi::GuardedHandle<HANDLE>([&]() -> HANDLE {
    return winapi::OpenNamed<winapi::SemaphoreObject>(lpName);
  });
}

// ReleaseSemaphore
extern "C" WINBASEAPI BOOL WINAPI ReleaseSemaphore(HANDLE hSemaphore, LONG lReleaseCount, LPLONG lpPreviousCount) {
  auto semaphore = winapi::LookupAs<winapi::SemaphoreObject>(hSemaphore);
  if (!semaphore) return FailWith(ERROR_INVALID_HANDLE);
  if (lReleaseCount <= 0) return FailWith(ERROR_INVALID_PARAMETER);
  std::lock_guard<std::mutex> guard(winapi::WaitLock());
  LONG previous = 0;
  if (!semaphore->Release(lReleaseCount, previous)) return FailWith(ERROR_TOO_MANY_POSTS);
  if (lpPreviousCount) *lpPreviousCount = previous;
  winapi::NotifyWaiters();
  return TRUE;
}
