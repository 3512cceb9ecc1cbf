#include "tools/kvrd/sqlite_catalog.h"

#include <sqlite3.h>

#include <filesystem>

#include "tools/kvrd/log.h"
#include "tools/kvrd/wall_time.h"

namespace kvrd {
namespace {

namespace fs = std::filesystem;

constexpr char kSchema[] = R"sql(
CREATE TABLE IF NOT EXISTS cameras(name TEXT PRIMARY KEY);
CREATE TABLE IF NOT EXISTS segments(
  id INTEGER PRIMARY KEY, camera TEXT NOT NULL, volume TEXT NOT NULL, file TEXT NOT NULL,
  start_ms INTEGER NOT NULL, end_ms INTEGER NOT NULL, bytes INTEGER NOT NULL,
  key_frames INTEGER NOT NULL, open INTEGER NOT NULL, UNIQUE(volume, file));
CREATE INDEX IF NOT EXISTS segments_by_camera ON segments(camera, start_ms);
CREATE INDEX IF NOT EXISTS segments_by_volume ON segments(volume, end_ms);
CREATE TABLE IF NOT EXISTS gaps(
  id INTEGER PRIMARY KEY, camera TEXT NOT NULL, start_ms INTEGER NOT NULL,
  end_ms INTEGER NOT NULL, cause TEXT NOT NULL);
CREATE INDEX IF NOT EXISTS gaps_by_camera ON gaps(camera, start_ms);
CREATE TABLE IF NOT EXISTS protections(
  id INTEGER PRIMARY KEY, camera TEXT NOT NULL, start_ms INTEGER NOT NULL,
  end_ms INTEGER NOT NULL);
)sql";

const std::string kSegmentColumns =
    "SELECT id, camera, volume, file, start_ms, end_ms, bytes, key_frames, open FROM segments s ";
constexpr char kUnprotected[] =
    " AND NOT EXISTS (SELECT 1 FROM protections p WHERE p.camera = s.camera"
    " AND p.start_ms < s.end_ms AND p.end_ms > s.start_ms)";

// Opens `path` and checks that it reads as a catalog; null when it does not.
sqlite3* OpenChecked(const std::string& path, std::string* why) {
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) !=
      SQLITE_OK) {
    *why = db != nullptr ? sqlite3_errmsg(db) : "out of memory";
    sqlite3_close(db);
    return nullptr;
  }
  sqlite3_busy_timeout(db, 5000);
  sqlite3_stmt* check = nullptr;
  bool ok = sqlite3_prepare_v2(db, "PRAGMA quick_check", -1, &check, nullptr) == SQLITE_OK &&
            sqlite3_step(check) == SQLITE_ROW &&
            std::string(reinterpret_cast<const char*>(sqlite3_column_text(check, 0))) == "ok";
  sqlite3_finalize(check);
  char* message = nullptr;
  if (ok) {
    ok = sqlite3_exec(db, "PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL;", nullptr, nullptr,
                      &message) == SQLITE_OK &&
         sqlite3_exec(db, kSchema, nullptr, nullptr, &message) == SQLITE_OK;
  }
  if (!ok) {
    *why = message != nullptr ? message : sqlite3_errmsg(db);
    sqlite3_free(message);
    sqlite3_close(db);
    return nullptr;
  }
  return db;
}

}  // namespace

// A prepared statement with its bindings, finalized on the way out.
class SqliteCatalog::Statement {
 public:
  Statement(sqlite3* db, const std::string& sql) : db_(db) {
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt_, nullptr) != SQLITE_OK) {
      Log(LOG_ERR, "catalog: %s", sqlite3_errmsg(db));
      stmt_ = nullptr;
    }
  }
  ~Statement() { sqlite3_finalize(stmt_); }
  Statement& Bind(int64_t value) {
    if (stmt_ != nullptr) sqlite3_bind_int64(stmt_, ++at_, value);
    return *this;
  }
  Statement& Bind(const std::string& text) {
    if (stmt_ != nullptr) sqlite3_bind_text(stmt_, ++at_, text.c_str(), -1, SQLITE_TRANSIENT);
    return *this;
  }
  // One step: true for a row.
  bool Row() {
    if (stmt_ == nullptr) return false;
    const int r = sqlite3_step(stmt_);
    if (r != SQLITE_ROW && r != SQLITE_DONE) Log(LOG_ERR, "catalog: %s", sqlite3_errmsg(db_));
    return r == SQLITE_ROW;
  }
  // Runs to the end: true when it finished.
  bool Done() {
    if (stmt_ == nullptr) return false;
    int r;
    while ((r = sqlite3_step(stmt_)) == SQLITE_ROW) {
    }
    if (r != SQLITE_DONE) Log(LOG_ERR, "catalog: %s", sqlite3_errmsg(db_));
    return r == SQLITE_DONE;
  }
  int64_t Int(int column) { return sqlite3_column_int64(stmt_, column); }
  std::string Text(int column) {
    const auto* text = sqlite3_column_text(stmt_, column);
    return text != nullptr ? reinterpret_cast<const char*>(text) : "";
  }

 private:
  sqlite3* db_;
  sqlite3_stmt* stmt_ = nullptr;
  int at_ = 0;
};

