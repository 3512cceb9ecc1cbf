// The web console's files (tools/kvrd/console/), built into the daemon so it
// serves them wherever it was installed. Read-only data; any thread.
#ifndef KVR_TOOLS_KVRD_CONSOLE_FILES_H_
#define KVR_TOOLS_KVRD_CONSOLE_FILES_H_

#include <cstddef>
#include <vector>

namespace kvrd {

struct ConsoleFile {
  const char* path;  // as requested: /index.html
  const char* data;
  size_t size;
};

const std::vector<ConsoleFile>& ConsoleFiles();

}  // namespace kvrd

#endif  // KVR_TOOLS_KVRD_CONSOLE_FILES_H_
