// Brings a catalog up to the segment files on the volumes: rows whose file is
// gone are dropped, rows left open by a crash are closed from their files,
// files the catalog does not know are read and entered (the name gives the
// start, the last time stamp in the file the end). For a catalog made from
// nothing, the holes between a camera's segments become its gaps. Run by main
// before any camera starts; any thread, one call at a time.
#ifndef KVR_TOOLS_KVRD_CATALOG_REBUILD_H_
#define KVR_TOOLS_KVRD_CATALOG_REBUILD_H_

#include <vector>

#include "tools/kvrd/catalog.h"
#include "tools/kvrd/retention.h"

namespace kvrd {

struct RebuildCounts {
  int added = 0, dropped = 0, closed = 0, gaps = 0;
};

// `fresh`: the catalog was just made, so gaps are derived too.
RebuildCounts ReconcileCatalog(Catalog* catalog, const std::vector<VolumeSpace>& volumes,
                               bool fresh);

}  // namespace kvrd

#endif  // KVR_TOOLS_KVRD_CATALOG_REBUILD_H_
