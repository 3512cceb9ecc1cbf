#include "tools/kvrd/catalog_rebuild.h"

#include <filesystem>
#include <map>
#include <set>

#include "tools/kvrd/log.h"
#include "tools/kvrd/segment_probe.h"
#include "tools/kvrd/wall_time.h"

namespace kvrd {
namespace {

namespace fs = std::filesystem;

// Holes shorter than this between a camera's segments are jitter of the start
// estimates, not an outage.
constexpr int64_t kLeastGapMs = 1'000;

}  // namespace

RebuildCounts ReconcileCatalog(Catalog* catalog, const std::vector<VolumeSpace>& volumes,
                               bool fresh) {
  RebuildCounts counts;
  std::map<std::string, std::string> roots;
  for (const VolumeSpace& v : volumes) roots[v.name] = v.path;

  std::set<std::pair<std::string, std::string>> known;  // (volume, file)
  for (SegmentRow row : catalog->AllSegments()) {
    auto root = roots.find(row.volume);
    std::error_code ec;
    const fs::path path = root != roots.end() ? fs::path(root->second) / row.file : fs::path();
    if (root == roots.end() || !fs::exists(path, ec)) {
      catalog->RemoveSegment(row.id);
      ++counts.dropped;
      continue;
    }
    known.insert({row.volume, row.file});
    if (!row.open) continue;
    const SegmentFacts facts = ProbeSegment(path.string());
    // Its name was given at the request, as a rebuild would read it.
    if (auto named = ParseSegmentFileName(path.filename().string())) row.startMs = *named;
    row.open = false;
    row.bytes = facts.bytes;
    row.keyFrames = facts.keyFrames;
    row.endMs = row.startMs + facts.spanMs;
    catalog->UpdateSegment(row);
    ++counts.closed;
  }

  for (const VolumeSpace& v : volumes) {
    std::error_code ec;
    for (fs::directory_iterator dir(v.path, ec), end; !ec && dir != end; dir.increment(ec)) {
      if (!dir->is_directory(ec)) continue;
      const std::string camera = dir->path().filename().string();
      bool any = false;
      std::error_code inner;
      for (fs::directory_iterator file(dir->path(), inner), last; !inner && file != last;
           file.increment(inner)) {
        const std::string name = file->path().filename().string();
        const auto start = ParseSegmentFileName(name);
        if (!start || !file->is_regular_file(inner)) continue;
        SegmentRow row;
        row.camera = camera;
        row.volume = v.name;
        row.file = camera + "/" + name;
        if (known.count({row.volume, row.file}) != 0) continue;
        const SegmentFacts facts = ProbeSegment(file->path().string());
        row.startMs = *start;
        row.endMs = *start + facts.spanMs;
        row.bytes = facts.bytes;
        row.keyFrames = facts.keyFrames;
        if (catalog->AddSegment(row) != 0) ++counts.added;
        any = true;
      }
      if (any) catalog->AddCamera(camera);
    }
  }

  if (fresh) {
    std::map<std::string, int64_t> lastEnd;
    for (const SegmentRow& row : catalog->AllSegments()) {  // by camera, then start
      auto last = lastEnd.find(row.camera);
      if (last != lastEnd.end() && row.startMs - last->second >= kLeastGapMs) {
        catalog->AddGap({0, row.camera, last->second, row.startMs, "rebuilt from the files"});
        ++counts.gaps;
      }
      lastEnd[row.camera] = last == lastEnd.end() ? row.endMs : std::max(last->second, row.endMs);
    }
  }
  if (counts.added + counts.dropped + counts.closed > 0) {
    Log(LOG_NOTICE,
        "catalog: %d segment(s) entered from the files, %d dropped (file gone), %d "
        "closed after a crash, %d gap(s) derived",
        counts.added, counts.dropped, counts.closed, counts.gaps);
  }
  return counts;
}

}  // namespace kvrd
