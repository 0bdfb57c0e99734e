#include "platform/registry.h"

#include <pthread.h>
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <memory>
#include <mutex>

#include "platform/paths.h"

namespace platform {
namespace {

constexpr int kBusyTimeoutMs = 5000;
// Connections kept open at once; a real run uses two (one per hive), tests
// move the machine root and would otherwise collect one per sandbox.
constexpr size_t kMaxCachedConnections = 4;

// Key names compare case-insensitively; the name column keeps the case the
// key was first created with, for enumeration.
constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS keys("
    "  path TEXT NOT NULL COLLATE NOCASE PRIMARY KEY,"
    "  parent TEXT NOT NULL COLLATE NOCASE,"
    "  name TEXT NOT NULL) WITHOUT ROWID;"
    "CREATE INDEX IF NOT EXISTS keys_by_parent ON keys(parent);"
    "CREATE TABLE IF NOT EXISTS vals("
    "  key TEXT NOT NULL COLLATE NOCASE,"
    "  name TEXT NOT NULL COLLATE NOCASE,"
    "  type INTEGER NOT NULL,"
    "  data BLOB NOT NULL,"
    "  PRIMARY KEY(key, name)) WITHOUT ROWID;"
    "PRAGMA user_version = 1;";

constexpr const char* kSelectKey = "SELECT 1 FROM keys WHERE path = ?1";
constexpr const char* kInsertKey =
    "INSERT OR IGNORE INTO keys(path, parent, name) VALUES(?1, ?2, ?3)";
// ?2 and ?3 bound a subtree: every path starting with "<key>\" sorts between
// "<key>\" and "<key>]" (']' follows '\'), also under NOCASE.
constexpr const char* kDeleteKeys =
    "DELETE FROM keys WHERE path = ?1 OR (path >= ?2 AND path < ?3)";
constexpr const char* kDeleteKeyValues =
    "DELETE FROM vals WHERE key = ?1 OR (key >= ?2 AND key < ?3)";
constexpr const char* kSelectSubkeys = "SELECT name FROM keys WHERE parent = ?1";
constexpr const char* kSelectValueNames = "SELECT name FROM vals WHERE key = ?1";
constexpr const char* kSelectValue = "SELECT type, data FROM vals WHERE key = ?1 AND name = ?2";
constexpr const char* kUpsertValue =
    "INSERT INTO vals(key, name, type, data) VALUES(?1, ?2, ?3, ?4) "
    "ON CONFLICT(key, name) DO UPDATE SET type = excluded.type, data = excluded.data";
constexpr const char* kDeleteValue = "DELETE FROM vals WHERE key = ?1 AND name = ?2";

// One open database. Used by one thread at a time (its mutex); statements
// are prepared once and kept.
struct Connection {
  std::mutex mutex;
  sqlite3* db = nullptr;
  std::map<const char*, sqlite3_stmt*> statements;

  ~Connection() {
    for (auto& [sql, statement] : statements)
      sqlite3_finalize(statement);
    sqlite3_close_v2(db);
  }
};

// Connections by database path, for the process that opened them. A forked
// child must not use its parent's connections, so it starts a new cache and
// leaves the inherited one alone (never closed, as SQLite asks).
struct Cache {
  pid_t pid = 0;
  std::map<std::string, std::shared_ptr<Connection>> connections;
};

std::mutex g_cache_mutex;
Cache* g_cache = nullptr;

// Keeps g_cache_mutex consistent in a child forked while another thread
// held it.
void RegisterForkHandlers() {
  static std::once_flag once;
  std::call_once(once, [] {
    pthread_atfork([] { g_cache_mutex.lock(); }, [] { g_cache_mutex.unlock(); },
                   [] { g_cache_mutex.unlock(); });
  });
}

bool Exec(sqlite3* db, const char* sql) {
  return sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

bool SetWalMode(sqlite3* db) {
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v2(db, "PRAGMA journal_mode = WAL", -1, &statement, nullptr) != SQLITE_OK) {
    return false;
  }
  bool wal = false;
  if (sqlite3_step(statement) == SQLITE_ROW) {
    const unsigned char* mode = sqlite3_column_text(statement, 0);
    wal = mode != nullptr && sqlite3_stricmp(reinterpret_cast<const char*>(mode), "wal") == 0;
  }
  sqlite3_finalize(statement);
  return wal;
}

bool CreateSchema(sqlite3* db) {
  if (!Exec(db, "BEGIN IMMEDIATE"))
    return false;
  if (Exec(db, kSchema) && Exec(db, "COMMIT"))
    return true;
  Exec(db, "ROLLBACK");
  return false;
}

std::shared_ptr<Connection> Open(const std::string& folder, const std::string& path) {
  if (!CreateDirectories(folder))
    return nullptr;
  auto connection = std::make_shared<Connection>();
  // Our own mutex serialises each connection, so SQLite's is not needed.
  const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX;
  if (sqlite3_open_v2(path.c_str(), &connection->db, flags, nullptr) != SQLITE_OK)
    return nullptr;
  sqlite3_busy_timeout(connection->db, kBusyTimeoutMs);
  // Another process may be creating the database at this moment; the busy
  // handler covers the schema, this covers the switch to WAL.
  bool wal = false;
  for (int attempt = 0; attempt < 50 && !(wal = SetWalMode(connection->db)); ++attempt) {
    usleep(10 * 1000);
  }
  if (!wal)
    return nullptr;
  // With WAL this never corrupts the database; a power cut may lose the
  // last writes only.
  if (!Exec(connection->db, "PRAGMA synchronous = NORMAL"))
    return nullptr;
  if (!CreateSchema(connection->db))
    return nullptr;
  return connection;
}

std::shared_ptr<Connection> ConnectionFor(Hive hive) {
  const std::string folder = UnderRoot("/var/lib/tav/registry");
  const std::string path = folder + (hive == Hive::kLocalMachine ? "/HKLM.db" : "/HKCU.db");
  RegisterForkHandlers();
  std::lock_guard lock(g_cache_mutex);
  const pid_t pid = getpid();
  if (g_cache == nullptr || g_cache->pid != pid) {
    g_cache = new Cache;  // the old one, if any, belongs to the parent process
    g_cache->pid = pid;
  }
  auto& connections = g_cache->connections;
  auto found = connections.find(path);
  if (found != connections.end())
    return found->second;
  std::shared_ptr<Connection> connection = Open(folder, path);
  if (connection == nullptr)
    return nullptr;
  // Connections still in use stay alive through their callers' references.
  if (connections.size() >= kMaxCachedConnections)
    connections.clear();
  connections.emplace(path, connection);
  return connection;
}

// A prepared statement borrowed from a connection for one use.
class Statement {
 public:
  Statement(Connection& connection, const char* sql) {
    auto found = connection.statements.find(sql);
    if (found != connection.statements.end()) {
      statement_ = found->second;
      return;
    }
    if (sqlite3_prepare_v3(connection.db, sql, -1, SQLITE_PREPARE_PERSISTENT, &statement_,
                           nullptr) != SQLITE_OK) {
      sqlite3_finalize(statement_);
      statement_ = nullptr;
      return;
    }
    connection.statements.emplace(sql, statement_);
  }
  ~Statement() {
    if (statement_ == nullptr)
      return;
    sqlite3_reset(statement_);
    sqlite3_clear_bindings(statement_);
  }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  bool ok() const { return statement_ != nullptr; }
  Statement& Bind(int index, const std::string& text) {
    if (ok())
      sqlite3_bind_text(statement_, index, text.data(), static_cast<int>(text.size()),
                        SQLITE_TRANSIENT);
    return *this;
  }
  Statement& BindInt(int index, int64_t number) {
    if (ok())
      sqlite3_bind_int64(statement_, index, number);
    return *this;
  }
  Statement& BindBlob(int index, const std::string& bytes) {
    // A non-null pointer keeps an empty value a zero-length blob, not NULL.
    if (ok())
      sqlite3_bind_blob(statement_, index, bytes.data(), static_cast<int>(bytes.size()),
                        SQLITE_TRANSIENT);
    return *this;
  }
  // SQLITE_ROW, SQLITE_DONE or an error code.
  int Step() { return ok() ? sqlite3_step(statement_) : SQLITE_ERROR; }
  bool Run() { return Step() == SQLITE_DONE; }
  int64_t ColumnInt(int column) { return sqlite3_column_int64(statement_, column); }
  std::string ColumnBytes(int column) {
    const void* bytes = sqlite3_column_blob(statement_, column);
    const int size = sqlite3_column_bytes(statement_, column);
    if (bytes == nullptr || size <= 0)
      return {};
    return std::string(static_cast<const char*>(bytes), static_cast<size_t>(size));
  }

 private:
  sqlite3_stmt* statement_ = nullptr;
};

std::vector<std::string> SplitPath(const std::string& path) {
  std::vector<std::string> parts;
  std::string::size_type start = 0;
  while (start <= path.size()) {
    std::string::size_type end = path.find('\\', start);
    if (end == std::string::npos)
      end = path.size();
    if (end > start)
      parts.push_back(path.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

bool EqualsNoCase(const std::string& a, const char* b) {
  return sqlite3_stricmp(a.c_str(), b) == 0;
}

std::string JoinParts(const std::vector<std::string>& parts, size_t count) {
  std::string path;
  for (size_t i = 0; i < count && i < parts.size(); ++i) {
    if (i > 0)
      path += '\\';
    path += parts[i];
  }
  return path;
}

// The key's parts as stored: separators normalised and the 32-bit view of
// the local machine's software branch redirected, as the WOW64 redirector
// does. A path already inside WOW6432Node is not redirected twice.
std::vector<std::string> StoredParts(const RegKey& key) {
  std::vector<std::string> parts = SplitPath(key.path);
  const bool redirect = key.hive == Hive::kLocalMachine && key.view == RegView::k32 &&
                        !parts.empty() && EqualsNoCase(parts[0], "Software") &&
                        !(parts.size() > 1 && EqualsNoCase(parts[1], "WOW6432Node"));
  if (redirect)
    parts.insert(parts.begin() + 1, "WOW6432Node");
  return parts;
}

std::string StoredPath(const RegKey& key) {
  const std::vector<std::string> parts = StoredParts(key);
  return JoinParts(parts, parts.size());
}

// Runs `body` inside one write transaction on the key's hive; commits when
// it returns true.
template <typename Body>
bool WriteTransaction(const RegKey& key, Body body) {
  std::shared_ptr<Connection> connection = ConnectionFor(key.hive);
  if (connection == nullptr)
    return false;
  std::lock_guard lock(connection->mutex);
  if (!Exec(connection->db, "BEGIN IMMEDIATE"))
    return false;
  if (body(*connection) && Exec(connection->db, "COMMIT"))
    return true;
  if (!sqlite3_get_autocommit(connection->db))
    Exec(connection->db, "ROLLBACK");
  return false;
}

// Runs `body` on the key's hive for reads; a single statement is its own
// transaction.
template <typename Body>
bool Read(const RegKey& key, Body body) {
  std::shared_ptr<Connection> connection = ConnectionFor(key.hive);
  if (connection == nullptr)
    return false;
  std::lock_guard lock(connection->mutex);
  return body(*connection);
}

bool KeyExists(Connection& connection, const std::string& path) {
  if (path.empty())
    return true;  // the hive's root
  Statement select(connection, kSelectKey);
  return select.Bind(1, path).Step() == SQLITE_ROW;
}

bool EnsureKey(Connection& connection, const std::vector<std::string>& parts) {
  if (KeyExists(connection, JoinParts(parts, parts.size())))
    return true;
  for (size_t depth = 1; depth <= parts.size(); ++depth) {
    Statement insert(connection, kInsertKey);
    insert.Bind(1, JoinParts(parts, depth)).Bind(2, JoinParts(parts, depth - 1));
    if (!insert.Bind(3, parts[depth - 1]).Run())
      return false;
  }
  return true;
}

// Windows orders names by their upper-case form.
bool LessNoCase(const std::string& a, const std::string& b) {
  return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    auto upper = [](unsigned char c) { return (c >= 'a' && c <= 'z') ? c - 'a' + 'A' : c; };
    return upper(static_cast<unsigned char>(x)) < upper(static_cast<unsigned char>(y));
  });
}

std::vector<std::string> SelectNames(const RegKey& key, const char* sql) {
  std::vector<std::string> names;
  const std::string path = StoredPath(key);
  Read(key, [&](Connection& connection) {
    Statement select(connection, sql);
    select.Bind(1, path);
    int step;
    while ((step = select.Step()) == SQLITE_ROW)
      names.push_back(select.ColumnBytes(0));
    if (step != SQLITE_DONE)
      names.clear();
    return step == SQLITE_DONE;
  });
  std::sort(names.begin(), names.end(), LessNoCase);
  return names;
}

std::string EncodeDword(uint32_t value) {
  std::string bytes(4, '\0');
  for (int i = 0; i < 4; ++i)
    bytes[i] = static_cast<char>((value >> (8 * i)) & 0xFF);
  return bytes;
}

}  // namespace

bool RegKeyExists(const RegKey& key) {
  const std::string path = StoredPath(key);
  return Read(key, [&](Connection& connection) { return KeyExists(connection, path); });
}

bool RegCreateKey(const RegKey& key) {
  const std::vector<std::string> parts = StoredParts(key);
  return WriteTransaction(key,
                          [&](Connection& connection) { return EnsureKey(connection, parts); });
}

bool RegDeleteKey(const RegKey& key) {
  const std::string path = StoredPath(key);
  if (path.empty())
    return false;  // a hive's root cannot go
  return WriteTransaction(key, [&](Connection& connection) {
    Statement keys(connection, kDeleteKeys);
    if (!keys.Bind(1, path).Bind(2, path + "\\").Bind(3, path + "]").Run())
      return false;
    if (sqlite3_changes(connection.db) == 0)
      return false;
    Statement values(connection, kDeleteKeyValues);
    return values.Bind(1, path).Bind(2, path + "\\").Bind(3, path + "]").Run();
  });
}

std::vector<std::string> RegEnumSubkeys(const RegKey& key) {
  return SelectNames(key, kSelectSubkeys);
}

std::vector<std::string> RegEnumValues(const RegKey& key) {
  return SelectNames(key, kSelectValueNames);
}

bool RegGetValue(const RegKey& key, const std::string& name, RegValue* out) {
  const std::string path = StoredPath(key);
  return Read(key, [&](Connection& connection) {
    Statement select(connection, kSelectValue);
    if (select.Bind(1, path).Bind(2, name).Step() != SQLITE_ROW)
      return false;
    if (out != nullptr) {
      out->type = static_cast<uint32_t>(select.ColumnInt(0));
      out->data = select.ColumnBytes(1);
    }
    return true;
  });
}

bool RegSetValue(const RegKey& key, const std::string& name, const RegValue& value) {
  const std::vector<std::string> parts = StoredParts(key);
  const std::string path = JoinParts(parts, parts.size());
  return WriteTransaction(key, [&](Connection& connection) {
    if (!EnsureKey(connection, parts))
      return false;
    Statement upsert(connection, kUpsertValue);
    upsert.Bind(1, path).Bind(2, name).BindInt(3, value.type).BindBlob(4, value.data);
    return upsert.Run();
  });
}

bool RegDeleteValue(const RegKey& key, const std::string& name) {
  const std::string path = StoredPath(key);
  return WriteTransaction(key, [&](Connection& connection) {
    Statement remove(connection, kDeleteValue);
    return remove.Bind(1, path).Bind(2, name).Run() && sqlite3_changes(connection.db) > 0;
  });
}

bool RegGetString(const RegKey& key, const std::string& name, std::string* out) {
  RegValue value;
  if (!RegGetValue(key, name, &value))
    return false;
  if (value.type != kRegSz && value.type != kRegExpandSz)
    return false;
  // Tolerate a terminator written by a less careful writer.
  while (!value.data.empty() && value.data.back() == '\0')
    value.data.pop_back();
  if (out != nullptr)
    *out = std::move(value.data);
  return true;
}

bool RegSetString(const RegKey& key, const std::string& name, const std::string& text) {
  return RegSetValue(key, name, RegValue{kRegSz, text});
}

bool RegGetDword(const RegKey& key, const std::string& name, uint32_t* out) {
  RegValue value;
  if (!RegGetValue(key, name, &value))
    return false;
  if (value.type != kRegDword && value.type != kRegDwordBigEndian)
    return false;
  if (value.data.size() != 4)
    return false;
  uint32_t number = 0;
  for (int i = 0; i < 4; ++i) {
    const int shift = value.type == kRegDword ? 8 * i : 8 * (3 - i);
    number |= static_cast<uint32_t>(static_cast<unsigned char>(value.data[i])) << shift;
  }
  if (out != nullptr)
    *out = number;
  return true;
}

bool RegSetDword(const RegKey& key, const std::string& name, uint32_t value) {
  return RegSetValue(key, name, RegValue{kRegDword, EncodeDword(value)});
}

bool RegGetMultiString(const RegKey& key, const std::string& name, std::vector<std::string>* out) {
  RegValue value;
  if (!RegGetValue(key, name, &value))
    return false;
  if (value.type != kRegMultiSz)
    return false;
  std::vector<std::string> texts;
  std::string::size_type start = 0;
  while (start < value.data.size()) {
    std::string::size_type end = value.data.find('\0', start);
    if (end == std::string::npos)
      end = value.data.size();  // last text without its NUL
    texts.push_back(value.data.substr(start, end - start));
    start = end + 1;
  }
  if (out != nullptr)
    *out = std::move(texts);
  return true;
}

bool RegSetMultiString(const RegKey& key, const std::string& name,
                       const std::vector<std::string>& texts) {
  std::string data;
  for (const std::string& text : texts) {
    data += text;
    data += '\0';
  }
  return RegSetValue(key, name, RegValue{kRegMultiSz, data});
}

}  // namespace platform
