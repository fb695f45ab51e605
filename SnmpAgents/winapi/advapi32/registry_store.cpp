#include "registry_store.h"

#include <locale.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <cwctype>
#include <fstream>

#include "errors.h"
#include "paths.h"
#include "wide_text.h"

namespace winapi::registry {
namespace {

constexpr int kBusyTimeoutMs = 5000;
constexpr auto kBusyDeadline = std::chrono::seconds(30);

constexpr int64_t kUnixEpochAsFileTime = 116444736000000000LL;

int64_t FileTimeNow() {
  const auto since = std::chrono::system_clock::now().time_since_epoch();
  return std::chrono::duration_cast<std::chrono::nanoseconds>(since).count() / 100 + kUnixEpochAsFileTime;
}

bool IsBusy(int code) {
  const int primary = code & 0xff;
  return primary == SQLITE_BUSY || primary == SQLITE_LOCKED;
}

std::string ReadBootId() {
  if (const char* forced = std::getenv("WINAPI_BOOT_ID"); forced && *forced) return forced;
  std::ifstream in("/proc/sys/kernel/random/boot_id");
  std::string id;
  std::getline(in, id);
  return id.empty() ? std::string("unknown-boot") : id;
}

// LocalSystem for root, a machine-local account SID with the uid as RID otherwise.
std::wstring CurrentUserSid() {
  const uid_t uid = geteuid();
  if (uid == 0) return L"S-1-5-18";
  return L"S-1-5-21-0-0-0-" + std::to_wstring(uid);
}

std::string Utf16Bytes(std::wstring_view text) {
  const std::u16string units = Utf16FromWide(text);
  std::string bytes(units.size() * 2, '\0');
  for (size_t i = 0; i < units.size(); ++i) {
    bytes[2 * i] = static_cast<char>(units[i] & 0xff);
    bytes[2 * i + 1] = static_cast<char>(units[i] >> 8);
  }
  return bytes;
}

std::wstring TextColumn(sqlite3_stmt* stmt, int column) {
  const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, column));
  return text ? WideFromUtf8(std::string_view(text, sqlite3_column_bytes(stmt, column))) : std::wstring();
}

std::string BlobColumn(sqlite3_stmt* stmt, int column) {
  const void* blob = sqlite3_column_blob(stmt, column);
  const int size = sqlite3_column_bytes(stmt, column);
  return blob ? std::string(static_cast<const char*>(blob), size) : std::string();
}

}  // namespace

std::wstring LookupName(std::wstring_view name) {
  // towupper follows the process locale, which would make two processes disagree.
  static const locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
  std::wstring upper(name);
  for (auto& c : upper) {
    const auto w = static_cast<wint_t>(c);
    c = static_cast<wchar_t>(utf8 ? towupper_l(w, utf8) : (w < 0x80 ? std::towupper(w) : w));
  }
  return upper;
}

// One execution of a cached prepared statement; reset when it goes out of scope.
class Statement {
 public:
  Statement(Session& session, const char* sql) : store_(session.store_), stmt_(session.store_.Prepared(sql)) {}
  ~Statement() {
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
  }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  Statement& Bind(int index, int64_t value) {
    Check(sqlite3_bind_int64(stmt_, index, value));
    return *this;
  }
  Statement& Bind(int index, std::wstring_view text) {
    const std::string utf8 = Utf8FromWide(text);
    Check(sqlite3_bind_text(stmt_, index, utf8.data(), static_cast<int>(utf8.size()), SQLITE_TRANSIENT));
    return *this;
  }
  Statement& Bind(int index, const std::string& text) {
    Check(sqlite3_bind_text(stmt_, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT));
    return *this;
  }
  Statement& BindBlob(int index, const std::string& bytes) {
    Check(sqlite3_bind_blob(stmt_, index, bytes.data(), static_cast<int>(bytes.size()), SQLITE_TRANSIENT));
    return *this;
  }
  Statement& BindNull(int index) {
    Check(sqlite3_bind_null(stmt_, index));
    return *this;
  }

