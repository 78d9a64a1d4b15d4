// The reference host's persistent object store, kept in an embedded SQLite
// database: one database file per store, or a private in-memory database
// (the default, ":memory:").
//
// File format (application_id 0x52424F53 "RBOS", user_version 1):
//   response_definition(problem_key INTEGER PRIMARY KEY, pass_fail BLOB)
//   design_point(problem_key, point_index, ind_resps, link_resps, synth_resps BLOB;
//                PRIMARY KEY (problem_key, point_index))
//   result(problem_key INTEGER PRIMARY KEY, design_points INTEGER)
// An array is one BLOB of fixed-width little-endian values (int32 marks,
// IEEE-754 binary64 responses), whatever the machine's byte order, so a file
// moves between machines and every double comes back bit for bit.  The
// database keeps SQLite's rollback journal (no WAL): at rest the store is
// exactly one file.
//
// Lock: one process-wide recursive mutex serialises every use of the
// connection.  The outermost CLock also opens a BEGIN IMMEDIATE
// transaction, which holds SQLite's reserved lock on the file, so writers in
// other processes wait (up to kBusyTimeoutMs) until UnLock commits; a lock
// taken while the same thread holds one nests as a savepoint.  Writes are
// kept only by UnLock: a CLock destroyed without UnLock rolls back whatever
// was written under it.  The Put* seams write under their own CLock, so a
// failure or a crash between their statements leaves the old record whole.
#include "rbo/host/ObjectStore.h"

#include <sqlite3.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <mutex>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "rbo/host/ReferenceHost.h"

namespace {

constexpr const char* kDefaultPath = ":memory:";
constexpr int kApplicationId = 0x52424F53;  // "RBOS": marks a file as an object store
constexpr int kFormatVersion = 1;           // user_version of the layout above
constexpr int kBusyTimeoutMs = 10000;       // wait for another process's write lock

constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS response_definition("
    " problem_key INTEGER PRIMARY KEY,"
    " pass_fail BLOB NOT NULL);"
    "CREATE TABLE IF NOT EXISTS design_point("
    " problem_key INTEGER NOT NULL,"
    " point_index INTEGER NOT NULL CHECK (point_index >= 0),"
    " ind_resps BLOB NOT NULL,"
    " link_resps BLOB NOT NULL,"
    " synth_resps BLOB NOT NULL,"
    " PRIMARY KEY (problem_key, point_index)) WITHOUT ROWID;"
    "CREATE TABLE IF NOT EXISTS result("
    " problem_key INTEGER PRIMARY KEY,"
    " design_points INTEGER NOT NULL CHECK (design_points >= 0));";

/// The statements of the store, prepared once per connection.
enum EStatement : std::size_t {
  kReadMarks,
  kReadResult,
  kReadPoint,
  kWriteMarks,
  kWritePoint,
  kCountPoints,
  kWriteResult,
  kStatementCount
};

constexpr const char* kStatementSql[kStatementCount] = {
    "SELECT pass_fail FROM response_definition WHERE problem_key = ?1",
    "SELECT design_points FROM result WHERE problem_key = ?1",
    "SELECT ind_resps, link_resps, synth_resps FROM design_point WHERE problem_key = ?1 AND point_index = ?2",
    "INSERT INTO response_definition(problem_key, pass_fail) VALUES (?1, ?2)"
    " ON CONFLICT(problem_key) DO UPDATE SET pass_fail = excluded.pass_fail",
    "INSERT INTO design_point(problem_key, point_index, ind_resps, link_resps, synth_resps)"
    " VALUES (?1, ?2, ?3, ?4, ?5) ON CONFLICT(problem_key, point_index) DO UPDATE SET"
    " ind_resps = excluded.ind_resps, link_resps = excluded.link_resps, synth_resps = excluded.synth_resps",
    "INSERT INTO result(problem_key, design_points)"
    " VALUES (?1, (SELECT count(*) FROM design_point WHERE problem_key = ?1))"
    " ON CONFLICT(problem_key) DO UPDATE SET design_points = excluded.design_points",
    "INSERT INTO result(problem_key, design_points) VALUES (?1, ?2)"
    " ON CONFLICT(problem_key) DO UPDATE SET design_points = excluded.design_points",
};

using Blob = std::vector<unsigned char>;

// ---- little-endian array codec ----

/// The stored width of a value type.
template <class Plain>
struct CWire;
template <>
struct CWire<std::int32_t> {
  using Bits = std::uint32_t;
};
template <>
struct CWire<double> {
  using Bits = std::uint64_t;
};

/// The values as one BLOB: each value's bits, least significant byte first.
template <class Plain>
Blob Encode(const std::vector<Plain>& values) {
  using Bits = typename CWire<Plain>::Bits;
  Blob blob;
  blob.reserve(values.size() * sizeof(Bits));
  for (const Plain& v : values) {
    Bits bits;
    std::memcpy(&bits, &v, sizeof bits);
    for (std::size_t b = 0; b < sizeof(Bits); ++b) blob.push_back(static_cast<unsigned char>(bits >> (8 * b)));
  }
  return blob;
}

/// The inverse of Encode, for nBytes bytes at p (a whole number of values).
template <class Plain, class Value>
void Decode(const unsigned char* p, std::size_t nBytes, std::vector<Value>& out) {
  using Bits = typename CWire<Plain>::Bits;
  out.resize(nBytes / sizeof(Bits));
  for (std::size_t i = 0; i < out.size(); ++i, p += sizeof(Bits)) {
    Bits bits = 0;
    for (std::size_t b = 0; b < sizeof(Bits); ++b) bits = Bits(bits | Bits(Bits(p[b]) << (8 * b)));
    Plain value;
    std::memcpy(&value, &bits, sizeof value);
    out[i] = value;
  }
}

}  // namespace

// The process's store: the SQLite connection, its prepared statements and
// the lock state.  One instance lives for the process; GetPOD hands out its
// address, which therefore stays valid across OpenStore and CloseStore.
class POD {
 public:
  POD() = default;
  ~POD() { Close(); }
  POD(const POD&) = delete;
  POD& operator=(const POD&) = delete;

