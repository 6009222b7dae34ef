#include "registry_store.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cerrno>

#include <cstring>
#include <string>

#include "machine_dir.h"
#include "protected.h"
#include "winerror.h"

namespace tarn::win32 {
namespace {

constexpr int kBusyTimeoutMs = 10000;
constexpr size_t kMaxKeyNameLength = 255;

DWORD SqliteToWin32(int rc) {
  switch (rc & 0xFF) {
    case SQLITE_OK:
    case SQLITE_DONE:
    case SQLITE_ROW: return ERROR_SUCCESS;
    case SQLITE_BUSY:
    case SQLITE_LOCKED: return ERROR_BUSY;
    case SQLITE_PERM:
    case SQLITE_READONLY:
    case SQLITE_AUTH: return ERROR_ACCESS_DENIED;
    case SQLITE_NOMEM: return ERROR_OUTOFMEMORY;
    case SQLITE_FULL: return ERROR_DISK_FULL;
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB: return ERROR_BADDB;
    case SQLITE_CANTOPEN: return ERROR_CANTOPEN;
    default: return ERROR_REGISTRY_IO_FAILED;
  }
}

class Statement {
 public:
  Statement(sqlite3* db, const char* sql) { rc_ = sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr); }
  ~Statement() { sqlite3_finalize(stmt_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  bool prepared() const { return rc_ == SQLITE_OK; }
  int prepareError() const { return rc_; }
  Statement& Bind(int i, int64_t v) {
    sqlite3_bind_int64(stmt_, i, v);
    return *this;
  }
  Statement& Bind(int i, std::string_view text) {
    sqlite3_bind_text(stmt_, i, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
    return *this;
  }
  Statement& BindBlob(int i, const uint8_t* data, size_t size) {
    if (size == 0) sqlite3_bind_zeroblob(stmt_, i, 0);  // a null pointer would bind NULL
    else sqlite3_bind_blob(stmt_, i, data, static_cast<int>(size), SQLITE_TRANSIENT);
    return *this;
  }
  int Step() { return prepared() ? sqlite3_step(stmt_) : rc_; }
  int64_t Int(int column) { return sqlite3_column_int64(stmt_, column); }
  std::string Text(int column) {
    auto* p = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, column));
    return p ? std::string(p, sqlite3_column_bytes(stmt_, column)) : std::string();
  }
  std::vector<uint8_t> Blob(int column) {
    auto* p = static_cast<const uint8_t*>(sqlite3_column_blob(stmt_, column));
    int n = sqlite3_column_bytes(stmt_, column);
    return p ? std::vector<uint8_t>(p, p + n) : std::vector<uint8_t>();
  }

 private:
  sqlite3_stmt* stmt_ = nullptr;
  int rc_;
};

int Exec(sqlite3* db, const char* sql) { return sqlite3_exec(db, sql, nullptr, nullptr, nullptr); }

constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS reg_keys("
    "  id INTEGER PRIMARY KEY AUTOINCREMENT,"  // never reused: a stale handle finds no key
    "  parent INTEGER NOT NULL,"
    "  name TEXT NOT NULL COLLATE NOCASE,"
    "  UNIQUE(parent, name));"
    "CREATE TABLE IF NOT EXISTS reg_values("
    "  key INTEGER NOT NULL,"
    "  name TEXT NOT NULL COLLATE NOCASE,"
    "  type INTEGER NOT NULL,"
    "  data BLOB NOT NULL,"
    "  PRIMARY KEY(key, name));"
    "INSERT OR IGNORE INTO reg_keys(id, parent, name) VALUES (1, 0, 'HKEY_LOCAL_MACHINE'), (3, 0, 'HKEY_USERS');";

struct Connection {
  sqlite3* db = nullptr;
  std::string path;
  pid_t pid = 0;
};

Protected<Connection>& TheConnection() {
  static auto* connection = new Protected<Connection>();
  return *connection;
}

// Opens (or reopens) the database of the current machine directory.
DWORD Attach(Connection& c) {
  pid_t pid = getpid();
  if (c.db && c.pid != pid) {
    // A connection must not cross fork(); the parent still owns this one.
    c.db = nullptr;
  }
  std::string directory;
  std::string wanted = MachineDirectory() + "/registry.db";
  if (c.db && c.path == wanted) return ERROR_SUCCESS;
  if (c.db) {
    sqlite3_close_v2(c.db);
    c.db = nullptr;
  }
  if (DWORD error = EnsureMachineDirectory(&directory)) return error;
  sqlite3* db = nullptr;
  int rc = sqlite3_open_v2(wanted.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                           nullptr);
  if (rc != SQLITE_OK) {
    sqlite3_close_v2(db);
    return SqliteToWin32(rc);
  }
  sqlite3_busy_timeout(db, kBusyTimeoutMs);
  // Switching to WAL needs a moment alone with the file; a fresh database
  // may be opened by several processes at once.
  for (int attempt = 0; (rc = Exec(db, "PRAGMA journal_mode=WAL")) == SQLITE_BUSY && attempt < 50; ++attempt)
    usleep(20000);
  if (rc == SQLITE_OK) rc = Exec(db, "PRAGMA synchronous=NORMAL");
  if (rc == SQLITE_OK) rc = Exec(db, "BEGIN IMMEDIATE");
  if (rc == SQLITE_OK) {
    rc = Exec(db, kSchema);
    rc = rc == SQLITE_OK ? Exec(db, "COMMIT") : (Exec(db, "ROLLBACK"), rc);
  }
  if (rc != SQLITE_OK) {
    sqlite3_close_v2(db);
    return SqliteToWin32(rc);
  }
  c.db = db;
  c.path = wanted;
  c.pid = pid;
  return ERROR_SUCCESS;
}

// Runs `body(db)` inside one transaction; commits when it returns success.
template <class Body>
DWORD InTransaction(bool write, Body body) {
  auto connection = TheConnection().Lock();
  if (DWORD error = Attach(*connection)) return error;
  sqlite3* db = connection->db;
  int rc = Exec(db, write ? "BEGIN IMMEDIATE" : "BEGIN");
  if (rc != SQLITE_OK) return SqliteToWin32(rc);
  DWORD error = body(db);
  if (error == ERROR_SUCCESS) {
    rc = Exec(db, "COMMIT");
    if (rc != SQLITE_OK) {
      Exec(db, "ROLLBACK");
      return SqliteToWin32(rc);
    }
    return ERROR_SUCCESS;
  }
  Exec(db, "ROLLBACK");
  return error;
}

DWORD KeyExists(sqlite3* db, KeyId key) {
  Statement q(db, "SELECT 1 FROM reg_keys WHERE id = ?");
  int rc = q.Bind(1, key).Step();
  if (rc == SQLITE_ROW) return ERROR_SUCCESS;
  if (rc == SQLITE_DONE) return ERROR_KEY_DELETED;
  return SqliteToWin32(rc);
}

// Splits a subkey path; a leading backslash is refused as Windows does.
Result<std::vector<std::string_view>> SplitPath(std::string_view path) {
  std::vector<std::string_view> parts;
  if (!path.empty() && path.front() == '\\') return Result<std::vector<std::string_view>>::Fail(ERROR_BAD_PATHNAME);
  while (!path.empty()) {
    auto slash = path.find('\\');
    auto part = path.substr(0, slash);
    path = slash == std::string_view::npos ? std::string_view() : path.substr(slash + 1);
    if (part.empty()) continue;
    if (part.size() > kMaxKeyNameLength) return Result<std::vector<std::string_view>>::Fail(ERROR_INVALID_PARAMETER);
    parts.push_back(part);
  }
  return parts;
}

DWORD FindChild(sqlite3* db, KeyId parent, std::string_view name, KeyId* child) {
  Statement q(db, "SELECT id FROM reg_keys WHERE parent = ? AND name = ?");
  int rc = q.Bind(1, parent).Bind(2, name).Step();
  if (rc == SQLITE_ROW) {
    *child = q.Int(0);
    return ERROR_SUCCESS;
  }
  return rc == SQLITE_DONE ? ERROR_FILE_NOT_FOUND : SqliteToWin32(rc);
}

DWORD Walk(sqlite3* db, KeyId from, std::string_view path, bool create, KeyId* key, bool* created) {
  if (DWORD error = KeyExists(db, from)) return error;
  auto parts = SplitPath(path);
  if (!parts.ok()) return parts.error();
  *key = from;
  *created = false;
  for (auto part : *parts) {
    KeyId child = 0;
    DWORD error = FindChild(db, *key, part, &child);
    if (error == ERROR_FILE_NOT_FOUND && create) {
      Statement insert(db, "INSERT INTO reg_keys(parent, name) VALUES (?, ?)");
      int rc = insert.Bind(1, *key).Bind(2, part).Step();
      if (rc != SQLITE_DONE) return SqliteToWin32(rc);
      child = sqlite3_last_insert_rowid(db);
      *created = true;
      error = ERROR_SUCCESS;
    } else {
      *created = false;
    }
    if (error) return error;
    *key = child;
  }
  return ERROR_SUCCESS;
}

}  // namespace

RegistryStore& RegistryStore::Instance() {
  static auto* store = new RegistryStore();
  return *store;
}

namespace {

// Finds a root below another, creating it only the first time (reads then
// stay out of the write lock).
Result<KeyId> SubRoot(RegistryStore& store, KeyId from, std::string_view path) {
  bool created;
  auto key = store.OpenKey(from, path, false, &created);
  if (key.ok() || key.error() != ERROR_FILE_NOT_FOUND) return key;
  return store.OpenKey(from, path, true, &created);
}

}  // namespace

Result<KeyId> RegistryStore::CurrentUserRoot() { return SubRoot(*this, kUsersRoot, std::to_string(getuid())); }

Result<KeyId> RegistryStore::ClassesRoot() { return SubRoot(*this, kLocalMachineRoot, "SOFTWARE\\Classes"); }

Result<KeyId> RegistryStore::OpenKey(KeyId from, std::string_view path, bool create, bool* created) {
  KeyId key = 0;
  bool isNew = false;
  // Opening reads only; creating may write, so it takes the write lock at once.
  DWORD error = InTransaction(create, [&](sqlite3* db) { return Walk(db, from, path, create, &key, &isNew); });
  if (error) return Result<KeyId>::Fail(error);
  if (created) *created = isNew;
  return key;
}

DWORD RegistryStore::DeleteKey(KeyId from, std::string_view path) {
  return InTransaction(true, [&](sqlite3* db) -> DWORD {
    KeyId key = 0;
    bool created = false;
    if (DWORD error = Walk(db, from, path, false, &key, &created)) return error;
    Statement parent(db, "SELECT parent FROM reg_keys WHERE id = ?");
    int rc = parent.Bind(1, key).Step();
    if (rc != SQLITE_ROW) return SqliteToWin32(rc);
    if (parent.Int(0) == 0 || parent.Int(0) == kUsersRoot) return ERROR_ACCESS_DENIED;  // roots stay
    Statement children(db, "SELECT 1 FROM reg_keys WHERE parent = ? LIMIT 1");
    rc = children.Bind(1, key).Step();
    if (rc == SQLITE_ROW) return ERROR_ACCESS_DENIED;  // only leaf keys can be deleted
    if (rc != SQLITE_DONE) return SqliteToWin32(rc);
    Statement values(db, "DELETE FROM reg_values WHERE key = ?");
    rc = values.Bind(1, key).Step();
    if (rc != SQLITE_DONE) return SqliteToWin32(rc);
    Statement self(db, "DELETE FROM reg_keys WHERE id = ?");
    rc = self.Bind(1, key).Step();
    return rc == SQLITE_DONE ? ERROR_SUCCESS : SqliteToWin32(rc);
  });
}

DWORD RegistryStore::SetValue(KeyId key, std::string_view name, DWORD type, const uint8_t* data, size_t size) {
  return InTransaction(true, [&](sqlite3* db) -> DWORD {
    if (DWORD error = KeyExists(db, key)) return error;
    // An update keeps the row, so the value keeps its place in enumeration
    // and the case of its first name.
    Statement upsert(db,
                     "INSERT INTO reg_values(key, name, type, data) VALUES (?, ?, ?, ?) "
                     "ON CONFLICT(key, name) DO UPDATE SET type = excluded.type, data = excluded.data");
    int rc = upsert.Bind(1, key).Bind(2, name).Bind(3, int64_t(type)).BindBlob(4, data, size).Step();
    return rc == SQLITE_DONE ? ERROR_SUCCESS : SqliteToWin32(rc);
  });
}

Result<RegistryValue> RegistryStore::QueryValue(KeyId key, std::string_view name) {
  RegistryValue value;
  DWORD error = InTransaction(false, [&](sqlite3* db) -> DWORD {
    if (DWORD e = KeyExists(db, key)) return e;
    Statement q(db, "SELECT name, type, data FROM reg_values WHERE key = ? AND name = ?");
    int rc = q.Bind(1, key).Bind(2, name).Step();
    if (rc == SQLITE_DONE) return ERROR_FILE_NOT_FOUND;
    if (rc != SQLITE_ROW) return SqliteToWin32(rc);
    value.name = q.Text(0);
    value.type = static_cast<DWORD>(q.Int(1));
    value.data = q.Blob(2);
    return ERROR_SUCCESS;
  });
  if (error) return Result<RegistryValue>::Fail(error);
  return value;
}

DWORD RegistryStore::DeleteValue(KeyId key, std::string_view name) {
  return InTransaction(true, [&](sqlite3* db) -> DWORD {
    if (DWORD e = KeyExists(db, key)) return e;
    Statement d(db, "DELETE FROM reg_values WHERE key = ? AND name = ?");
    int rc = d.Bind(1, key).Bind(2, name).Step();
    if (rc != SQLITE_DONE) return SqliteToWin32(rc);
    return sqlite3_changes(db) ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
  });
}

Result<RegistryValue> RegistryStore::EnumValue(KeyId key, DWORD index) {
  RegistryValue value;
  DWORD error = InTransaction(false, [&](sqlite3* db) -> DWORD {
    if (DWORD e = KeyExists(db, key)) return e;
    Statement q(db, "SELECT name, type, data FROM reg_values WHERE key = ? ORDER BY rowid LIMIT 1 OFFSET ?");
    int rc = q.Bind(1, key).Bind(2, int64_t(index)).Step();
    if (rc == SQLITE_DONE) return ERROR_NO_MORE_ITEMS;
    if (rc != SQLITE_ROW) return SqliteToWin32(rc);
    value.name = q.Text(0);
    value.type = static_cast<DWORD>(q.Int(1));
    value.data = q.Blob(2);
    return ERROR_SUCCESS;
  });
  if (error) return Result<RegistryValue>::Fail(error);
  return value;
}

Result<std::string> RegistryStore::EnumKey(KeyId key, DWORD index) {
  std::string name;
  DWORD error = InTransaction(false, [&](sqlite3* db) -> DWORD {
    if (DWORD e = KeyExists(db, key)) return e;
    Statement q(db, "SELECT name FROM reg_keys WHERE parent = ? ORDER BY id LIMIT 1 OFFSET ?");
    int rc = q.Bind(1, key).Bind(2, int64_t(index)).Step();
    if (rc == SQLITE_DONE) return ERROR_NO_MORE_ITEMS;
    if (rc != SQLITE_ROW) return SqliteToWin32(rc);
    name = q.Text(0);
    return ERROR_SUCCESS;
  });
  if (error) return Result<std::string>::Fail(error);
  return name;
}

DWORD RegistryStore::Flush() {
  auto connection = TheConnection().Lock();
  if (DWORD error = Attach(*connection)) return error;
  // A commit is in the WAL, or in the database if a checkpoint has moved it
  // there; a checkpoint syncs the database when it completes, and the WAL is
  // only reused after that. Syncing the WAL therefore covers every commit;
  // without a WAL the database holds everything.
  for (const std::string& path : {connection->path + "-wal", connection->path}) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      if (errno == ENOENT) continue;
      return ERROR_REGISTRY_IO_FAILED;
    }
    const bool synced = ::fdatasync(fd) == 0;
    ::close(fd);
    if (!synced) return ERROR_REGISTRY_IO_FAILED;
    break;
  }
  return ERROR_SUCCESS;
}

}  // namespace tarn::win32