  // True while rows come; a failure (real or injected) throws StoreError.
  bool Step() {
    if (!started_) {
      started_ = true;
      if (store_.ConsumeFault()) throw StoreError{SQLITE_IOERR};
    }
    const int rc = sqlite3_step(stmt_);
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE) return false;
    throw StoreError{rc};
  }
  void Run() {
    while (Step()) {
    }
  }

  int64_t Int(int column) const { return sqlite3_column_int64(stmt_, column); }
  bool IsNull(int column) const { return sqlite3_column_type(stmt_, column) == SQLITE_NULL; }
  std::wstring Text(int column) const { return TextColumn(stmt_, column); }
  std::string Blob(int column) const { return BlobColumn(stmt_, column); }

 private:
  void Check(int rc) {
    if (rc != SQLITE_OK) throw StoreError{rc};
  }
  Store& store_;
  sqlite3_stmt* stmt_;
  bool started_ = false;
};

namespace {

KeyRow KeyFrom(const Statement& row) {
  KeyRow key;
  key.id = row.Int(0);
  key.parent = row.IsNull(1) ? 0 : row.Int(1);
  key.name = row.Text(2);
  key.isVolatile = row.Int(3) != 0;
  key.className = row.Text(4);
  key.lastWrite = row.Int(5);
  return key;
}

}  // namespace

std::optional<KeyRow> Session::GetKey(KeyId id) {
  Statement q(*this, "SELECT id, parent, name, boot IS NOT NULL, class, written FROM keys WHERE id = ?");
  q.Bind(1, id);
  if (!q.Step()) return std::nullopt;
  return KeyFrom(q);
}

std::optional<KeyRow> Session::FindChild(KeyId parent, std::wstring_view name) {
  Statement q(*this,
              "SELECT id, parent, name, boot IS NOT NULL, class, written FROM keys WHERE parent = ? AND lookup = ?");
  q.Bind(1, parent).Bind(2, LookupName(name));
  if (!q.Step()) return std::nullopt;
  return KeyFrom(q);
}

KeyId Session::InsertKey(KeyId parent, std::wstring_view name, bool isVolatile, std::wstring_view className) {
  const int64_t now = FileTimeNow();
  {
    Statement q(*this, "INSERT INTO keys(parent, name, lookup, boot, class, written) VALUES (?, ?, ?, ?, ?, ?)");
    q.Bind(1, parent).Bind(2, name).Bind(3, LookupName(name));
    if (isVolatile) {
      q.Bind(4, store_.BootId());
    } else {
      q.BindNull(4);
    }
    q.Bind(5, className).Bind(6, now);
    q.Run();
  }
  const KeyId id = sqlite3_last_insert_rowid(db_);
  Touch(parent);
  return id;
}

void Session::DeleteKey(KeyId id) {
  Statement q(*this, "DELETE FROM keys WHERE id = ?");
  q.Bind(1, id).Run();
}

void Session::DeleteChildren(KeyId id) {
  Statement q(*this, "DELETE FROM keys WHERE parent = ?");
  q.Bind(1, id).Run();
}

void Session::DeleteValues(KeyId id) {
  Statement q(*this, "DELETE FROM vals WHERE key = ?");
  q.Bind(1, id).Run();
}

DWORD Session::CountChildren(KeyId id) {
  Statement q(*this, "SELECT count(*) FROM keys WHERE parent = ?");
  q.Bind(1, id);
  return q.Step() ? static_cast<DWORD>(q.Int(0)) : 0;
}

void Session::Touch(KeyId id) {
  Statement q(*this, "UPDATE keys SET written = ? WHERE id = ?");
  q.Bind(1, FileTimeNow()).Bind(2, id).Run();
}

