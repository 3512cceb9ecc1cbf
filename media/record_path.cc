#include "media/record_path.h"

#include <cerrno>

#include "platform/file.h"

namespace kvr::media {

namespace {

// Appends `text` with every separator written as '/' and runs of separators
// folded into one.
void AppendNormalised(const char* text, std::string* out) {
  for (const char* p = text; *p != '\0'; ++p) {
    if (IsPathSeparator(*p)) {
      if (out->empty() || out->back() != '/') out->push_back('/');
    } else {
      out->push_back(*p);
    }
  }
}

}  // namespace

bool MakeRecordPath(const char* root, const char* url, std::string* out) {
  if (out == nullptr) return false;
  out->clear();
  if (root == nullptr || url == nullptr) return false;
  std::string path;
  AppendNormalised(root, &path);
  if (path.empty() || path.back() != '/') path.push_back('/');
  AppendNormalised(url, &path);
  if (path.size() >= kRecordPathWidth) return false;
  *out = std::move(path);
  return true;
}

int EnsureDirectories(const char* path) {
  if (path == nullptr) return -1;
  std::string text;
  AppendNormalised(path, &text);
  const size_t end = text.rfind('/');
  if (end == std::string::npos) return -1;
  // Each separator before the file name ends one directory of the path; the
  // empty prefix of an absolute path is the root and is never made.
  for (size_t at = text.find('/'); at != std::string::npos && at <= end;
       at = text.find('/', at + 1)) {
    if (at == 0) continue;
    const std::string prefix = text.substr(0, at);
    if (platform::PathExists(prefix)) continue;
    const int error = platform::MakeDirectory(prefix);
    // Another record may have made the same directory in the meantime.
    if (error != 0 && error != EEXIST) return -1;
  }
  return 0;
}

}  // namespace kvr::media
