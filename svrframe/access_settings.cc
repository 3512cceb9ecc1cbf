#include "svrframe/access_settings.h"

#include <tinyxml.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace {

// A whole number within [low, high] when the attribute is there.
bool ReadNumber(const TiXmlElement* element, const char* name, int low, int high, int* out,
                std::string* error) {
  const char* text = element->Attribute(name);
  if (text == nullptr) return true;
  char* end = nullptr;
  errno = 0;
  const long value = std::strtol(text, &end, 10);
  if (*text == '\0' || *end != '\0' || errno != 0 || value < low || value > high) {
    *error = std::string("Access ") + name + " must be a number from " + std::to_string(low) +
             " to " + std::to_string(high) + ", not \"" + text + "\"";
    return false;
  }
  *out = static_cast<int>(value);
  return true;
}

bool ReadFlag(const TiXmlElement* element, const char* name, bool* out, std::string* error) {
  const char* text = element->Attribute(name);
  if (text == nullptr) return true;
  if (std::strcmp(text, "1") == 0 || std::strcmp(text, "true") == 0) {
    *out = true;
  } else if (std::strcmp(text, "0") == 0 || std::strcmp(text, "false") == 0) {
    *out = false;
  } else {
    *error = std::string("Access ") + name + " must be 1 or 0, not \"" + text + "\"";
    return false;
  }
  return true;
}

bool FromDocument(const TiXmlDocument& document, CAccessSettings* settings, std::string* error) {
  const TiXmlElement* root = document.RootElement();
  const TiXmlElement* access = root != nullptr ? root->FirstChildElement("Access") : nullptr;
  if (access == nullptr) return true;
  CAccessSettings read;
  if (const char* listen = access->Attribute("listen")) read.listen = listen;
  if (!ReadFlag(access, "registeredOnly", &read.registeredOnly, error) ||
      !ReadFlag(access, "remoteConfiguration", &read.remoteConfiguration, error) ||
      !ReadNumber(access, "maxConnections", 0, 1 << 20, &read.maxConnections, error) ||
      !ReadNumber(access, "idleTimeout", 0, 1 << 24, &read.idleTimeoutSec, error) ||
      !ReadNumber(access, "maxQueuedReplies", 1, 1 << 24, &read.maxQueuedReplies, error)) {
    return false;
  }
  for (const TiXmlElement* root = access->FirstChildElement("VolumeRoot"); root != nullptr;
       root = root->NextSiblingElement("VolumeRoot")) {
    const char* path = root->Attribute("path");
    if (path == nullptr || path[0] != '/') {
      *error = "Access VolumeRoot needs an absolute path";
      return false;
    }
    read.volumeRoots.emplace_back(path);
  }
  *settings = std::move(read);
  return true;
}

}  // namespace

bool CAccessSettings::Restricts() const {
  const CAccessSettings design;
  return !listen.empty() || registeredOnly || !remoteConfiguration || !volumeRoots.empty() ||
         maxConnections != 0 || idleTimeoutSec != 0 || maxQueuedReplies != design.maxQueuedReplies;
}

bool LoadAccessSettings(const std::string& fileName, CAccessSettings* settings,
                        std::string* error) {
  TiXmlDocument document;
  if (!document.LoadFile(fileName.c_str())) {
    *error = fileName + ": " + document.ErrorDesc();
    return false;
  }
  return FromDocument(document, settings, error);
}

bool ParseAccessSettings(const std::string& text, CAccessSettings* settings, std::string* error) {
  TiXmlDocument document;
  document.Parse(text.c_str());
  if (document.Error()) {
    *error = document.ErrorDesc();
    return false;
  }
  return FromDocument(document, settings, error);
}