Session::KeyState Session::LookupValue(KeyId key, std::wstring_view name, std::optional<ValueRow>& value) {
  // One statement, so that "key deleted" and "no such value" come from one snapshot.
  Statement q(*this,
              "SELECT v.type, v.data, v.name FROM keys k LEFT JOIN vals v ON v.key = k.id AND v.lookup = ? "
              "WHERE k.id = ?");
  q.Bind(1, LookupName(name)).Bind(2, key);
  value.reset();
  if (!q.Step()) return KeyState::Deleted;
  if (!q.IsNull(0)) value = ValueRow{q.Text(2), static_cast<DWORD>(q.Int(0)), q.Blob(1)};
  return KeyState::Present;
}

void Session::SetValue(KeyId key, std::wstring_view name, DWORD type, const std::string& data) {
  {
    // An update keeps the value's name and its place in the enumeration, as Windows does.
    Statement q(*this,
                "INSERT INTO vals(key, name, lookup, type, data) VALUES (?, ?, ?, ?, ?) "
                "ON CONFLICT(key, lookup) DO UPDATE SET type = excluded.type, data = excluded.data");
    q.Bind(1, key).Bind(2, name).Bind(3, LookupName(name)).Bind(4, static_cast<int64_t>(type)).BindBlob(5, data);
    q.Run();
  }
  Touch(key);
}

bool Session::DeleteValue(KeyId key, std::wstring_view name) {
  {
    Statement q(*this, "DELETE FROM vals WHERE key = ? AND lookup = ?");
    q.Bind(1, key).Bind(2, LookupName(name)).Run();
  }
  if (sqlite3_changes(db_) == 0) return false;
  Touch(key);
  return true;
}

std::optional<KeyRow> Session::ChildAt(KeyId parent, DWORD index) {
  Statement q(*this,
              "SELECT id, parent, name, boot IS NOT NULL, class, written FROM keys WHERE parent = ? "
              "ORDER BY lookup LIMIT 1 OFFSET ?");
  q.Bind(1, parent).Bind(2, static_cast<int64_t>(index));
  if (!q.Step()) return std::nullopt;
  return KeyFrom(q);
}

std::optional<ValueRow> Session::ValueAt(KeyId key, DWORD index) {
  Statement q(*this, "SELECT name, type, data FROM vals WHERE key = ? ORDER BY rowid LIMIT 1 OFFSET ?");
  q.Bind(1, key).Bind(2, static_cast<int64_t>(index));
  if (!q.Step()) return std::nullopt;
  return ValueRow{q.Text(0), static_cast<DWORD>(q.Int(1)), q.Blob(2)};
}

KeyStats Session::Stats(KeyId key) {
  KeyStats stats;
  {
    Statement q(*this,
                "SELECT count(*), coalesce(max(length(name)), 0), coalesce(max(length(class)), 0) "
                "FROM keys WHERE parent = ?");
    q.Bind(1, key);
    if (q.Step()) {
      stats.subKeys = static_cast<DWORD>(q.Int(0));
      stats.maxSubKeyName = static_cast<DWORD>(q.Int(1));
      stats.maxClass = static_cast<DWORD>(q.Int(2));
    }
  }
  Statement q(*this,
              "SELECT length(name), type, length(data), CASE WHEN type IN (1, 2, 7) THEN data END "
              "FROM vals WHERE key = ?");
  q.Bind(1, key);
  while (q.Step()) {
    ++stats.values;
    stats.maxValueName = std::max(stats.maxValueName, static_cast<DWORD>(q.Int(0)));
    const auto type = static_cast<DWORD>(q.Int(1));
    const DWORD size = IsStringType(type) ? ApiSize(type, q.Blob(3)) : static_cast<DWORD>(q.Int(2));
    stats.maxValueData = std::max(stats.maxValueData, size);
  }
  return stats;
}

void Session::Exec(const char* sql) {
  Statement q(*this, sql);
  q.Run();
}

