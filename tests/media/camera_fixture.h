// The test camera as a child process: tests/media/rtsp_camera.py (GStreamer's
// RTSP server) serving H.264 video and AAC audio on 127.0.0.1 and a free port.
//
//   kvr_test::TestCamera camera;                 // starts it, waits for its URL
//   ASSERT_TRUE(camera.ok()) << camera.error();
//   lib.OpenStream(camera.url().c_str(), ...);   // rtsp://127.0.0.1:PORT/stream
//   camera.Freeze();                             // still connected, sends nothing
//   camera.Kill();                               // the camera is lost (SIGKILL)
//
// With credentials (TestCamera::Options{.user = "u", .password = "p"}) a client
// must authenticate; UrlWith("u", "p") gives rtsp://u:p@127.0.0.1:PORT/stream.
// The destructor kills the camera if it still runs, and the camera dies with
// the test process too (parent-death signal). Header-only, needs nothing but
// /usr/bin/python3 with the GStreamer bindings; for test programs only.
#ifndef KVR_TESTS_MEDIA_CAMERA_FIXTURE_H_
#define KVR_TESTS_MEDIA_CAMERA_FIXTURE_H_

#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <vector>

#ifndef KVR_CAMERA_SCRIPT
#error "define KVR_CAMERA_SCRIPT as the path of tests/media/rtsp_camera.py"
#endif

namespace kvr_test {

class TestCamera {
 public:
  struct Options {
    std::string user;  // both empty: no authentication
    std::string password;
    int width = 320;
    int height = 240;
    // How long to wait for the camera's first line (python and GStreamer start-up).
    std::chrono::milliseconds start_timeout{10000};
  };

  TestCamera() : TestCamera(Options()) {}
  explicit TestCamera(const Options& options) { Start(options); }
  ~TestCamera() { Kill(); }
  TestCamera(const TestCamera&) = delete;
  TestCamera& operator=(const TestCamera&) = delete;

  bool ok() const { return !url_.empty(); }
  const std::string& error() const { return error_; }
  const std::string& url() const { return url_; }  // without credentials
  pid_t pid() const { return pid_; }

  // The URL with `user:password@` put in front of the host.
  std::string UrlWith(const std::string& user, const std::string& password) const {
    const std::string scheme = "rtsp://";
    if (url_.compare(0, scheme.size(), scheme) != 0) return url_;
    return scheme + user + ":" + password + "@" + url_.substr(scheme.size());
  }

  // Stops the camera's process (SIGSTOP): its connections stay open but nothing
  // more is sent, as with a hung camera. Kill still works afterwards.
  void Freeze() {
    if (pid_ > 0) ::kill(pid_, SIGSTOP);
  }

  // Kills the camera at once (no goodbye to its clients) and reaps it. Idempotent.
  void Kill() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
  }

 private:
  void Start(const Options& options) {
    std::vector<std::string> args = {"/usr/bin/python3", KVR_CAMERA_SCRIPT,
                                     "--width",          std::to_string(options.width),
                                     "--height",         std::to_string(options.height)};
    if (!options.user.empty() || !options.password.empty()) {
      args.insert(args.end(), {"--user", options.user, "--password", options.password});
    }
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);

    int out[2];
    if (::pipe(out) != 0) {
      error_ = "pipe failed";
      return;
    }
    const pid_t parent = ::getpid();
    pid_ = ::fork();
    if (pid_ < 0) {
      error_ = "fork failed";
      ::close(out[0]);
      ::close(out[1]);
      return;
    }
    if (pid_ == 0) {
      // A crashed or killed test must not leave cameras behind.
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);
      if (::getppid() != parent) ::_exit(127);
      ::dup2(out[1], STDOUT_FILENO);
      ::close(out[0]);
      ::close(out[1]);
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
    ::close(out[1]);
    url_ = ReadFirstLine(out[0], options.start_timeout);
    ::close(out[0]);  // the camera prints nothing after its URL
    if (url_.empty()) {
      if (error_.empty()) error_ = "the camera printed no URL";
      Kill();
    }
  }

  std::string ReadFirstLine(int fd, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    std::string line;
    for (;;) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) {
        error_ = "the camera did not start in time";
        return "";
      }
      pollfd p{fd, POLLIN, 0};
      int r = ::poll(&p, 1, static_cast<int>(left.count()));
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0) continue;
      char c;
      ssize_t n = ::read(fd, &c, 1);
      if (n <= 0) {
        error_ = "the camera exited before printing its URL";
        return "";
      }
      if (c == '\n') return line;
      line.push_back(c);
    }
  }

  pid_t pid_ = -1;
  std::string url_;
  std::string error_;
};

}  // namespace kvr_test

#endif  // KVR_TESTS_MEDIA_CAMERA_FIXTURE_H_