std::unique_ptr<SqliteCatalog> SqliteCatalog::Open(const std::string& folder, std::string* error) {
  std::error_code ec;
  fs::create_directories(folder, ec);
  const std::string path = (fs::path(folder) / "catalog.db").string();
  const bool existed = fs::exists(path, ec);
  std::string why;
  sqlite3* db = OpenChecked(path, &why);
  if (db == nullptr && existed) {
    // Never trusted, never thrown away: kept beside the new one for a person to look at.
    const std::string aside = path + ".corrupt-" + SegmentFileName(NowMs()).substr(0, 19);
    Log(LOG_ERR, "catalog %s is unreadable (%s): set aside as %s and rebuilt from the files",
        path.c_str(), why.c_str(), aside.c_str());
    fs::rename(path, aside, ec);
    for (const char* extra : {"-wal", "-shm"}) fs::remove(path + extra, ec);
    db = OpenChecked(path, &why);
  }
  if (db == nullptr) {
    *error = "catalog " + path + ": " + why;
    return nullptr;
  }
  return std::unique_ptr<SqliteCatalog>(new SqliteCatalog(db, !existed || why.size() > 0));
}

SqliteCatalog::~SqliteCatalog() { sqlite3_close(db_); }

bool SqliteCatalog::Check(std::string* why) {
  platform::MutexLock lock(mu_);
  char* message = nullptr;
  if (sqlite3_exec(db_, "SELECT count(*) FROM cameras", nullptr, nullptr, &message) == SQLITE_OK) {
    return true;
  }
  *why = message != nullptr ? message : sqlite3_errmsg(db_);
  sqlite3_free(message);
  return false;
}

bool SqliteCatalog::AddCamera(const std::string& name) {
  platform::MutexLock lock(mu_);
  return Statement(db_, "INSERT OR IGNORE INTO cameras(name) VALUES(?)").Bind(name).Done();
}

std::vector<std::string> SqliteCatalog::Cameras() {
  platform::MutexLock lock(mu_);
  std::vector<std::string> names;
  Statement q(db_, "SELECT name FROM cameras ORDER BY name");
  while (q.Row()) names.push_back(q.Text(0));
  return names;
}

int64_t SqliteCatalog::AddSegment(const SegmentRow& row) {
  platform::MutexLock lock(mu_);
  Statement q(db_,
              "INSERT INTO segments(camera, volume, file, start_ms, end_ms, bytes, key_frames,"
              " open) VALUES(?, ?, ?, ?, ?, ?, ?, ?)");
  q.Bind(row.camera).Bind(row.volume).Bind(row.file).Bind(row.startMs).Bind(row.endMs);
  q.Bind(row.bytes).Bind(row.keyFrames).Bind(row.open ? 1 : 0);
  return q.Done() ? sqlite3_last_insert_rowid(db_) : 0;
}

bool SqliteCatalog::UpdateSegment(const SegmentRow& row) {
  platform::MutexLock lock(mu_);
  Statement q(db_,
              "UPDATE segments SET volume = ?, file = ?, start_ms = ?, end_ms = ?, bytes = ?,"
              " key_frames = ?, open = ? WHERE id = ?");
  q.Bind(row.volume).Bind(row.file).Bind(row.startMs).Bind(row.endMs).Bind(row.bytes);
  q.Bind(row.keyFrames).Bind(row.open ? 1 : 0).Bind(row.id);
  return q.Done();
}

bool SqliteCatalog::RemoveSegment(int64_t id) {
  platform::MutexLock lock(mu_);
  return Statement(db_, "DELETE FROM segments WHERE id = ?").Bind(id).Done();
}