  std::recursive_mutex m_mutex;           ///< serialises every use of the store
  std::string m_sPath = kDefaultPath;     ///< database to open: a file path or ":memory:"
  std::string m_sError;                   ///< why the last open failed ("" when it succeeded)
  refhost::StoreWriteHook m_fnWriteHook;  ///< test hook run before each write statement
  int m_nWrites = 0;                      ///< write statements run by the current Put* call

  /// Opens m_sPath unless a connection is open.  Throws std::runtime_error.
  void EnsureOpen() {
    if (m_pDb == nullptr) Open();
  }

  /// Opens m_sPath if needed; false (reason in m_sError) when it cannot.
  bool TryOpen() {
    try {
      EnsureOpen();
      return true;
    } catch (const std::runtime_error& e) {
      m_sError = e.what();
      return false;
    }
  }

  /// Finalises the statements and closes the connection.  Throws
  /// std::logic_error when a CLock is held (its transaction would be lost).
  void CloseChecked() {
    if (!m_vOwners.empty()) throw std::logic_error("the object store '" + m_sPath + "' is locked: cannot close it");
    Close();
  }

  // ---- locking ----

  /// Takes one level of the lock for owner: the mutex, then a transaction
  /// (outermost) or a savepoint (nested).  Throws with nothing held.
  void Acquire(const CLock* pOwner) {
    m_mutex.lock();
    try {
      EnsureOpen();
      Exec(m_vOwners.empty() ? std::string("BEGIN IMMEDIATE") : "SAVEPOINT " + SavepointName(m_vOwners.size()),
           "taking the lock");
      m_vOwners.push_back(pOwner);
    } catch (...) {
      m_mutex.unlock();
      throw;
    }
  }

  /// Throws std::logic_error unless owner holds the innermost level.
  void RequireInnermost(const CLock* pOwner) const {
    if (m_vOwners.empty() || m_vOwners.back() != pOwner)
      throw std::logic_error("CLock::UnLock: a lock taken later on the object store is still held");
  }

  /// Commits the innermost level (held by the caller).  On failure the
  /// level is rolled back and released, then the error is thrown.
  void Commit() {
    const std::size_t level = m_vOwners.size() - 1;
    try {
      Exec(level == 0 ? std::string("COMMIT") : "RELEASE " + SavepointName(level), "committing");
    } catch (...) {
      RollbackTo(level);
      throw;
    }
    DropLevelsFrom(level);
  }

  /// Rolls back and releases owner's level and every level taken after it.
  /// An owner no longer holding a level (released with an outer one) is ignored.
  void Rollback(const CLock* pOwner) noexcept {
    const auto it = std::find(m_vOwners.begin(), m_vOwners.end(), pOwner);
    if (it != m_vOwners.end()) RollbackTo(std::size_t(it - m_vOwners.begin()));
  }

