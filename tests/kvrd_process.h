// kvrd, the built daemon, as a child process of a test: started in a folder
// on that folder's kvrd.conf, its stderr kept in the folder's kvrd.log, and
// stopped with SIGTERM (killed when it does not go) at scope end. Owned and
// used by one test thread; the daemon's log is read from the file.
#ifndef KVR_TESTS_KVRD_PROCESS_H_
#define KVR_TESTS_KVRD_PROCESS_H_

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>

#include "tests/test_util.h"

namespace kvr_test {

class KvrdProcess {
 public:
  // `mode`: "-f" runs in the foreground, "-t" checks the configuration.
  explicit KvrdProcess(const std::string& folder, const char* mode = "-f")
      : log_(folder + "/kvrd.log") {
    const std::string config = folder + "/kvrd.conf";
    // Emptied here, not in the child: a restart's waits must not find the
    // last run's lines before the child has opened the file.
    std::ofstream(log_, std::ios::trunc).close();
    // Only async-signal-safe calls after the fork: the test process has threads.
    pid_ = ::fork();
    if (pid_ == 0) {
      const int err = ::open(log_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
      if (err < 0 || ::dup2(err, STDERR_FILENO) < 0 || ::chdir(folder.c_str()) != 0) ::_exit(126);
      ::execl(KVRD_PROGRAM, KVRD_PROGRAM, mode, "-c", config.c_str(), nullptr);
      ::_exit(127);
    }
  }
  KvrdProcess(const KvrdProcess&) = delete;
  KvrdProcess& operator=(const KvrdProcess&) = delete;
  ~KvrdProcess() { Stop(); }

  pid_t pid() const { return pid_; }
  void Signal(int signal) { ::kill(pid_, signal); }
  // The exit code once it ends by itself; -1 when it did not end within 20 s
  // (it is killed then) or ended by a signal.
  int Wait() {
    if (pid_ <= 0) return exitCode_;
    int status = 0;
    if (!WaitFor([&] { return ::waitpid(pid_, &status, WNOHANG) == pid_; },
                 std::chrono::seconds(20))) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
      status = -1;
    }
    pid_ = -1;
    return exitCode_ = status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  // SIGTERM and the exit code, as Wait.
  int Stop() {
    if (pid_ > 0) Signal(SIGTERM);
    return Wait();
  }

  std::string Log() const { return FileText(log_); }
  // Waits until the log holds `text`.
  bool Logged(const std::string& text) const {
    return WaitFor([&] { return Log().find(text) != std::string::npos; });
  }
  int Count(const std::string& text) const {
    const std::string log = Log();
    int n = 0;
    for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) ++n;
    return n;
  }

 private:
  std::string log_;
  pid_t pid_ = -1;
  int exitCode_ = -1;
};

}  // namespace kvr_test

#endif  // KVR_TESTS_KVRD_PROCESS_H_