std::string Session::IntegrityProblems() {
  std::string problems;
  {
    Statement q(*this, "PRAGMA integrity_check");
    while (q.Step()) {
      const std::string line = Utf8FromWide(q.Text(0));
      if (line != "ok") problems += line + "\n";
    }
  }
  {
    Statement q(*this, "PRAGMA foreign_key_check");
    if (q.Step()) problems += "dangling parent or value owner\n";
  }
  {
    Statement q(*this, "SELECT count(*) FROM keys WHERE parent IS NULL AND id NOT IN (1, 2)");
    if (q.Step() && q.Int(0) != 0) problems += "keys without a parent\n";
  }
  {
    Statement q(*this,
                "SELECT count(*) FROM keys c JOIN keys p ON c.parent = p.id "
                "WHERE p.boot IS NOT NULL AND c.boot IS NULL");
    if (q.Step() && q.Int(0) != 0) problems += "non-volatile key under a volatile key\n";
  }
  return problems;
}

Store& Store::Instance() {
  static auto* store = new Store;  // never destroyed: other threads may still use it at exit
  return *store;
}

sqlite3_stmt* Store::Prepared(const char* sql) {
  auto it = statements_.find(sql);
  if (it != statements_.end()) return it->second;
  sqlite3_stmt* stmt = nullptr;
  const int rc = sqlite3_prepare_v3(db_, sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt, nullptr);
  if (rc != SQLITE_OK) throw StoreError{rc};
  statements_.emplace(sql, stmt);
  return stmt;
}

void Store::FailAfter(long calls) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  failCountdown_ = calls > 0 ? calls : 0;
}

bool Store::ConsumeFault() {
  if (failCountdown_ == 0) return false;
  return --failCountdown_ == 0;
}

void Store::Close() {
  for (auto& [sql, stmt] : statements_) sqlite3_finalize(stmt);
  statements_.clear();
  if (db_) sqlite3_close_v2(db_);
  db_ = nullptr;
}

DWORD Store::EnsureOpen() {
  if (db_ && openedBy_ == getpid()) return ERROR_SUCCESS;
  if (db_) {
    // Inherited through fork: the parent still owns its locks, so forget it without closing.
    statements_.clear();
    db_ = nullptr;
    inTransaction_ = false;
  }
  return Open();
}

namespace {

void EnsurePath(Session& session, KeyId root, std::initializer_list<const wchar_t*> names) {
  KeyId parent = root;
  for (const wchar_t* name : names) {
    auto child = session.FindChild(parent, name);
    parent = child ? child->id : session.InsertKey(parent, name, false, L"");
  }
}

}  // namespace

