// Helpers shared by the tests, one per job: scratch folders, the folder a
// service starts in, the log's lines, waiting for conditions, loopback sockets, the control
// protocol's text and running a command. Plain system calls only, so that a
// host that loads the library by hand can use them without the core.
#ifndef KVR_TESTS_TEST_UTIL_H_
#define KVR_TESTS_TEST_UTIL_H_

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>

namespace kvr_test {

// A fresh folder for one test, removed with everything in it at scope end.
class ScratchDir {
 public:
  ScratchDir() {
    static std::atomic<int> counter{0};
    const char* base = std::getenv("KVR_TEST_TMP");
    std::filesystem::path root = base != nullptr ? base : std::filesystem::temp_directory_path();
    path_ = root / ("kvr-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
    std::filesystem::create_directories(path_);
  }
  ~ScratchDir() {
    std::error_code ec;
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ec);
    std::filesystem::remove_all(path_, ec);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  std::string path() const { return path_.string(); }
  std::string File(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

// A scratch folder holding the service's routing file, where a service (in
// this process or a child) starts: its first start looks for the file in its
// working directory. `enter` makes it this process's working directory.
#ifdef KVR_SOURCE_DIR
class ServiceFolder : public ScratchDir {
 public:
  explicit ServiceFolder(bool enter) {
    std::filesystem::copy_file(KVR_SOURCE_DIR "/config/Server_Config.xml",
                               File("Server_Config.xml"));
    if (enter) std::filesystem::current_path(path());
  }
};
#endif

inline std::string FileText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// The log's lines while this lives: opened with LOG_PERROR, the log copies
// every line to stderr, which goes to `file` meanwhile.
class LogCapture {
 public:
  explicit LogCapture(std::string file) : file_(std::move(file)), saved_(::dup(STDERR_FILENO)) {
    std::fflush(stderr);
    const int fd = ::open(file_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ::dup2(fd, STDERR_FILENO);
    ::close(fd);
    ::openlog("kvr_test", LOG_PERROR, LOG_USER);
  }
  ~LogCapture() {
    ::closelog();
    std::fflush(stderr);
    ::dup2(saved_, STDERR_FILENO);
    ::close(saved_);
  }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  // The first line holding `text` ("" for none).
  std::string Line(const std::string& text) const {
    const std::string all = FileText(file_);
    const size_t at = all.find(text);
    if (at == std::string::npos) return "";
    const size_t start = all.rfind('\n', at) + 1;
    return all.substr(start, all.find('\n', at) - start);
  }
  // Lines holding `text`.
  int Count(const std::string& text) const {
    std::istringstream in(FileText(file_));
    int count = 0;
    for (std::string line; std::getline(in, line);) count += line.find(text) != line.npos;
    return count;
  }

 private:
  std::string file_;
  int saved_;
};

// Polls `condition` until it holds or `timeout` passes; returns its last value.
inline bool WaitFor(const std::function<bool()>& condition,
                    std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return condition();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// Threads that Pass wait until it is opened (a stalled disk, a held worker).
// Open it before it is destroyed.
class Gate {
 public:
  void Pass() {
    std::unique_lock<std::mutex> lock(mu_);
    cv_.wait(lock, [this] { return open_; });
  }
  void Open() {
    {
      std::lock_guard<std::mutex> lock(mu_);
      open_ = true;
    }
    cv_.notify_all();
  }
  // Later passes wait again.
  void Close() {
    std::lock_guard<std::mutex> lock(mu_);
    open_ = false;
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  bool open_ = false;
};

// Fills a fixed-width text field, cut to fit and always terminated.
template <size_t N>
void Copy(char (&out)[N], const std::string& text) {
  std::snprintf(out, N, "%s", text.c_str());
}

// A TCP socket on 127.0.0.1: connected to `port`, or listening on it (0: a
// port the kernel picks) with Listen. Every wait ends after 10 s.
class LoopbackSocket {
 public:
  explicit LoopbackSocket(unsigned port) : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
    const sockaddr_in address = Address(port);
    if (::connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) Close();
  }
  // Connected to `port` at `address`, a numeric IPv4 or IPv6 one ("::1").
  LoopbackSocket(unsigned port, const std::string& address) : fd_(-1) {
    addrinfo hints{};
    hints.ai_flags = AI_NUMERICHOST;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(address.c_str(), std::to_string(port).c_str(), &hints, &found) != 0) return;
    fd_ = ::socket(found->ai_family, SOCK_STREAM, 0);
    if (fd_ >= 0 && ::connect(fd_, found->ai_addr, found->ai_addrlen) != 0) Close();
    ::freeaddrinfo(found);
  }
  static LoopbackSocket Listen(unsigned port = 0) {
    LoopbackSocket s;
    sockaddr_in address = Address(port);
    socklen_t size = sizeof(address);
    auto* a = reinterpret_cast<sockaddr*>(&address);
    if (::bind(s.fd_, a, size) != 0 || ::listen(s.fd_, 64) != 0) s.Close();
    ::getsockname(s.fd_, a, &size);
    s.port_ = ntohs(address.sin_port);
    return s;
  }
  LoopbackSocket(LoopbackSocket&& other) : fd_(other.fd_), port_(other.port_) { other.fd_ = -1; }
  ~LoopbackSocket() { Close(); }

  bool connected() const { return fd_ >= 0; }
  unsigned port() const { return port_; }  // a listener's
  // A listener's next client, if one comes within the wait.
  LoopbackSocket Accept() {
    LoopbackSocket s;
    ::close(s.fd_);
    s.fd_ = Readable(10000) ? ::accept(fd_, nullptr, nullptr) : -1;
    return s;
  }
  bool SendAll(const std::string& bytes) {
    for (size_t done = 0; done < bytes.size();) {
      const ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
      if (n <= 0) return false;
      done += static_cast<size_t>(n);
    }
    return true;
  }
  // Reads until `count` bytes came, the peer closed or the wait ran out.
  std::string Read(size_t count) {
    std::string out(count, '\0');
    size_t done = 0;
    for (ssize_t n;
         done < count && Readable(10000) && (n = ::recv(fd_, &out[done], count - done, 0)) > 0;) {
      done += static_cast<size_t>(n);
    }
    out.resize(done);
    return out;
  }
  // One whole control message (head and the body its length announces).
  std::string ReadMessage() {
    std::string reply;
    for (size_t head; (head = reply.find("\r\n\r\n")) == std::string::npos;) {
      const std::string byte = Read(1);
      if (byte.empty()) return reply;
      reply += byte;
    }
    const size_t at = reply.find("Content-Length: ");
    return reply + (at == std::string::npos ? "" : Read(std::stoul(reply.substr(at + 16))));
  }
  // True once the peer has closed the connection (without waiting).
  bool PeerClosed() {
    char byte;
    return Readable(0) && ::recv(fd_, &byte, 1, 0) <= 0;
  }
  unsigned LocalPort() const {
    sockaddr_in address{};
    socklen_t size = sizeof(address);
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &size);
    return ntohs(address.sin_port);
  }
  void Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  LoopbackSocket() : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {}
  static sockaddr_in Address(unsigned port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
  }
  bool Readable(int ms) {
    pollfd p{fd_, POLLIN, 0};
    return ::poll(&p, 1, ms) == 1;
  }
  int fd_;
  unsigned port_ = 0;
};
using LoopbackClient = LoopbackSocket;

// A free port on 127.0.0.1 (the kernel's choice, released again).
inline unsigned short FreeLoopbackPort() {
  return static_cast<unsigned short>(LoopbackSocket::Listen().port());
}

// Raises the open-file limit to its hard maximum; false when that is below `needed`.
inline bool RaiseFileLimit(size_t needed) {
  rlimit files{};
  if (::getrlimit(RLIMIT_NOFILE, &files) != 0) return false;
  files.rlim_cur = files.rlim_max;
  return ::setrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur >= needed;
}

// A control message of session 12 as the client and the service print it:
// `result` is empty in a request, else the result element's attribute and
// text of a reply ("\"0\">Sucess").
inline std::string WireMessage(const std::string& operation, int sequence,
                               const std::string& result, const std::string& body) {
  const bool request = result.empty();
  const std::string xml =
      "<?xml version=\"1.0\" encoding=\"UTF-8\" ?>\n<pdu>\n    <head>\n        <operation>" +
      operation + "</operation>\n        <type>" + (request ? "request" : "response") +
      "</type>\n        <session>12</session>\n        <sequence>" + std::to_string(sequence) +
      "</sequence>\n        <result code=" + (request ? "\"0\">Sucess" : result) +
      "</result>\n    </head>\n" + body + "</pdu>\n";
  return (request ? "POST /" + operation + " HTTP/1.1" : std::string("HTTP/1.1 200 OK")) +
         "\r\nCSeq: " + std::to_string(sequence) +
         "\r\nContent-Length: " + std::to_string(xml.size()) +
         "\r\nContent-Type: text/xml\r\nSession: 12\r\n"
         "User-Agent: Vestramox Middle Ware 2.1\r\nx_Protocol_Version: 1.0\r\n\r\n" +
         xml;
}
inline std::string Body(const std::string& fields) {
  return "    <body>\n" + fields + "    </body>\n";
}
inline std::string KeepAliveRequest(int sequence) {
  return WireMessage("KeepAlive", sequence, "",
                     Body("        <cuId>client-01</cuId>\n        <cuName>operator</cuName>\n"
                          "        <keepAlivePeriod>30</keepAlivePeriod>\n"));
}
inline std::string KeepAliveReply(int sequence) {
  return WireMessage("KeepAlive", sequence, "\"0\">Sucess", "    <body />\n");
}

// What a shell command wrote to stdout and to stderr, and its exit code (-1:
// ended by a signal).
struct Outcome {
  int exitCode = -1;
  std::string out, err;
};
inline Outcome RunCommand(const std::string& command) {
  char errFile[] = "/tmp/kvr-stderr-XXXXXX";
  ::close(::mkstemp(errFile));
  Outcome o;
  FILE* pipe = ::popen((command + " 2>" + errFile).c_str(), "r");
  char chunk[4096];
  for (size_t n; pipe != nullptr && (n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0;) {
    o.out.append(chunk, n);
  }
  const int status = pipe != nullptr ? ::pclose(pipe) : -1;
  o.exitCode = status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  o.err = FileText(errFile);
  std::remove(errFile);
  return o;
}

}  // namespace kvr_test

#endif  // KVR_TESTS_TEST_UTIL_H_
