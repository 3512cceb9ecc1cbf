#include "store/record_path.h"

#include <cerrno>
#include <cstring>

#include "platform/file.h"

namespace {

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

}  // namespace

int CheckRecordFileName(const char* name) {
  static const struct {
    char c;
    int code;
  } kForbidden[] = {{':', -1}, {'*', -2}, {'?', -3}, {'"', -4}, {'<', -5}, {'>', -6}, {'|', -7}};
  int worst = 0;
  if (name == nullptr) return 0;
  for (const auto& f : kForbidden) {
    if (std::strchr(name, f.c) != nullptr && f.code < worst) worst = f.code;
  }
  return worst;
}

bool StaysInsideVolume(const char* name) {
  if (name == nullptr) return true;
  if (IsSeparator(name[0])) return false;
  const char* part = name;
  while (true) {
    const char* end = part;
    while (*end != '\0' && !IsSeparator(*end)) ++end;
    if (end - part == 2 && part[0] == '.' && part[1] == '.') return false;
    if (*end == '\0') return true;
    part = end + 1;
  }
}

bool MakeRecordFilePath(const char* root, const char* name, std::string* path) {
  std::string out = root != nullptr ? root : "";
  while (!out.empty() && IsSeparator(out.back())) out.pop_back();
  out += '/';
  out += name != nullptr ? name : "";
  for (char& c : out) {
    if (c == '\\') c = '/';
  }
  if (out.size() > kMaxRecordPath) return false;
  *path = std::move(out);
  return true;
}

std::string VolumeFolder(const char* volumePath) {
  std::string out = volumePath != nullptr ? volumePath : "";
  for (char& c : out) {
    if (c == '\\') c = '/';
  }
  return out;
}

int EnsureDirectories(const std::string& filePath) {
  // Each prefix that ends before a separator names a folder; the last part is the file.
  for (size_t at = filePath.find('/', 1); at != std::string::npos;
       at = filePath.find('/', at + 1)) {
    const std::string folder = filePath.substr(0, at);
    if (platform::PathExists(folder)) continue;
    const int error = platform::MakeDirectory(folder);
    if (error != 0 && error != EEXIST) return error;
  }
  return 0;
}
