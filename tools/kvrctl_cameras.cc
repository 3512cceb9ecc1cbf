#include "tools/kvrctl_cameras.h"

#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <stdexcept>

namespace kvrctl {
namespace {

constexpr int kExitRefused = 1;
constexpr int kExitConnection = 3;

struct Response {
  int status = 0;  // 0: no answer
  std::string body;
  std::string error;  // why there is no answer
};

// One request on a fresh connection; the body goes to `sink` when given
// (an export can be large), else into the response.
Response Http(const ApiOptions& options, const std::string& method, const std::string& target,
              FILE* sink) {
  Response response;
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const std::string port = std::to_string(options.port);
  if (getaddrinfo(options.host.c_str(), port.c_str(), &hints, &found) != 0 || found == nullptr) {
    response.error = "cannot resolve " + options.host;
    return response;
  }
  const int fd = ::socket(found->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const bool connected = fd >= 0 && ::connect(fd, found->ai_addr, found->ai_addrlen) == 0;
  freeaddrinfo(found);
  if (!connected) {
    if (fd >= 0) ::close(fd);
    response.error = "cannot connect to kvrd's API at " + options.host + ":" + port + ": " +
                     std::strerror(errno) + " (is 'api' set in kvrd.conf? --api-port)";
    return response;
  }
  const std::string request = method + " " + target + " HTTP/1.0\r\nHost: " + options.host +
                              "\r\nContent-Length: 0\r\n\r\n";
  for (size_t sent = 0; sent < request.size();) {
    const ssize_t n = ::send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) break;
    sent += static_cast<size_t>(n);
  }
  std::string head;
  bool inBody = false;
  char chunk[65536];
  for (;;) {
    pollfd ready{fd, POLLIN, 0};
    if (::poll(&ready, 1, options.timeoutMs) != 1) {
      response.error =
          "no answer from kvrd's API within " + std::to_string(options.timeoutMs) + " ms";
      ::close(fd);
      return response;
    }
    const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
    if (n <= 0) break;
    if (inBody) {
      if (sink != nullptr && response.status == 200) {
        std::fwrite(chunk, 1, static_cast<size_t>(n), sink);
      } else {
        response.body.append(chunk, static_cast<size_t>(n));
      }
      continue;
    }
    head.append(chunk, static_cast<size_t>(n));
    const size_t end = head.find("\r\n\r\n");
    if (end == std::string::npos) continue;
    inBody = true;
    std::sscanf(head.c_str(), "HTTP/%*d.%*d %d", &response.status);
    const std::string rest = head.substr(end + 4);
    if (sink != nullptr && response.status == 200) {
      std::fwrite(rest.data(), 1, rest.size(), sink);
    } else {
      response.body += rest;
    }
  }
  ::close(fd);
  if (response.status == 0) response.error = "kvrd's API answered nonsense";
  return response;
}

std::string Encode(const std::string& text) {
  std::string out;
  for (const unsigned char c : text) {
    if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~' || c == ':') {
      out += static_cast<char>(c);
    } else {
      char escaped[4];
      std::snprintf(escaped, sizeof escaped, "%%%02X", c);
      out += escaped;
    }
  }
  return out;
}

// The "key": value pairs of one flat JSON object line as kvrd writes them.
std::map<std::string, std::string> Fields(const std::string& line) {
  std::map<std::string, std::string> fields;
  size_t at = 0;
  auto readString = [&](std::string* out) {
    ++at;  // the opening quote
    while (at < line.size() && line[at] != '"') {
      if (line[at] == '\\' && at + 1 < line.size()) ++at;
      *out += line[at++];
    }
    ++at;
  };
  while ((at = line.find('"', at)) != std::string::npos) {
    std::string key, value;
    readString(&key);
    at = line.find(':', at);
    if (at == std::string::npos) break;
    ++at;
    while (at < line.size() && line[at] == ' ') ++at;
    if (at < line.size() && line[at] == '"') {
      readString(&value);
    } else {
      const size_t end = line.find_first_of(",}", at);
      value = line.substr(at, end - at);
      at = end;
    }
    fields[key] = value;
  }
  return fields;
}

// Object lines of one section ("recordings", "gaps", ...) of kvrd's JSON.
std::vector<std::map<std::string, std::string>> Section(const std::string& body,
                                                        const std::string& name) {
  std::vector<std::map<std::string, std::string>> rows;
  size_t at = name.empty() ? 0 : body.find("\"" + name + "\": [");
  if (at == std::string::npos) return rows;
  const size_t end = body.find(']', at);
  for (size_t line = body.find('{', at + 1); line != std::string::npos && line < end;
       line = body.find('{', line + 1)) {
    rows.push_back(Fields(body.substr(line, body.find('}', line) - line + 1)));
  }
  return rows;
}

struct Range {
  std::string camera;
  std::optional<std::string> from, to;
  std::vector<std::string> rest;
};

Range ReadRange(const std::vector<std::string>& words, const char* usage) {
  Range range;
  for (size_t i = 0; i < words.size(); ++i) {
    if (words[i] == "--from" || words[i] == "--to") {
      if (i + 1 >= words.size()) throw std::invalid_argument("missing a time after " + words[i]);
      std::optional<std::string>& bound = words[i] == "--from" ? range.from : range.to;
      bound = words[i + 1];
      ++i;
    } else if (range.camera.empty()) {
      range.camera = words[i];
    } else {
      range.rest.push_back(words[i]);
    }
  }
  if (range.camera.empty()) throw std::invalid_argument(std::string("usage: kvrctl ") + usage);
  return range;
}

std::string Query(const Range& range) {
  std::string query;
  if (range.from) query += "from=" + Encode(*range.from);
  if (range.to) query += std::string(query.empty() ? "" : "&") + "to=" + Encode(*range.to);
  return query.empty() ? "" : "?" + query;
}

// Prints a refusal or a failure and gives the exit status; 0 for a success.
int Outcome(const Response& response, const std::string& what) {
  if (response.status == 0) {
    std::fprintf(stderr, "kvrctl: %s\n", response.error.c_str());
    return kExitConnection;
  }
  if (response.status >= 300) {
    const auto fields = Fields(response.body);
    auto reason = fields.find("error");
    std::fprintf(stderr, "kvrctl: %s refused: %s (HTTP %d)\n", what.c_str(),
                 reason != fields.end() ? reason->second.c_str() : response.body.c_str(),
                 response.status);
    return kExitRefused;
  }
  return 0;
}

}  // namespace

