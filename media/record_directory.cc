#include "media/record_directory.h"

#include <atomic>

namespace kvr::media {

namespace {
std::atomic<IRecordDirectory*> g_directory{nullptr};
}  // namespace

void SetRecordDirectory(IRecordDirectory* directory) {
  g_directory.store(directory, std::memory_order_release);
}

IRecordDirectory* GetRecordDirectory() { return g_directory.load(std::memory_order_acquire); }

}  // namespace kvr::media
