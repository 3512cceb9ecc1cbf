#include "svrframe/access_settings.h"

#include <tinyxml.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "platform/socket.h"

namespace SvrFrame {

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

// The addresses of the listen attribute; "any" alone stands for every interface.
bool ReadListen(const char* text, std::vector<std::string>* out, std::string* error) {
  std::vector<std::string> addresses;
  std::string word;
  for (const char* c = text;; ++c) {
    if (*c != '\0' && *c != ' ' && *c != ',' && *c != '\t') {
      word += *c;
      continue;
    }
    if (!word.empty()) addresses.push_back(std::move(word));
    word.clear();
    if (*c == '\0') break;
  }
  if (addresses.size() == 1 && addresses[0] == "any") addresses.clear();
  if (addresses.empty() && std::strcmp(text, "any") != 0) {
    *error = std::string("Access listen needs addresses or \"any\", not \"") + text + "\"";
    return false;
  }
  for (const std::string& address : addresses) {
    platform::SocketAddress parsed;
    if (!platform::ParseAddress(address.c_str(), 0, &parsed)) {
      *error = "Access listen: \"" + address + "\" is not an IPv4 or IPv6 address";
      return false;
    }
  }
  *out = std::move(addresses);
  return true;
}

bool FromDocument(const TiXmlDocument& document, CAccessSettings* settings, std::string* error) {
  const TiXmlElement* root = document.RootElement();
  const TiXmlElement* access = root != nullptr ? root->FirstChildElement("Access") : nullptr;
  if (access == nullptr) return true;
  CAccessSettings read;
  if (const char* listen = access->Attribute("listen")) {
    if (!ReadListen(listen, &read.listen, error)) return false;
  }
  if (!ReadFlag(access, "registeredOnly", &read.registeredOnly, error) ||
      !ReadFlag(access, "remoteConfiguration", &read.remoteConfiguration, error) ||
      !ReadFlag(access, "metrics", &read.metrics, error) ||
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
         maxConnections != 0 || idleTimeoutSec != 0 ||
         maxQueuedReplies != design.maxQueuedReplies || metrics;
}

std::string CAccessSettings::ListenText() const {
  if (listen.empty()) return "every interface";
  std::string text;
  for (const std::string& address : listen) text += (text.empty() ? "" : " ") + address;
  return text;
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

}  // namespace SvrFrame
