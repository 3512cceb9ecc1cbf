// kvrd as an operator runs it: the built daemon started as a child process
// with a configuration file in a scratch folder, driven with kvrctl and
// signals.
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/kvrd_process.h"
#include "tests/test_util.h"

namespace {

namespace fs = std::filesystem;
using kvr_test::WaitFor;

// A scratch folder with a routing file, a volume folder and kvrd.conf.
struct Site {
  kvr_test::ServiceFolder dir{false};
  unsigned port = 0;
  explicit Site(const std::string& extra = "", unsigned busyPort = 0);
  // kvrctl run against the site, as `user` (with `password`) when one is given.
  kvr_test::Outcome Kvrctl(const std::string& args, const std::string& user = "",
                           const std::string& password = "") const {
    return kvr_test::RunCommand((user.empty() ? "" : "KVRCTL_PASSWORD=" + password + " ") + KVRCTL +
                                " --port " + std::to_string(port) +
                                (user.empty() ? "" : " --user " + user) + " " + args);
  }
};

// kvrd on a Site. `mode`: "-f" runs in the foreground, "-t" checks the configuration.
struct Kvrd : kvr_test::KvrdProcess {
  explicit Kvrd(const Site& site, const char* mode = "-f") : KvrdProcess(site.dir.path(), mode) {}
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
// library instead of refused, a check (-t) that passes a bad access key or
// refuses both address families together.
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
      {"bad listen", "listen = 127.0.0.1 nowhere\n", "", 2,
       "kvrd.conf:7: listen takes IPv4 or IPv6 addresses or 'any', got 'nowhere'"},
      {"bad flag", "\nregistered_only = maybe\n", "", 2,
       "kvrd.conf:8: registered_only must be yes or no"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    kvr_test::LoopbackSocket busy = kvr_test::LoopbackSocket::Listen();
    Site site(c.extra, c.name == "port taken" ? busy.port() : 0);
    if (!c.routing.empty()) std::ofstream(site.dir.File("Server_Config.xml")) << c.routing;
    // A check of the file (-t) refuses what a start would refuse for its
    // content; the port and the routing file are the start's business.
    for (const char* mode : {"-f", "-t"}) {
      if (c.exitCode != 2 && mode[1] == 't') continue;
      Kvrd kvrd(site, mode);
      EXPECT_EQ(kvrd.Wait(), c.exitCode) << mode;
      EXPECT_NE(kvrd.Log().find(c.message), std::string::npos) << mode << ": " << kvrd.Log();
    }
  }
  Site good("listen = 127.0.0.1 ::1\n");
  Kvrd check(good, "-t");
  EXPECT_EQ(check.Wait(), 0) << check.Log();
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
    EXPECT_EQ(site.Kvrctl("keepalive").exitCode, 0);
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
    const kvr_test::Outcome o = site.Kvrctl(a.command, a.asUser ? "admin" : "", "secret");
    EXPECT_EQ(o.exitCode, 1) << a.command << ": " << o.err;
    EXPECT_NE(o.err.find(a.stderrHas), std::string::npos) << a.command << ": " << o.err;
  }
  EXPECT_FALSE(fs::exists(site.dir.File("a")));
  EXPECT_TRUE(fs::exists(site.dir.File("outside.dav")));
  EXPECT_EQ(site.Kvrctl("status", "admin", "secret").exitCode, 0);
  EXPECT_TRUE(kvrd.Logged("command StoreConfigSet max records"));
  const std::string log = kvrd.Log();
  EXPECT_NE(log.find("audit: peer 127.0.0.1:"), std::string::npos) << log;
  EXPECT_NE(log.find("(not registered) command DeleteRecRealMedia record ../outside.dav: refused"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("volume deep=" + deep + ": refused"), std::string::npos) << log;
  EXPECT_EQ(log.find("secret"), std::string::npos) << "a password in the log";
}

// SIGHUP while a record runs: a volume and a user added to kvrd.conf count
// at once, and the record goes on. Kills: a reload that stops (or restarts)
// the records, or leaves the volumes or users as they were.
TEST(KvrdTest, SighupAddsAVolumeAndAUserWithoutStoppingARecord) {
  Site site("volume_root = .\n");  // volumes may be added beside the first
  fs::create_directory(site.dir.File("volume1"));
  Kvrd kvrd(site);
  ASSERT_TRUE(kvrd.Logged("listening on port")) << kvrd.Log();
  ASSERT_EQ(site.Kvrctl("record start DvCon held.ts", "admin", "secret").exitCode, 0);
  EXPECT_NE(site.Kvrctl("status held.ts", "bob", "pw2").exitCode, 0) << "bob before the reload";
  std::ofstream(site.dir.File("kvrd.conf"), std::ios::app)
      << "volume = v1 volume1 1\nuser = bob pw2\n";
  kvrd.Signal(SIGHUP);
  ASSERT_TRUE(kvrd.Logged("reload: 2 volume(s), 2 user(s)")) << kvrd.Log();
  const kvr_test::Outcome status = site.Kvrctl("status held.ts", "bob", "pw2");
  EXPECT_EQ(status.exitCode, 0);
  EXPECT_NE(status.out.find("held.ts"), std::string::npos) << status.out;
  const kvr_test::Outcome config = site.Kvrctl("config get", "bob", "pw2");
  EXPECT_EQ(config.exitCode, 0);
  EXPECT_NE(config.out.find(site.dir.File("volume1")), std::string::npos) << config.out;
}

// The process's CPU time so far (user and system), in clock ticks.
long CpuTicks(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), {});
  std::istringstream fields(text.substr(text.rfind(')') + 2));
  std::string field;
  long user = 0, system = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i == 14) user = std::stol(field);
    if (i == 15) system = std::stol(field);
  }
  return user + system;
}

