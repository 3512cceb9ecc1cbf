// kvrd as an operator runs it: the built daemon started as a child process
// with a configuration file in a scratch folder, driven with kvrctl and
// signals.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tests/test_util.h"

namespace {

namespace fs = std::filesystem;
using kvr_test::WaitFor;

// A scratch folder with a routing file, a volume folder and kvrd.conf.
struct Site {
  kvr_test::ServiceFolder dir{false};
  unsigned port = 0;
  explicit Site(const std::string& extra = "", unsigned busyPort = 0);
  // kvrctl's exit code; its output in *out when asked.
  int Kvrctl(const std::string& args, std::string* out = nullptr) const {
    const kvr_test::Outcome o =
        kvr_test::RunCommand(KVRCTL " --port " + std::to_string(port) + " " + args);
    if (out != nullptr) *out = o.out;
    return o.exitCode;
  }
  std::string Volume(const std::string& file) const { return dir.File("volume0/" + file); }
};

// kvrd on a Site, its stderr in the site's kvrd.log; killed at scope end.
class Kvrd {
 public:
  explicit Kvrd(const Site& site) : log_(site.dir.File("kvrd.log")) {
    const std::string config = site.dir.File("kvrd.conf"), cwd = site.dir.path();
    // Only async-signal-safe calls after the fork: the test process has threads.
    pid_ = ::fork();
    if (pid_ == 0) {
      const int err = ::open(log_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
      if (err < 0 || ::dup2(err, STDERR_FILENO) < 0 || ::chdir(cwd.c_str()) != 0) ::_exit(126);
      ::execl(KVRD_PROGRAM, KVRD_PROGRAM, "-f", "-c", config.c_str(), nullptr);
      ::_exit(127);
    }
  }
  Kvrd(const Kvrd&) = delete;
  ~Kvrd() {
    if (exited_) return;
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }

  void Signal(int signal) { ::kill(pid_, signal); }
  // The exit code; -1 when it did not end in time, or ended by a signal.
  int Wait() {
    int status = 0;
    exited_ = WaitFor([&] { return ::waitpid(pid_, &status, WNOHANG) == pid_; },
                      std::chrono::seconds(15));
    return exited_ && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  std::string Log() const { return kvr_test::FileText(log_); }
  bool Logged(const std::string& text) {
    return WaitFor([&] { return Log().find(text) != std::string::npos; });
  }

 private:
  std::string log_;
  pid_t pid_ = -1;
  bool exited_ = false;
};

Site::Site(const std::string& extra, unsigned busyPort)
    : port(busyPort != 0 ? busyPort : kvr_test::FreeLoopbackPort()) {
  fs::create_directory(dir.File("volume0"));
  std::ofstream(dir.File("kvrd.conf"))
      << "# test service\nport = " << port
      << "\nrouting = Server_Config.xml\nmax_records = 4\nvolume = v0 volume0 1\n"
      << "user = admin secret\n"
      << extra;
}

// Kills: exit codes swapped or 0 on a failed start (the port or routing
// check ignored), a line number off by one (the first line counted as 0, or
// comments not counted), a missing volume folder made silently by the
// library instead of refused.
TEST(KvrdTest, RefusesToStartWithTheReason) {
  const struct {
    std::string name;
    std::string extra;
    std::string routing;  // written over the routing file when not empty
    int exitCode;
    std::string message;
  } cases[] = {
      {"bad port", "port = 70000\n", "", 2, "kvrd.conf:7: port must be a number from 1 to 65535"},
      {"no '='", "\n# x\nmax_records 3\n", "", 2, "kvrd.conf:9: expected 'key = value'"},
      {"unknown key", "volumes = v1 volume0\n", "", 2, "kvrd.conf:7: unknown key 'volumes'"},
      {"no volume folder", "volume = v1 nothere\n", "", 2, "kvrd.conf:7: volume folder "},
      {"bad size", "reserved_space = 3T\n", "", 2, "kvrd.conf:7: reserved_space must be"},
      {"routing missing", "routing = gone/Server_Config.xml\n", "", 1, "does not exist"},
      {"routing unreadable", "", "<ServerConfig", 1, "Server_Config.xml did not load"},
      {"port taken", "", "", 1, "cannot listen on port"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    kvr_test::LoopbackSocket busy = kvr_test::LoopbackSocket::Listen();
    Site site(c.extra, c.name == "port taken" ? busy.port() : 0);
    if (!c.routing.empty()) std::ofstream(site.dir.File("Server_Config.xml")) << c.routing;
    Kvrd kvrd(site);
    EXPECT_EQ(kvrd.Wait(), c.exitCode);
    EXPECT_NE(kvrd.Log().find(c.message), std::string::npos) << kvrd.Log();
  }
}

// The service answers until the signal, then stops and exits 0. Kills: a
// stop signal left out of the waited set (its default action ends kvrd), a
// stop that never returns, a non-zero exit after a clean stop.
TEST(KvrdTest, StopsCleanlyOnSigintAndSigterm) {
  for (int signal : {SIGINT, SIGTERM}) {
    SCOPED_TRACE(strsignal(signal));
    Site site;
    Kvrd kvrd(site);
    ASSERT_TRUE(kvrd.Logged("listening on port " + std::to_string(site.port))) << kvrd.Log();
    EXPECT_EQ(site.Kvrctl("keepalive"), 0);
    kvrd.Signal(signal);
    EXPECT_EQ(kvrd.Wait(), 0) << kvrd.Log();
    EXPECT_NE(kvrd.Log().find("stopped"), std::string::npos) << kvrd.Log();
  }
}

// The attacker's sequence against kvrd with the defaults: nothing but
// kvrctl, first without registering, then as a registered user. Kills: an
// unregistered command obeyed, remote configuration taken (a volume at / or
// folders made outside), a refusal that leaves no audit line with the peer.
TEST(KvrdTest, DefaultsRefuseAnAttackerAndLogWhoTried) {
  Site site;
  std::ofstream(site.dir.File("outside.dav")) << "evidence";
  Kvrd kvrd(site);
  ASSERT_TRUE(kvrd.Logged("listening on port")) << kvrd.Log();
  const std::string deep = site.dir.File("a/b/c");
  const std::string registered =
      "KVRCTL_PASSWORD=secret " KVRCTL " --user admin --port " + std::to_string(site.port) + " ";
  const struct {
    std::string command;
    bool asUser;
    std::string stderrHas;
  } attempts[] = {
      {"config set --add-volume root=/", false, "not registered"},
      {"record delete ../outside.dav", false, "not registered"},
      {"record start DvCon planted.ts --volume root", false, "not registered"},
      {"config set --add-volume root=/", true, "refused"},
      {"config set --add-volume deep=" + deep, true, "refused"},
      {"record start DvCon planted.ts --volume root", true, "refused"},
  };
  for (const auto& a : attempts) {
    const kvr_test::Outcome o =
        a.asUser
            ? kvr_test::RunCommand(registered + a.command)
            : kvr_test::RunCommand(KVRCTL " --port " + std::to_string(site.port) + " " + a.command);
    EXPECT_EQ(o.exitCode, 1) << a.command << ": " << o.err;
    EXPECT_NE(o.err.find(a.stderrHas), std::string::npos) << a.command << ": " << o.err;
  }
  EXPECT_FALSE(fs::exists(site.dir.File("a")));
  EXPECT_TRUE(fs::exists(site.dir.File("outside.dav")));
  EXPECT_EQ(kvr_test::RunCommand(registered + "status").exitCode, 0);
  EXPECT_TRUE(kvrd.Logged("command StoreConfigSet max records"));
  const std::string log = kvrd.Log();
  EXPECT_NE(log.find("audit: peer 127.0.0.1:"), std::string::npos) << log;
  EXPECT_NE(log.find("(not registered) command DeleteRecRealMedia record ../outside.dav: refused"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("volume deep=" + deep + ": refused"), std::string::npos) << log;
  EXPECT_EQ(log.find("secret"), std::string::npos) << "a password in the log";
}

}  // namespace