  // ---- statements ----

  /// A prepared statement, bound to keys and reset (bindings cleared) on
  /// scope exit, so that no statement keeps a read open between calls.
  class CQuery {
   public:
    CQuery(POD& pod, EStatement which, std::initializer_list<int> keys) : m_pod(pod), m_pStmt(pod.Prepared(which)) {
      int column = 1;
      for (int key : keys) pod.Check(sqlite3_bind_int(m_pStmt, column++, key), "binding a key");
    }
    ~CQuery() {
      sqlite3_reset(m_pStmt);
      sqlite3_clear_bindings(m_pStmt);
    }
    CQuery(const CQuery&) = delete;
    CQuery& operator=(const CQuery&) = delete;

    void BindBlob(int column, const Blob& blob) {
      // A null pointer would bind SQL NULL; an empty array is a zero-length BLOB.
      static const unsigned char kEmpty = 0;
      m_pod.Check(
          sqlite3_bind_blob(m_pStmt, column, blob.empty() ? &kEmpty : blob.data(), int(blob.size()), SQLITE_TRANSIENT),
          "binding an array");
    }

    /// Steps a read: true on a row, false when the record is absent.
    bool Row() {
      const int rc = sqlite3_step(m_pStmt);
      if (rc == SQLITE_ROW) return true;
      if (rc != SQLITE_DONE) m_pod.Check(rc, "reading a record");
      return false;
    }

    /// Runs a write statement, after the test hook.
    void Write() {
      if (m_pod.m_fnWriteHook) m_pod.m_fnWriteHook(m_pod.m_nWrites);
      ++m_pod.m_nWrites;
      const int rc = sqlite3_step(m_pStmt);
      if (rc != SQLITE_DONE) m_pod.Check(rc, "writing a record");
    }

    int Int(int column) const { return sqlite3_column_int(m_pStmt, column); }

    /// Decodes a BLOB column of Plain values (Encode's layout).
    template <class Plain, class Value>
    void Array(int column, std::vector<Value>& out) const {
      const auto* p = static_cast<const unsigned char*>(sqlite3_column_blob(m_pStmt, column));
      const std::size_t nBytes = std::size_t(sqlite3_column_bytes(m_pStmt, column));
      if (nBytes % sizeof(typename CWire<Plain>::Bits) != 0)
        throw std::runtime_error("object store '" + m_pod.m_sPath + "': corrupt record (an array of " +
                                 std::to_string(nBytes) + " bytes)");
      Decode<Plain>(p, nBytes, out);
    }

   private:
    POD& m_pod;             ///< the store the statement belongs to
    sqlite3_stmt* m_pStmt;  ///< the prepared statement
  };

  /// Throws std::runtime_error naming the store, what was being done and
  /// SQLite's message, unless rc is SQLITE_OK.
  void Check(int rc, const char* pszDoing) const {
    if (rc == SQLITE_OK) return;
    const char* pszMessage = m_pDb != nullptr ? sqlite3_errmsg(m_pDb) : sqlite3_errstr(rc);
    throw std::runtime_error("object store '" + m_sPath + "': " + pszDoing + ": " + pszMessage);
  }

 private:
  sqlite3* m_pDb = nullptr;                           ///< the open connection, or null
  sqlite3_stmt* m_vStatements[kStatementCount] = {};  ///< prepared on first use, per connection
  std::vector<const CLock*> m_vOwners;                ///< lock levels, outermost first

  static std::string SavepointName(std::size_t level) { return "lock_" + std::to_string(level); }