long ResidentKiB(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

size_t OpenDescriptors(pid_t pid) {
  const fs::path folder = "/proc/" + std::to_string(pid) + "/fd";
  return static_cast<size_t>(std::distance(fs::directory_iterator(folder), {}));
}

// kvrd's open-file limit reached by waiting clients: the listener rests
// instead of spinning, the connection that exists is still answered, one
// line says so, and the waiting clients are served once descriptors are
// free again. Kills: a poll loop that retries accept at once (a core
// spent), a failure logged once per try, a back-off that never ends.
TEST(KvrdTest, OutOfDescriptorsTheListenerRestsAndServesWhoIsIn) {
  Site site("max_connections = 0\n");
  Kvrd kvrd(site);
  ASSERT_TRUE(kvrd.Logged("listening on port")) << kvrd.Log();
  const std::string keepAlive = kvr_test::KeepAliveRequest(3);
  const std::string reply = kvr_test::KeepAliveReply(3);
  kvr_test::LoopbackSocket inside(site.port);
  ASSERT_TRUE(inside.SendAll(keepAlive));
  ASSERT_EQ(inside.Read(reply.size()), reply);

  const long before = ResidentKiB(kvrd.pid());
  rlimit roomy{};
  ASSERT_EQ(::prlimit(kvrd.pid(), RLIMIT_NOFILE, nullptr, &roomy), 0);
  const rlimit tight{OpenDescriptors(kvrd.pid()) + 2, roomy.rlim_max};
  ASSERT_EQ(::prlimit(kvrd.pid(), RLIMIT_NOFILE, &tight, nullptr), 0);
  std::vector<std::unique_ptr<kvr_test::LoopbackSocket>> waiting;
  for (int i = 0; i < 8; ++i) {
    waiting.push_back(std::make_unique<kvr_test::LoopbackSocket>(site.port));
  }
  ASSERT_TRUE(kvrd.Logged("accepting clients failed")) << kvrd.Log();
  const long ticks = CpuTicks(kvrd.pid());
  const auto start = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(2));
  ASSERT_TRUE(inside.SendAll(keepAlive));
  EXPECT_EQ(inside.Read(reply.size()), reply) << "the client inside was left unanswered";
  const double busy =
      static_cast<double>(CpuTicks(kvrd.pid()) - ticks) / ::sysconf(_SC_CLK_TCK) /
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf(
      "out of descriptors: kvrd used %.1f %% of a core; resident %ld KiB before, %ld "
      "KiB after\n",
      100 * busy, before, ResidentKiB(kvrd.pid()));
  EXPECT_LT(busy, 0.25);
  EXPECT_EQ(kvrd.Count("accepting clients failed"), 1) << kvrd.Log();

  ASSERT_EQ(::prlimit(kvrd.pid(), RLIMIT_NOFILE, &roomy, nullptr), 0);
  ASSERT_TRUE(waiting.back()->SendAll(keepAlive));
  EXPECT_EQ(waiting.back()->Read(reply.size()), reply) << "the last client never got in";
}

}  // namespace