std::optional<int> RunCameraCommand(const std::string& command,
                                    const std::vector<std::string>& words,
                                    const ApiOptions& options) {
  if (command == "cameras") {
    if (!words.empty()) throw std::invalid_argument("cameras takes no arguments");
    const Response r = Http(options, "GET", "/cameras", nullptr);
    if (const int status = Outcome(r, "cameras")) return status;
    if (options.json) {
      std::fputs(r.body.c_str(), stdout);
      return 0;
    }
    std::printf("%-16s %-14s %-24s %8s %s\n", "CAMERA", "STATE", "SINCE", "SEGMENTS", "URL");
    for (auto& row : Section(r.body, "")) {
      std::printf("%-16s %-14s %-24s %8s %s\n", row["name"].c_str(), row["state"].c_str(),
                  row["since"].c_str(), row["segments_closed"].c_str(), row["url"].c_str());
    }
    return 0;
  }
  if (command == "recordings") {
    const Range range = ReadRange(words, "recordings CAMERA [--from T] [--to T]");
    if (!range.rest.empty()) throw std::invalid_argument("unexpected \"" + range.rest[0] + "\"");
    const Response r = Http(
        options, "GET", "/cameras/" + Encode(range.camera) + "/recordings" + Query(range), nullptr);
    if (const int status = Outcome(r, "recordings of " + range.camera)) return status;
    if (options.json) {
      std::fputs(r.body.c_str(), stdout);
      return 0;
    }
    std::printf("%-24s %-24s %10s %5s %s\n", "START", "END", "BYTES", "KEYS", "FILE");
    for (auto& row : Section(r.body, "recordings")) {
      std::printf("%-24s %-24s %10s %5s %s%s\n", row["start"].c_str(), row["end"].c_str(),
                  row["bytes"].c_str(), row["key_frames"].c_str(), row["file"].c_str(),
                  row["open"] == "true" ? " (open)" : "");
    }
    for (auto& row : Section(r.body, "gaps")) {
      std::printf("gap %s to %s: %s\n", row["start"].c_str(), row["end"].c_str(),
                  row["cause"].c_str());
    }
    for (auto& row : Section(r.body, "protections")) {
      std::printf("protected %s to %s\n", row["start"].c_str(), row["end"].c_str());
    }
    return 0;
  }
  if (command == "export") {
    const Range range = ReadRange(words, "export CAMERA --from T --to T FILE");
    if (!range.from || !range.to || range.rest.size() != 1) {
      throw std::invalid_argument("usage: kvrctl export CAMERA --from T --to T FILE");
    }
    const std::string file = range.rest[0];
    const std::string partial = file + ".part";
    FILE* sink = std::fopen(partial.c_str(), "wb");
    if (sink == nullptr) {
      std::fprintf(stderr, "kvrctl: cannot write %s: %s\n", partial.c_str(), std::strerror(errno));
      return kExitRefused;
    }
    ApiOptions slow = options;
    slow.timeoutMs = std::max(options.timeoutMs, 120'000);  // cutting takes a while
    const Response r =
        Http(slow, "GET", "/cameras/" + Encode(range.camera) + "/export" + Query(range), sink);
    const bool written = std::fclose(sink) == 0;
    if (const int status = Outcome(r, "export of " + range.camera)) {
      std::remove(partial.c_str());
      return status;
    }
    if (!written || std::rename(partial.c_str(), file.c_str()) != 0) {
      std::fprintf(stderr, "kvrctl: cannot write %s\n", file.c_str());
      return kExitRefused;
    }
    if (options.json) {
      std::printf("{\"ok\": true, \"file\": \"%s\"}\n", file.c_str());
    } else {
      std::printf("export of %s: written to %s\n", range.camera.c_str(), file.c_str());
    }
    return 0;
  }
  if (command == "protect" || command == "unprotect") {
    const Range range = ReadRange(words, "protect|unprotect CAMERA --from T --to T");
    if (!range.from || !range.to || !range.rest.empty()) {
      throw std::invalid_argument("usage: kvrctl " + command + " CAMERA --from T --to T");
    }
    const Response r =
        Http(options, "POST", "/cameras/" + Encode(range.camera) + "/" + command + Query(range),
             nullptr);
    if (const int status = Outcome(r, command + " " + range.camera)) return status;
    if (options.json) {
      std::fputs(r.body.c_str(), stdout);
    } else {
      std::printf("%s %s: done\n", command.c_str(), range.camera.c_str());
    }
    return 0;
  }
  return std::nullopt;
}

}  // namespace kvrctl
