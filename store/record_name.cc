#include "store/record_name.h"

#include <cstring>

#include "media/record_path.h"

namespace kvr::store {

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
  if (media::IsPathSeparator(name[0])) return false;
  const char* part = name;
  while (true) {
    const char* end = part;
    while (*end != '\0' && !media::IsPathSeparator(*end)) ++end;
    if (end - part == 2 && part[0] == '.' && part[1] == '.') return false;
    if (*end == '\0') return true;
    part = end + 1;
  }
}

bool HasNoControlCharacter(const char* name) {
  if (name == nullptr) return true;
  for (const char* p = name; *p != '\0'; ++p) {
    if (static_cast<unsigned char>(*p) < 0x20) return false;
  }
  return true;
}

std::string VolumeFolder(const char* volumePath) {
  std::string out = volumePath != nullptr ? volumePath : "";
  for (char& c : out) {
    if (media::IsPathSeparator(c)) c = '/';
  }
  return out;
}

}  // namespace kvr::store
