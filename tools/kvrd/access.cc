#include "tools/kvrd/access.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>

namespace kvrd {
namespace {

std::optional<unsigned> Whole(const std::string& text, unsigned high) {
  unsigned value = 0;
  const char* end = text.data() + text.size();
  auto [at, error] = std::from_chars(text.data(), end, value);
  if (text.empty() || error != std::errc() || at != end || value > high) return std::nullopt;
  return value;
}

bool IsAddress(const std::string& text) {
  unsigned char bytes[sizeof(in6_addr)];
  const std::string bare = text.size() > 2 && text.front() == '[' && text.back() == ']'
                               ? text.substr(1, text.size() - 2)
                               : text;
  return ::inet_pton(AF_INET, bare.c_str(), bytes) == 1 ||
         ::inet_pton(AF_INET6, bare.c_str(), bytes) == 1;
}

std::optional<bool> YesNo(const std::string& text) {
  if (text == "yes" || text == "true" || text == "1") return true;
  if (text == "no" || text == "false" || text == "0") return false;
  return std::nullopt;
}

std::string XmlAttribute(const std::string& text) {
  std::string out;
  for (const char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

}  // namespace

bool ParseAccessKey(const std::string& key, const std::string& value, Access* access,
                    std::string* error,
                    const std::function<std::string(const std::string&)>& resolve) {
  error->clear();
  if (key == "listen") {
    // One or more IPv4 or IPv6 addresses, or "any"; kept one space apart.
    std::istringstream in(value);
    std::string listen;
    for (std::string word; in >> word;) {
      if (word != "any" && !IsAddress(word)) {
        *error = "listen takes IPv4 or IPv6 addresses or 'any', got '" + word + "'";
      }
      listen += (listen.empty() ? "" : " ") + word;
    }
    if (listen.empty()) *error = "listen takes IPv4 or IPv6 addresses or 'any'";
    if (listen.find("any") != std::string::npos && listen != "any") {
      *error = "listen 'any' stands alone: it is every interface";
    }
    access->listen = listen;
  } else if (key == "registered_only" || key == "remote_configuration") {
    const auto flag = YesNo(value);
    if (!flag) *error = key + " must be yes or no, got '" + value + "'";
    (key == "registered_only" ? access->registeredOnly : access->remoteConfiguration) =
        flag.value_or(false);
  } else if (key == "volume_root") {
    access->volumeRoots.push_back(resolve(value));
  } else if (key == "max_connections" || key == "idle_timeout" || key == "max_queued_replies") {
    const auto number = Whole(value, 1u << 24);
    if (!number || (key == "max_queued_replies" && *number == 0)) {
      *error = key + " must be a whole number" + (key == "max_queued_replies" ? " from 1" : "") +
               ", got '" + value + "'";
    } else if (key == "max_connections") {
      access->maxConnections = *number;
    } else if (key == "idle_timeout") {
      access->idleTimeoutSec = *number;
    } else {
      access->maxQueuedReplies = *number;
    }
  } else {
    return false;
  }
  return true;
}

std::string AccessElement(const Access& access, const std::vector<std::string>& roots) {
  std::string out = "<Access";
  if (access.listen != "any") out += " listen=\"" + XmlAttribute(access.listen) + "\"";
  out += std::string(" registeredOnly=\"") + (access.registeredOnly ? "1" : "0") + "\"";
  out += std::string(" remoteConfiguration=\"") + (access.remoteConfiguration ? "1" : "0") + "\"";
  out += " maxConnections=\"" + std::to_string(access.maxConnections) + "\"";
  out += " idleTimeout=\"" + std::to_string(access.idleTimeoutSec) + "\"";
  out += " maxQueuedReplies=\"" + std::to_string(access.maxQueuedReplies) + "\"";
  // The daemon's own /metrics takes in the library's figures from here.
  out += " metrics=\"1\">";
  for (const std::string& root : roots) {
    out += "<VolumeRoot path=\"" + XmlAttribute(root) + "\"/>";
  }
  return out + "</Access>";
}

std::string WriteRoutingWithAccess(const std::string& source, const std::string& element,
                                   std::string* error) {
  std::ifstream in(source);
  std::stringstream text;
  text << in.rdbuf();
  if (!in) {
    *error = "cannot read the routing file " + source;
    return "";
  }
  std::string routing = text.str();
  const size_t root = routing.find("<ServerConfig");
  const size_t open = root == std::string::npos ? root : routing.find('>', root);
  if (open == std::string::npos || routing[open - 1] == '/') {
    *error = source + " did not load: no <ServerConfig> element";
    return "";
  }
  routing.insert(open + 1, "\n  " + element + "\n");

  std::string folder;
  if (const char* runtime = std::getenv("RUNTIME_DIRECTORY"); runtime != nullptr && *runtime) {
    // systemd may give several, separated by ':'; the first is kvrd's.
    folder = std::string(runtime).substr(0, std::string(runtime).find(':'));
  } else {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && *tmp ? tmp : "/tmp") + "/kvrd.XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
      *error = "cannot make a folder for the routing file: " + std::string(std::strerror(errno));
      return "";
    }
    folder = pattern;
  }
  const std::string file = folder + "/Server_Config.xml";
  std::ofstream out(file, std::ios::trunc);
  out << routing;
  out.close();
  if (!out) {
    *error = "cannot write " + file;
    return "";
  }
  return folder;
}

std::string PasswordFileWarning(const std::string& file, bool hasUsers) {
  struct stat st {};
  if (!hasUsers || ::stat(file.c_str(), &st) != 0) return "";
  if ((st.st_mode & (S_IRGRP | S_IROTH)) == 0) return "";
  char mode[8];
  std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
  return file + " holds passwords and is readable by others (mode " + mode + "): chmod 600 it";
}

void NotifyServiceManager(const char* state) {
  const char* path = std::getenv("NOTIFY_SOCKET");
  if (path == nullptr || (path[0] != '/' && path[0] != '@')) return;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const size_t length = std::strlen(path);
  if (length >= sizeof address.sun_path) return;
  std::memcpy(address.sun_path, path, length);
  if (path[0] == '@') address.sun_path[0] = '\0';  // an abstract socket
  const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return;
  const socklen_t size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length);
  ::sendto(fd, state, std::strlen(state), MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&address),
           size);
  ::close(fd);
}

}  // namespace kvrd
