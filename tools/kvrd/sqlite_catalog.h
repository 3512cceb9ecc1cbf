// The catalog in an embedded SQLite file in the daemon's state folder,
// written in WAL mode with synchronous=FULL, so a committed row survives a
// crash and a power cut alike.
//
// Open() sets aside a file that does not read as a catalog (renamed to
// catalog.db.corrupt-TIME) and starts an empty one; Fresh() then tells the
// owner to rebuild it from the segment files. One connection, guarded by a
// mutex: any thread may call.
#ifndef KVR_TOOLS_KVRD_SQLITE_CATALOG_H_
#define KVR_TOOLS_KVRD_SQLITE_CATALOG_H_

#include <initializer_list>
#include <memory>
#include <string>

#include "platform/mutex.h"
#include "tools/kvrd/catalog.h"

struct sqlite3;
struct sqlite3_stmt;

namespace kvrd {

class SqliteCatalog : public Catalog {
 public:
  // Opens (or makes) FOLDER/catalog.db; null with *error when it cannot.
  static std::unique_ptr<SqliteCatalog> Open(const std::string& folder, std::string* error);
  ~SqliteCatalog() override;

  // The file was made by this open (missing or set aside before).
  bool Fresh() const { return fresh_; }

  bool Check(std::string* why) override;
  bool AddCamera(const std::string& name) override;
  std::vector<std::string> Cameras() override;
  int64_t AddSegment(const SegmentRow& row) override;
  bool UpdateSegment(const SegmentRow& row) override;
  bool RemoveSegment(int64_t id) override;
  std::vector<SegmentRow> Segments(const std::string& camera, int64_t fromMs,
                                   int64_t toMs) override;
  std::vector<SegmentRow> AllSegments() override;
  std::vector<SegmentRow> Expired(const std::string& camera, int64_t beforeMs) override;
  std::vector<SegmentRow> Oldest(const std::string& volume, int limit) override;
  int64_t AddGap(const GapRow& row) override;
  bool SetGapEnd(int64_t id, int64_t endMs) override;
  std::vector<GapRow> Gaps(const std::string& camera, int64_t fromMs, int64_t toMs) override;
  int64_t AddProtection(const ProtectionRow& row) override;
  int RemoveProtections(const std::string& camera, int64_t fromMs, int64_t toMs) override;
  std::vector<ProtectionRow> Protections(const std::string& camera, int64_t fromMs,
                                         int64_t toMs) override;

 private:
  explicit SqliteCatalog(sqlite3* db, bool fresh) : db_(db), fresh_(fresh) {}
  class Statement;

  bool Exec(const char* sql);
  // Segment rows matching `where`, bound to `text` (when not empty), then `numbers`.
  std::vector<SegmentRow> SegmentQuery(const std::string& where, const std::string& text,
                                       std::initializer_list<int64_t> numbers);

  platform::Mutex mu_;
  sqlite3* const db_ GUARDED_BY(mu_);
  const bool fresh_;
};

}  // namespace kvrd

#endif  // KVR_TOOLS_KVRD_SQLITE_CATALOG_H_
