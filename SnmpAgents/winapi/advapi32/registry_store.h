// The registry's SQLite store: one connection per process, shared by all threads under
// one lock, WAL mode so that readers never wait for a writer of another process.
// Every write runs in its own transaction (or a savepoint inside the thread's explicit
// transaction), so that a killed process never leaves half an operation behind.
#pragma once
#include <windows.h>

#include <sqlite3.h>
#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

namespace winapi::registry {

using KeyId = int64_t;

// Fixed ids of the two hive roots, \REGISTRY\MACHINE and \REGISTRY\USER.
inline constexpr KeyId kMachineRoot = 1;
inline constexpr KeyId kUserRoot = 2;

// Raised by statements; caught by Store::Read/Write, never leaves the store.
struct StoreError {
  int sqliteCode;
};

struct KeyRow {
  KeyId id = 0;
  KeyId parent = 0;
  std::wstring name;
  bool isVolatile = false;
  std::wstring className;
  int64_t lastWrite = 0;  // FILETIME ticks
};

// A value as Windows stores it: strings are UTF-16 LE bytes.
struct ValueRow {
  std::wstring name;
  DWORD type = REG_NONE;
  std::string data;
};

struct KeyStats {
  DWORD subKeys = 0;
  DWORD maxSubKeyName = 0;  // characters
  DWORD maxClass = 0;       // characters
  DWORD values = 0;
  DWORD maxValueName = 0;   // characters
  DWORD maxValueData = 0;   // bytes as the API reports them
};

// Upper-cased form used for lookups; the same in every process whatever its locale.
std::wstring LookupName(std::wstring_view name);

// The statements of one operation, run under the store lock.
class Session {
 public:
  explicit Session(sqlite3* db, class Store& store) : db_(db), store_(store) {}

  std::optional<KeyRow> GetKey(KeyId id);
  std::optional<KeyRow> FindChild(KeyId parent, std::wstring_view name);
  KeyId InsertKey(KeyId parent, std::wstring_view name, bool isVolatile, std::wstring_view className);
  void DeleteKey(KeyId id);  // with everything below it
  void DeleteChildren(KeyId id);
  void DeleteValues(KeyId id);
  DWORD CountChildren(KeyId id);
  void Touch(KeyId id);

  // The key must exist: nullopt means no such value, a missing key is KeyState::Deleted.
  enum class KeyState { Present, Deleted };
  KeyState LookupValue(KeyId key, std::wstring_view name, std::optional<ValueRow>& value);
  void SetValue(KeyId key, std::wstring_view name, DWORD type, const std::string& data);
  bool DeleteValue(KeyId key, std::wstring_view name);

  std::optional<KeyRow> ChildAt(KeyId parent, DWORD index);
  std::optional<ValueRow> ValueAt(KeyId key, DWORD index);
  KeyStats Stats(KeyId key);

  void Exec(const char* sql);
  std::string IntegrityProblems();

 private:
  friend class Statement;
  sqlite3* db_;
  Store& store_;
};

class Store {
 public:
  static Store& Instance();

  // Runs one operation; fn returns a Win32 error code. Store failures become Win32
  // errors, SQLITE_BUSY is retried with the whole operation.
  DWORD Read(const std::function<DWORD(Session&)>& fn);
  DWORD Write(const std::function<DWORD(Session&)>& fn);

  // An explicit transaction of the calling thread: other threads wait until it ends.
  DWORD Begin();
  DWORD Commit();
  DWORD Rollback();

  // The Nth statement from now fails as an I/O error; 0 turns the hook off.
  void FailAfter(long calls);
  // Counts a statement against the fault hook; true when this one must fail.
  bool ConsumeFault();

  sqlite3_stmt* Prepared(const char* sql);

  // Boot id that volatile keys are tagged with.
  const std::string& BootId() const { return bootId_; }
  // Security identifier of the current user's hive under \REGISTRY\USER.
  const std::wstring& UserSid() const { return userSid_; }

 private:
  Store() = default;
  DWORD EnsureOpen();
  DWORD Open();
  void Close();
  DWORD Run(const std::function<DWORD(Session&)>& fn, bool write);
  DWORD Execute(const std::function<DWORD(Session&)>& fn, bool write);
  DWORD ExecuteInTransaction(const std::function<DWORD(Session&)>& fn, bool write);

  std::recursive_mutex lock_;
  sqlite3* db_ = nullptr;
  std::unordered_map<const char*, sqlite3_stmt*> statements_;
  std::string bootId_;
  std::wstring userSid_;
  long failCountdown_ = 0;
  pid_t openedBy_ = 0;  // a forked child must not reuse the parent's connection
  bool inTransaction_ = false;
};

// Win32 error for an SQLite result code.
DWORD Win32ErrorFromSqlite(int code);

// Conversions between API data (WCHAR for string types) and stored bytes.
std::string StoredFromApi(DWORD type, const BYTE* data, DWORD size);
// Bytes the API reports for stored data, and the API form itself.
DWORD ApiSize(DWORD type, const std::string& stored);
std::string ApiFromStored(DWORD type, const std::string& stored);
bool IsStringType(DWORD type);

}  // namespace winapi::registry