DWORD Store::Open() {
  const std::string file = RegistryFile();
  const auto slash = file.find_last_of('/');
  if (slash != std::string::npos && slash > 0) MakeDirectories(file.substr(0, slash));
  const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX;
  int rc = sqlite3_open_v2(file.c_str(), &db_, flags, nullptr);
  if (rc != SQLITE_OK) {
    Close();
    return Win32ErrorFromSqlite(rc);
  }
  openedBy_ = getpid();
  sqlite3_extended_result_codes(db_, 1);
  sqlite3_busy_timeout(db_, kBusyTimeoutMs);
  bootId_ = ReadBootId();
  userSid_ = CurrentUserSid();

  const DWORD error = Execute(
      [this](Session& s) {
        s.Exec("PRAGMA journal_mode = WAL");
        s.Exec("PRAGMA synchronous = NORMAL");
        s.Exec("PRAGMA foreign_keys = ON");
        s.Exec("BEGIN IMMEDIATE");
        s.Exec(
            "CREATE TABLE IF NOT EXISTS keys("
            " id INTEGER PRIMARY KEY AUTOINCREMENT,"
            " parent INTEGER REFERENCES keys(id) ON DELETE CASCADE,"
            " name TEXT NOT NULL, lookup TEXT NOT NULL, boot TEXT,"
            " class TEXT NOT NULL DEFAULT '', written INTEGER NOT NULL DEFAULT 0,"
            " UNIQUE(parent, lookup))");
        s.Exec(
            "CREATE TABLE IF NOT EXISTS vals("
            " key INTEGER NOT NULL REFERENCES keys(id) ON DELETE CASCADE,"
            " name TEXT NOT NULL, lookup TEXT NOT NULL, type INTEGER NOT NULL, data BLOB NOT NULL,"
            " UNIQUE(key, lookup))");
        s.Exec("INSERT OR IGNORE INTO keys(id, parent, name, lookup) VALUES (1, NULL, 'MACHINE', 'MACHINE')");
        s.Exec("INSERT OR IGNORE INTO keys(id, parent, name, lookup) VALUES (2, NULL, 'USER', 'USER')");
        {
          // Volatile keys of an earlier boot are gone, with everything below them.
          Statement q(s, "DELETE FROM keys WHERE boot IS NOT NULL AND boot <> ?");
          q.Bind(1, bootId_).Run();
        }
        EnsurePath(s, kMachineRoot, {L"SOFTWARE", L"Classes"});
        EnsurePath(s, kMachineRoot, {L"SYSTEM", L"CurrentControlSet", L"Services"});
        EnsurePath(s, kMachineRoot, {L"SYSTEM", L"CurrentControlSet", L"Control"});
        EnsurePath(s, kMachineRoot, {L"SYSTEM", L"CurrentControlSet", L"Hardware Profiles", L"Current"});
        EnsurePath(s, kUserRoot, {L".DEFAULT"});
        EnsurePath(s, kUserRoot, {userSid_.c_str(), L"Software"});
        s.Exec("COMMIT");
        return static_cast<DWORD>(ERROR_SUCCESS);
      },
      false);
  if (error != ERROR_SUCCESS) {
    Close();
    return error;
  }
  if (const char* failAt = std::getenv("WINAPI_REGISTRY_FAIL_AT"); failAt && *failAt) {
    failCountdown_ = std::strtol(failAt, nullptr, 10);
  }
  return ERROR_SUCCESS;
}

DWORD Store::Read(const std::function<DWORD(Session&)>& fn) { return Run(fn, false); }
DWORD Store::Write(const std::function<DWORD(Session&)>& fn) { return Run(fn, true); }

DWORD Store::Run(const std::function<DWORD(Session&)>& fn, bool write) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  if (const DWORD error = EnsureOpen(); error != ERROR_SUCCESS) return error;
  // Other threads wait on lock_ while a transaction is open, so here it is ours.
  if (inTransaction_) return ExecuteInTransaction(fn, write);
  return Execute(fn, write);
}

DWORD Store::Execute(const std::function<DWORD(Session&)>& fn, bool write) {
  const auto deadline = std::chrono::steady_clock::now() + kBusyDeadline;
  for (int attempt = 0;; ++attempt) {
    Session session(db_, *this);
    try {
      if (write) session.Exec("BEGIN IMMEDIATE");
      const DWORD result = fn(session);
      if (write) session.Exec(result == ERROR_SUCCESS ? "COMMIT" : "ROLLBACK");
      return result;
    } catch (const StoreError& failure) {
      if (!sqlite3_get_autocommit(db_)) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
      if (!IsBusy(failure.sqliteCode) || std::chrono::steady_clock::now() > deadline) {
        return Win32ErrorFromSqlite(failure.sqliteCode);
      }
      usleep(static_cast<useconds_t>(1000 * (1 + attempt % 10)));
    } catch (...) {
      if (!sqlite3_get_autocommit(db_)) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
      return Win32ErrorFromCurrentException();
    }
  }
}

