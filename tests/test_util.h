// Helpers shared by the tests: scratch folders and waiting for conditions.
#ifndef KVR_TESTS_TEST_UTIL_H_
#define KVR_TESTS_TEST_UTIL_H_

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <mutex>
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

// A free port on 127.0.0.1 (the kernel's choice, released again).
inline unsigned short FreeLoopbackPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof(address);
  ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address));
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
  ::close(fd);
  return ntohs(address.sin_port);
}

// Raises the open-file limit to its hard maximum; false when that is below `needed`.
inline bool RaiseFileLimit(size_t needed) {
  rlimit files{};
  if (::getrlimit(RLIMIT_NOFILE, &files) != 0) return false;
  files.rlim_cur = files.rlim_max;
  return ::setrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur >= needed;
}

}  // namespace kvr_test

#endif  // KVR_TESTS_TEST_UTIL_H_