  void Open() {
    sqlite3* pDb = nullptr;
    const int rc = sqlite3_open_v2(m_sPath.c_str(), &pDb,
                                   SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
    if (rc != SQLITE_OK) {
      const std::string message = pDb != nullptr ? sqlite3_errmsg(pDb) : sqlite3_errstr(rc);
      sqlite3_close(pDb);
      throw std::runtime_error("object store '" + m_sPath + "': opening: " + message);
    }
    m_pDb = pDb;
    try {
      sqlite3_busy_timeout(m_pDb, kBusyTimeoutMs);
      PrepareSchema();
    } catch (...) {
      Close();
      throw;
    }
    m_sError.clear();
  }

  /// Checks that the database is a store of a format this host reads, and
  /// creates the tables in a new one.  A current store is only read, so a
  /// write-protected store file can still be opened.
  void PrepareSchema() {
    const int nApplicationId = Pragma("application_id");
    const int nVersion = Pragma("user_version");
    if (nApplicationId == kApplicationId && nVersion == kFormatVersion) return;
    if (nApplicationId != kApplicationId && CountSchemaObjects() > 0)
      throw std::runtime_error("object store '" + m_sPath + "': the database is not an object store");
    if (nVersion > kFormatVersion)
      throw std::runtime_error("object store '" + m_sPath + "': store format " + std::to_string(nVersion) +
                               " is newer than this host's format " + std::to_string(kFormatVersion));
    Exec("BEGIN IMMEDIATE", "creating the tables");
    try {
      Exec(kSchema, "creating the tables");
      Exec("PRAGMA application_id = " + std::to_string(kApplicationId), "creating the tables");
      Exec("PRAGMA user_version = " + std::to_string(kFormatVersion), "creating the tables");
      Exec("COMMIT", "creating the tables");
    } catch (...) {
      sqlite3_exec(m_pDb, "ROLLBACK", nullptr, nullptr, nullptr);
      throw;
    }
  }

  int Pragma(const char* pszName) {
    int value = 0;
    const std::string sql = std::string("PRAGMA ") + pszName;
    sqlite3_stmt* pStmt = nullptr;
    Check(sqlite3_prepare_v2(m_pDb, sql.c_str(), -1, &pStmt, nullptr), "reading the format");
    const int rc = sqlite3_step(pStmt);
    if (rc == SQLITE_ROW) value = sqlite3_column_int(pStmt, 0);
    sqlite3_finalize(pStmt);
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) Check(rc, "reading the format");
    return value;
  }

  int CountSchemaObjects() {
    sqlite3_stmt* pStmt = nullptr;
    Check(sqlite3_prepare_v2(m_pDb, "SELECT count(*) FROM sqlite_master", -1, &pStmt, nullptr), "reading the format");
    const int rc = sqlite3_step(pStmt);
    const int n = rc == SQLITE_ROW ? sqlite3_column_int(pStmt, 0) : 0;
    sqlite3_finalize(pStmt);
    if (rc != SQLITE_ROW) Check(rc, "reading the format");
    return n;
  }

  void Close() noexcept {
    for (sqlite3_stmt*& pStmt : m_vStatements) {
      sqlite3_finalize(pStmt);
      pStmt = nullptr;
    }
    sqlite3_close_v2(m_pDb);
    m_pDb = nullptr;
  }

  void Exec(const std::string& sql, const char* pszDoing) {
    Check(sqlite3_exec(m_pDb, sql.c_str(), nullptr, nullptr, nullptr), pszDoing);
  }

  sqlite3_stmt* Prepared(EStatement which) {
    EnsureOpen();
    sqlite3_stmt*& pStmt = m_vStatements[which];
    if (pStmt == nullptr)
      Check(sqlite3_prepare_v3(m_pDb, kStatementSql[which], -1, SQLITE_PREPARE_PERSISTENT, &pStmt, nullptr),
            "preparing a statement");
    return pStmt;
  }

  /// Rolls back levels level.. and releases them.  SQLite may already have
  /// ended the whole transaction after an I/O or memory failure; then there
  /// is nothing left to undo.
  void RollbackTo(std::size_t level) noexcept {
    if (m_pDb != nullptr && !sqlite3_get_autocommit(m_pDb)) {
      const std::string sql = level == 0 ? std::string("ROLLBACK")
                                         : "ROLLBACK TO " + SavepointName(level) + "; RELEASE " + SavepointName(level);
      sqlite3_exec(m_pDb, sql.c_str(), nullptr, nullptr, nullptr);
    }
    DropLevelsFrom(level);
  }