DWORD Store::ExecuteInTransaction(const std::function<DWORD(Session&)>& fn, bool write) {
  Session session(db_, *this);
  bool savepoint = false;
  const auto undo = [&] {
    if (!savepoint) return;
    sqlite3_exec(db_, "ROLLBACK TO operation", nullptr, nullptr, nullptr);
    sqlite3_exec(db_, "RELEASE operation", nullptr, nullptr, nullptr);
  };
  try {
    if (write) {
      session.Exec("SAVEPOINT operation");
      savepoint = true;
    }
    const DWORD result = fn(session);
    if (write && result != ERROR_SUCCESS) session.Exec("ROLLBACK TO operation");
    if (write) session.Exec("RELEASE operation");
    return result;
  } catch (const StoreError& failure) {
    undo();
    return Win32ErrorFromSqlite(failure.sqliteCode);
  } catch (...) {
    undo();
    return Win32ErrorFromCurrentException();
  }
}

DWORD Store::Begin() {
  lock_.lock();
  if (inTransaction_) {
    lock_.unlock();
    return ERROR_INVALID_STATE;
  }
  DWORD error = EnsureOpen();
  if (error == ERROR_SUCCESS) {
    error = Execute([](Session& s) { s.Exec("BEGIN IMMEDIATE"); return static_cast<DWORD>(ERROR_SUCCESS); },
                    false);
  }
  if (error != ERROR_SUCCESS) {
    lock_.unlock();
    return error;
  }
  inTransaction_ = true;  // lock_ stays held by this thread until Commit or Rollback
  return ERROR_SUCCESS;
}

DWORD Store::Commit() {
  std::unique_lock<std::recursive_mutex> guard(lock_, std::try_to_lock);
  if (!guard.owns_lock() || !inTransaction_) return ERROR_INVALID_STATE;
  DWORD error = ERROR_SUCCESS;
  try {
    Session session(db_, *this);
    session.Exec("COMMIT");
  } catch (const StoreError& failure) {
    sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    error = Win32ErrorFromSqlite(failure.sqliteCode);
  }
  inTransaction_ = false;
  lock_.unlock();  // the hold taken by Begin
  return error;
}

DWORD Store::Rollback() {
  std::unique_lock<std::recursive_mutex> guard(lock_, std::try_to_lock);
  if (!guard.owns_lock() || !inTransaction_) return ERROR_INVALID_STATE;
  sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
  inTransaction_ = false;
  lock_.unlock();
  return ERROR_SUCCESS;
}

DWORD Win32ErrorFromSqlite(int code) {
  switch (code & 0xff) {
    case SQLITE_OK: return ERROR_SUCCESS;
    case SQLITE_BUSY:
    case SQLITE_LOCKED: return ERROR_BUSY;
    case SQLITE_NOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case SQLITE_READONLY:
    case SQLITE_PERM:
    case SQLITE_AUTH: return ERROR_ACCESS_DENIED;
    case SQLITE_FULL: return ERROR_DISK_FULL;
    case SQLITE_CANTOPEN: return ERROR_CANTOPEN;
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB: return ERROR_BADDB;
    default: return ERROR_REGISTRY_IO_FAILED;
  }
}

bool IsStringType(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

std::string StoredFromApi(DWORD type, const BYTE* data, DWORD size) {
  if (!data || size == 0) return std::string();
  if (!IsStringType(type)) return std::string(reinterpret_cast<const char*>(data), size);
  std::wstring text(size / sizeof(WCHAR), L'\0');
  std::memcpy(text.data(), data, text.size() * sizeof(WCHAR));  // the caller's buffer may be unaligned
  return Utf16Bytes(text);
}

std::string ApiFromStored(DWORD type, const std::string& stored) {
  if (!IsStringType(type)) return stored;
  const std::wstring text = WideFromUtf16Bytes(stored.data(), stored.size() / 2);
  return std::string(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(WCHAR));
}

DWORD ApiSize(DWORD type, const std::string& stored) {
  if (!IsStringType(type)) return static_cast<DWORD>(stored.size());
  return static_cast<DWORD>(WideFromUtf16Bytes(stored.data(), stored.size() / 2).size() * sizeof(WCHAR));
}

}  // namespace winapi::registry
