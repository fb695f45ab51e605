#include <winapi_ext.h>

#include "registry_store.h"

#include <cstring>

#include "errors.h"
#include "wide_text.h"

using winapi::registry::Store;

// WinapiRegBeginTransaction
extern "C" WINAPI_EXPORT LSTATUS WINAPI WinapiRegBeginTransaction(void) {
  return static_cast<LSTATUS>(Store::Instance().Begin());
}

// WinapiRegCommitTransaction
extern "C" WINAPI_EXPORT LSTATUS WINAPI WinapiRegCommitTransaction(void) {
  return static_cast<LSTATUS>(Store::Instance().Commit());
}

// WinapiRegRollbackTransaction
extern "C" WINAPI_EXPORT LSTATUS WINAPI WinapiRegRollbackTransaction(void) {
  return static_cast<LSTATUS>(Store::Instance().Rollback());
}

// WinapiRegFailAfter
extern "C" WINAPI_EXPORT void WINAPI WinapiRegFailAfter(LONG calls) { Store::Instance().FailAfter(calls); }

// WinapiRegCheckIntegrity
extern "C" WINAPI_EXPORT LSTATUS WINAPI WinapiRegCheckIntegrity(LPWSTR lpProblems, DWORD cchProblems) {
  return winapi::GuardedStatus([&]() -> LSTATUS {
    std::string problems;
    const DWORD error = Store::Instance().Read([&](winapi::registry::Session& s) -> DWORD {
      problems = s.IntegrityProblems();
      return ERROR_SUCCESS;
    });
    if (error != ERROR_SUCCESS) return static_cast<LSTATUS>(error);
    if (problems.empty()) return ERROR_SUCCESS;
    if (lpProblems && cchProblems) {
      const std::wstring text = winapi::WideFromUtf8(problems).substr(0, cchProblems - 1);
      std::memcpy(lpProblems, text.c_str(), (text.size() + 1) * sizeof(WCHAR));
    }
    return ERROR_REGISTRY_CORRUPT;
  });
}