std::vector<SegmentRow> SqliteCatalog::SegmentQuery(const std::string& where,
                                                    const std::string& text,
                                                    std::initializer_list<int64_t> numbers) {
  platform::MutexLock lock(mu_);
  Statement q(db_, kSegmentColumns + where);
  if (!text.empty()) q.Bind(text);
  for (int64_t number : numbers) q.Bind(number);
  std::vector<SegmentRow> rows;
  while (q.Row()) {
    rows.push_back({q.Int(0), q.Text(1), q.Text(2), q.Text(3), q.Int(4), q.Int(5), q.Int(6),
                    q.Int(7), q.Int(8) != 0});
  }
  return rows;
}

std::vector<SegmentRow> SqliteCatalog::Segments(const std::string& camera, int64_t fromMs,
                                                int64_t toMs) {
  // A segment is at most a day long, so the start index bounds the scan.
  return SegmentQuery(
      "WHERE camera = ? AND start_ms > ? AND start_ms < ? AND end_ms > ? ORDER BY start_ms", camera,
      {fromMs - 86'400'000, toMs, fromMs});
}

std::vector<SegmentRow> SqliteCatalog::AllSegments() {
  return SegmentQuery("ORDER BY camera, start_ms", "", {});
}

std::vector<SegmentRow> SqliteCatalog::Expired(const std::string& camera, int64_t beforeMs) {
  return SegmentQuery(std::string("WHERE camera = ? AND open = 0 AND end_ms < ?") + kUnprotected +
                          " ORDER BY start_ms",
                      camera, {beforeMs});
}

std::vector<SegmentRow> SqliteCatalog::Oldest(const std::string& volume, int limit) {
  return SegmentQuery(
      std::string("WHERE volume = ? AND open = 0") + kUnprotected + " ORDER BY end_ms LIMIT ?",
      volume, {limit});
}

int64_t SqliteCatalog::AddGap(const GapRow& row) {
  platform::MutexLock lock(mu_);
  Statement q(db_, "INSERT INTO gaps(camera, start_ms, end_ms, cause) VALUES(?, ?, ?, ?)");
  q.Bind(row.camera).Bind(row.startMs).Bind(row.endMs).Bind(row.cause);
  return q.Done() ? sqlite3_last_insert_rowid(db_) : 0;
}

bool SqliteCatalog::SetGapEnd(int64_t id, int64_t endMs) {
  platform::MutexLock lock(mu_);
  return Statement(db_, "UPDATE gaps SET end_ms = ? WHERE id = ?").Bind(endMs).Bind(id).Done();
}

std::vector<GapRow> SqliteCatalog::Gaps(const std::string& camera, int64_t fromMs, int64_t toMs) {
  platform::MutexLock lock(mu_);
  Statement q(db_,
              "SELECT id, camera, start_ms, end_ms, cause FROM gaps WHERE camera = ?"
              " AND start_ms < ? AND end_ms > ? ORDER BY start_ms");
  q.Bind(camera).Bind(toMs).Bind(fromMs);
  std::vector<GapRow> rows;
  while (q.Row()) rows.push_back({q.Int(0), q.Text(1), q.Int(2), q.Int(3), q.Text(4)});
  return rows;
}

int64_t SqliteCatalog::AddProtection(const ProtectionRow& row) {
  platform::MutexLock lock(mu_);
  Statement q(db_, "INSERT INTO protections(camera, start_ms, end_ms) VALUES(?, ?, ?)");
  q.Bind(row.camera).Bind(row.startMs).Bind(row.endMs);
  return q.Done() ? sqlite3_last_insert_rowid(db_) : 0;
}

int SqliteCatalog::RemoveProtections(const std::string& camera, int64_t fromMs, int64_t toMs) {
  platform::MutexLock lock(mu_);
  Statement q(db_, "DELETE FROM protections WHERE camera = ? AND start_ms >= ? AND end_ms <= ?");
  q.Bind(camera).Bind(fromMs).Bind(toMs);
  return q.Done() ? sqlite3_changes(db_) : 0;
}

std::vector<ProtectionRow> SqliteCatalog::Protections(const std::string& camera, int64_t fromMs,
                                                      int64_t toMs) {
  platform::MutexLock lock(mu_);
  Statement q(db_,
              "SELECT id, camera, start_ms, end_ms FROM protections WHERE camera = ?"
              " AND start_ms < ? AND end_ms > ? ORDER BY start_ms");
  q.Bind(camera).Bind(toMs).Bind(fromMs);
  std::vector<ProtectionRow> rows;
  while (q.Row()) rows.push_back({q.Int(0), q.Text(1), q.Int(2), q.Int(3)});
  return rows;
}

}  // namespace kvrd