  /// Forgets levels level.. and unlocks the mutex once for each.  Nothing
  /// of the store may be touched after the last unlock: another thread may
  /// already hold it.
  void DropLevelsFrom(std::size_t level) noexcept {
    const std::size_t nLevels = m_vOwners.size() - level;
    m_vOwners.resize(level);
    for (std::size_t i = 0; i < nLevels; ++i) m_mutex.unlock();
  }
};

namespace {

POD& Store() {
  static POD s_store;
  return s_store;
}

/// Runs write(pod) as one all-or-nothing write of a Put* seam: under a lock
/// of its own (a savepoint when the caller already holds one).
template <class Write>
void WriteRecord(Write write) {
  POD& pod = Store();
  CLock lock(&pod, 0);
  pod.m_nWrites = 0;
  write(pod);
  lock.UnLock();
}

void RequireNonNegative(int value, const char* pszWhat) {
  if (value < 0)
    throw std::invalid_argument(std::string("object store: negative ") + pszWhat + " " + std::to_string(value));
}

}  // namespace

// ---------------------------------------------------------------- host interface

POD* GetPOD() {
  POD& pod = Store();
  std::lock_guard<std::recursive_mutex> guard(pod.m_mutex);
  return pod.TryOpen() ? &pod : nullptr;
}

// Only mode 0, the exclusive read-write lock, exists in this host.
CLock::CLock(POD* pPod, long nMode) : m_pPod(pPod), m_bLocked(false) {
  if (pPod == nullptr) throw std::invalid_argument("CLock: no object store");
  if (nMode != 0) throw std::invalid_argument("CLock: unknown lock mode " + std::to_string(nMode));
  pPod->Acquire(this);
  m_bLocked = true;
}

CLock::~CLock() {
  if (m_bLocked) m_pPod->Rollback(this);
}

void CLock::UnLock() {
  if (!m_bLocked) return;
  m_pPod->RequireInnermost(this);
  m_bLocked = false;
  m_pPod->Commit();
}

vbPersistent::~vbPersistent() = default;

bool vbPersistent::GetObject() { return m_pPod != nullptr && Read(m_pPod); }

bool CDResp::Read(POD* pPod) {
  std::lock_guard<std::recursive_mutex> guard(pPod->m_mutex);
  POD::CQuery query(*pPod, kReadMarks, {int(m_nKey)});
  if (!query.Row()) return false;
  query.Array<std::int32_t>(0, m_vPassFail);
  return true;
}

bool CResult::Read(POD* pPod) {
  std::lock_guard<std::recursive_mutex> guard(pPod->m_mutex);
  POD::CQuery query(*pPod, kReadResult, {int(m_nKey)});
  if (!query.Row()) return false;
  m_nDesignPoints = query.Int(0);
  return true;
}

bool CDPoint::Read(POD* pPod) {
  std::lock_guard<std::recursive_mutex> guard(pPod->m_mutex);
  POD::CQuery query(*pPod, kReadPoint, {int(m_nKey), int(m_nIndex)});
  if (!query.Row()) return false;
  query.Array<double>(0, m_vIndResps);
  query.Array<double>(1, m_vLinkResps);
  query.Array<double>(2, m_vSynthResps);
  return true;
}

// ---------------------------------------------------------------- seams

namespace refhost {

void OpenStore(const std::string& path) {
  POD& pod = Store();
  std::lock_guard<std::recursive_mutex> guard(pod.m_mutex);
  pod.CloseChecked();
  pod.m_sPath = path.empty() ? kDefaultPath : path;
  pod.m_sError.clear();
  try {
    pod.EnsureOpen();
  } catch (const std::runtime_error& e) {
    pod.m_sError = e.what();
    throw;
  }
}

void CloseStore() {
  POD& pod = Store();
  std::lock_guard<std::recursive_mutex> guard(pod.m_mutex);
  pod.CloseChecked();
}

std::string StoreError() {
  POD& pod = Store();
  std::lock_guard<std::recursive_mutex> guard(pod.m_mutex);
  return pod.m_sError;
}

void PutPassFailMarks(int key, const std::vector<int>& marks) {
  WriteRecord([&](POD& pod) {
    POD::CQuery query(pod, kWriteMarks, {key});
    query.BindBlob(2, Encode<std::int32_t>(marks));
    query.Write();
  });
}

void PutDesignPoint(int key, int index, const std::vector<double>& group0, const std::vector<double>& group1,
                    const std::vector<double>& group2) {
  RequireNonNegative(index, "design-point index");
  WriteRecord([&](POD& pod) {
    {
      POD::CQuery point(pod, kWritePoint, {key, index});
      point.BindBlob(3, Encode<double>(group0));
      point.BindBlob(4, Encode<double>(group1));
      point.BindBlob(5, Encode<double>(group2));
      point.Write();
    }
    POD::CQuery count(pod, kCountPoints, {key});
    count.Write();
  });
}

void PutResultCount(int key, int count) {
  RequireNonNegative(count, "design-point count");
  WriteRecord([&](POD& pod) {
    POD::CQuery query(pod, kWriteResult, {key, count});
    query.Write();
  });
}

void SetStoreWriteHook(StoreWriteHook hook) {
  POD& pod = Store();
  std::lock_guard<std::recursive_mutex> guard(pod.m_mutex);
  pod.m_fnWriteHook = std::move(hook);
}

}  // namespace refhost
