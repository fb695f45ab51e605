#include "errors.h"

#include <cerrno>
#include <new>
#include <system_error>

namespace {
thread_local DWORD t_lastError = 0;
}

namespace winapi {

DWORD Win32ErrorFromErrno(int error) {
  switch (error) {
    case 0: return ERROR_SUCCESS;
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case EMFILE:
    case ENFILE: return ERROR_TOO_MANY_OPEN_FILES;
    case EACCES:
    case EPERM:
    case EROFS: return ERROR_ACCESS_DENIED;
    case EBADF: return ERROR_INVALID_HANDLE;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case EEXIST: return ERROR_ALREADY_EXISTS;
    case EINVAL: return ERROR_INVALID_PARAMETER;
    case ENOSPC: return ERROR_DISK_FULL;
    case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
    case ENOTEMPTY: return ERROR_DIR_NOT_EMPTY;
    case EISDIR: return ERROR_ACCESS_DENIED;
    case EBUSY: return ERROR_BUSY;
    case EPIPE: return ERROR_BROKEN_PIPE;
    case ETIMEDOUT: return ERROR_TIMEOUT;
    case ENOSYS: return ERROR_CALL_NOT_IMPLEMENTED;
    case ESRCH: return ERROR_INVALID_PARAMETER;
    case EAGAIN: return ERROR_NOT_ENOUGH_MEMORY;
    case EIO: return ERROR_IO_DEVICE;
    case EXDEV: return ERROR_NOT_SAME_DEVICE;
    default: return ERROR_GEN_FAILURE;
  }
}

BOOL FailWith(DWORD error) {
  t_lastError = error;
  return FALSE;
}

BOOL FailWithErrno() { return FailWith(Win32ErrorFromErrno(errno)); }

DWORD Win32ErrorFromCurrentException() noexcept {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    return ERROR_NOT_ENOUGH_MEMORY;
  } catch (const std::system_error& failure) {
    const std::error_category& category = failure.code().category();
    if (category == std::generic_category() || category == std::system_category()) {
      return Win32ErrorFromErrno(failure.code().value());
    }
    return ERROR_GEN_FAILURE;
  } catch (...) {
    return ERROR_GEN_FAILURE;
  }
}

HRESULT HResultFromCurrentException() noexcept {
  switch (const DWORD error = Win32ErrorFromCurrentException()) {
    case ERROR_NOT_ENOUGH_MEMORY: return E_OUTOFMEMORY;
    case ERROR_GEN_FAILURE: return E_FAIL;
    default: return HRESULT_FROM_WIN32(error);
  }
}

}  // namespace winapi

// GetLastError
extern "C" WINBASEAPI DWORD WINAPI GetLastError(void) { return t_lastError; }

// SetLastError
extern "C" WINBASEAPI void WINAPI SetLastError(DWORD dwErrCode) { t_lastError = dwErrCode; }
