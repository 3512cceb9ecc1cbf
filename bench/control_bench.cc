// Control round trips over loopback: KeepAlive requests against the service
// (started here through the library's exports), and the same requests, read
// by the same client code, against nginx serving a fixed reply of the same
// byte count, as a yardstick of what one event loop on this machine does.
//
// One thread drives every connection with poll(), each connection with one
// request outstanding: with 1 connection it times every round trip (p50,
// p99), with 100 it counts replies per second. Replies are cut out and
// parsed by the control client's reader for both servers.
//
// The debug lines of service and client are masked (setlogmask) for the
// comparison, as a host that does not collect them would; a last run shows
// what they cost.
//
// usage: bench_control [SECONDS per load run, default 2]
// nginx is looked for as /usr/sbin/nginx or $KVR_NGINX; without it only the
// service's figures are printed.
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "include/KVRServer.h"
#include "platform/host_connect.h"
#include "platform/socket.h"
#include "protocol/message/session_pdus.h"
#include "protocol/tcp/kvr_control_client.h"

namespace {

using kvr::pdu::kPduModeHttp;

using kvr::tcp::CControlReplyReader;
using kvr::tcp::CKVRControlClient;
using kvr::tcp::ControlStatus;

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kRoundTrips = 5000;
constexpr int kManyConnections = 100;
constexpr int kRounds = 5;

struct Figures {
  double p50Ms = 0, p99Ms = 0;           // 1 connection
  std::vector<double> repliesPerSecond;  // 100 connections, one per round
  std::vector<double> cpuMicros;         // the server's CPU time per reply, one per round
  size_t replyBytes = 0;
  bool ok = false;
};

unsigned FreePort() {
  const platform::SocketFd fd = platform::OpenTcpSocket();
  platform::BindIPv4(fd, 0, 0);
  const unsigned port = platform::NetToHost16(platform::LocalPort(fd));
  platform::CloseSocket(fd);
  return port;
}

// The KeepAlive request every connection sends, printed once.
std::string KeepAliveRequest() {
  CReferPtr<CKeepAlive> request(CKeepAlive::Create());
  std::snprintf(request->cuId, sizeof(request->cuId), "bench");
  std::snprintf(request->cuName, sizeof(request->cuName), "bench");
  request->keepAlivePeriod = 30;
  request->SetSession("12");
  request->SetSequence("7");
  // HTTP/1.1 servers other than ours refuse a request without one.
  request->GetDoc()->GetCarrier()->SetHeader("Host", "127.0.0.1");
  CReferPtr<CAutoBuffer> text = request->ToBuffer(kPduModeHttp);
  return std::string(text->Data(), static_cast<size_t>(text->Size()));
}

struct Connection {
  platform::SocketFd fd = platform::kInvalidSocket;
  CControlReplyReader reader;
  Clock::time_point sentAt;
};

// `count` connections to `port`, each sending `request` again as soon as its
// reply is in, for `seconds` (or until `limit` replies when not 0). Records
// every round trip in `latencies` when given. Returns replies per second, or
// -1 when a connection failed.
double Drive(unsigned port, int count, const std::string& request, double seconds, int limit,
             std::vector<double>* latencies, size_t* replyBytes) {
  uint32_t loopback = 0;
  platform::ParseIPv4("127.0.0.1", &loopback);
  std::vector<Connection> connections(static_cast<size_t>(count));
  for (Connection& c : connections) {
    c.fd = platform::OpenTcpSocket();
    if (platform::ConnectIPv4Within(c.fd, loopback, platform::HostToNet16(port), 2000) != 0) {
      std::fprintf(stderr, "bench_control: cannot connect to port %u\n", port);
      return -1;
    }
    platform::SetNoDelay(c.fd);
  }
  const auto send = [&](Connection& c) {
    c.sentAt = Clock::now();
    // A request this small always fits in an idle socket's buffer.
    return platform::SendSome(c.fd, request.data(), request.size()) ==
           static_cast<long>(request.size());
  };
  for (Connection& c : connections) {
    if (!send(c)) return -1;
  }
  platform::PollSet set;
  long replies = 0;
  size_t bytes = 0;
  bool failed = false;
  char buffer[16384];
  const Clock::time_point start = Clock::now();
  const Clock::time_point end =
      start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  while (!failed && Clock::now() < end && (limit == 0 || replies < limit)) {
    set.Clear();
    for (const Connection& c : connections) set.Add(c.fd, true, false);
    if (set.Wait(1000) <= 0) continue;
    for (size_t i = 0; i < connections.size(); ++i) {
      if (!set.Readable(i)) continue;
      Connection& c = connections[i];
      const long n = platform::Receive(c.fd, buffer, sizeof(buffer));
      if (n <= 0) {
        if (n == platform::kSocketWouldBlock) continue;
        std::fprintf(stderr, "bench_control: a connection closed\n");
        failed = true;
        break;
      }
      c.reader.Append(buffer, static_cast<size_t>(n));
      bytes += static_cast<size_t>(n);
      CReferPtr<IZETAPDU> unit;
      CControlReplyReader::Result result;
      while ((result = c.reader.Next(&unit)) == CControlReplyReader::kUnit) {
        const Clock::time_point now = Clock::now();
        if (latencies != nullptr) {
          latencies->push_back(std::chrono::duration<double, std::milli>(now - c.sentAt).count());
        }
        ++replies;
        if (!send(c)) failed = true;
      }
      if (result == CControlReplyReader::kBad) {
        std::fprintf(stderr, "bench_control: a reply did not parse\n");
        failed = true;
      }
    }
  }
  const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  for (Connection& c : connections) platform::CloseSocket(c.fd);
  if (replyBytes != nullptr && replies > 0) *replyBytes = bytes / static_cast<size_t>(replies);
  return failed ? -1 : static_cast<double>(replies) / elapsed;
}

double Percentile(std::vector<double> values, double p) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  return values[std::min(values.size() - 1, static_cast<size_t>(p * values.size()))];
}

// Round trips one at a time on 1 connection.
Figures MeasureLatency(unsigned port, const std::string& request) {
  Figures f;
  std::vector<double> latencies;
  // Warm-up: connections, caches and the server's first allocations.
  if (Drive(port, 1, request, 5, 200, nullptr, nullptr) < 0) return f;
  if (Drive(port, 1, request, 30, kRoundTrips, &latencies, &f.replyBytes) < 0) return f;
  f.p50Ms = Percentile(latencies, 0.50);
  f.p99Ms = Percentile(latencies, 0.99);
  f.ok = latencies.size() == static_cast<size_t>(kRoundTrips);
  return f;
}

double Seconds(const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; }

// CPU seconds of the service in this process: every thread but this one
// (the client), idle ones included.
double ServiceCpu() {
  rusage all{}, self{};
  getrusage(RUSAGE_SELF, &all);
  getrusage(RUSAGE_THREAD, &self);
  return Seconds(all.ru_utime) + Seconds(all.ru_stime) - Seconds(self.ru_utime) -
         Seconds(self.ru_stime);
}

// CPU seconds of another process (user and system), from /proc.
double ProcessCpu(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), {});
  const size_t close = text.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream fields(text.substr(close + 2));
  std::string skip;
  for (int i = 0; i < 11; ++i) fields >> skip;  // state ... cmajflt
  double user = 0, system = 0;
  fields >> user >> system;
  return (user + system) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// One round of replies per second on 100 connections, with the server's CPU
// time per reply (which the machine's other load hardly changes), added to `f`.
bool MeasureRate(unsigned port, const std::string& request, double seconds,
                 const std::function<double()>& serverCpu, Figures* f) {
  const double cpuBefore = serverCpu();
  const Clock::time_point start = Clock::now();
  const double rate = Drive(port, kManyConnections, request, seconds, 0, nullptr, nullptr);
  if (rate <= 0) return false;
  const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  f->repliesPerSecond.push_back(rate);
  f->cpuMicros.push_back((serverCpu() - cpuBefore) * 1e6 / (rate * elapsed));
  return true;
}

// nginx in the foreground in its own folder, answering every request with
// `body` and headers padded so that the whole reply is `replyBytes` long.
class Nginx {
 public:
  Nginx(const std::string& binary, const fs::path& dir, const std::string& body, size_t replyBytes)
      : dir_(dir), port_(FreePort()) {
    fs::create_directories(dir_);
    // nginx's own headers with an empty pad, measured once: Date has a fixed width.
    const size_t fixed = std::string(
                             "HTTP/1.1 200 OK\r\nServer: nginx\r\n"
                             "Date: Sat, 05 Dec 2026 22:45:55 GMT\r\n"
                             "Content-Type: text/xml\r\nContent-Length: \r\n"
                             "Connection: keep-alive\r\nX-Pad: \r\n\r\n")
                             .size() +
                         std::to_string(body.size()).size() + body.size();
    const std::string pad(replyBytes > fixed ? replyBytes - fixed : 0, 'p');
    const fs::path conf = dir_ / "nginx.conf";
    std::ofstream(conf) << "daemon off;\nmaster_process off;\nworker_processes 1;\n"
                        << "pid " << (dir_ / "nginx.pid").string() << ";\n"
                        << "error_log " << (dir_ / "error.log").string() << " error;\n"
                        << "events { worker_connections 1024; }\n"
                        << "http {\n  access_log off;\n  server_tokens off;\n"
                        << "  keepalive_requests 100000000;\n"
                        << "  client_body_temp_path " << (dir_ / "body").string() << ";\n"
                        << "  server {\n    listen 127.0.0.1:" << port_ << ";\n"
                        << "    location / {\n      default_type text/xml;\n"
                        << "      add_header X-Pad " << (pad.empty() ? "\"\"" : pad) << ";\n"
                        << "      return 200 '" << body << "';\n    }\n  }\n}\n";
    pid_ = fork();
    if (pid_ == 0) {
      const std::string prefix = dir_.string() + "/";
      const std::string error = (dir_ / "error.log").string();
      const std::string confText = conf.string();
      execl(binary.c_str(), binary.c_str(), "-p", prefix.c_str(), "-e", error.c_str(), "-c",
            confText.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    // Ready once it answers.
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(10);
    while (Clock::now() < deadline && !ready_) {
      CKVRControlClient probe;
      ready_ = probe.Connect("127.0.0.1", static_cast<uint16_t>(port_), 200) == ControlStatus::kOk;
      if (!ready_) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
  ~Nginx() {
    if (pid_ > 0) {
      kill(pid_, SIGQUIT);
      int status = 0;
      waitpid(pid_, &status, 0);
    }
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  bool ready() const { return ready_; }
  unsigned port() const { return port_; }
  pid_t pid() const { return pid_; }
  std::string ErrorLog() const {
    std::ifstream in(dir_ / "error.log");
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

 private:
  fs::path dir_;
  unsigned port_;
  pid_t pid_ = -1;
  bool ready_ = false;
};

double Median(const std::vector<double>& values) { return Percentile(values, 0.5); }

void Print(const char* who, const Figures& f) {
  const auto [low, high] =
      std::minmax_element(f.repliesPerSecond.begin(), f.repliesPerSecond.end());
  std::printf(
      "%-8s reply %4zu bytes   1 connection: p50 %.3f ms  p99 %.3f ms   "
      "%d connections: %.0f replies/s (median of %zu, %.0f to %.0f), server CPU %.1f us "
      "per reply\n",
      who, f.replyBytes, f.p50Ms, f.p99Ms, kManyConnections, Median(f.repliesPerSecond),
      f.repliesPerSecond.size(), *low, *high, Median(f.cpuMicros));
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 2.0;
  // As a host that does not collect the service's debug lines (and for the
  // client's parser, which writes them too); one run with them on follows.
  const int allLevels = setlogmask(LOG_UPTO(LOG_INFO));
  const fs::path dir =
      fs::temp_directory_path() / ("kvr-control-bench-" + std::to_string(getpid()));
  fs::create_directories(dir);
  fs::current_path(dir);
  fs::copy_file(KVR_SOURCE_DIR "/config/Server_Config.xml", "Server_Config.xml");

  const unsigned port = FreePort();
  if (KVR_StartService(static_cast<unsigned short>(port)) != 0) {
    std::fprintf(stderr, "bench_control: the service did not start on port %u\n", port);
    return 1;
  }
  const std::string request = KeepAliveRequest();

  // The service's reply, whole: nginx serves its XML with as many bytes in all.
  CKVRControlClient client("12");
  std::string replyText;
  if (client.Connect("127.0.0.1", static_cast<uint16_t>(port)) == ControlStatus::kOk) {
    CReferPtr<CKeepAliveAck> reply = client.Call<CKeepAliveAck>(CKeepAlive::Create());
    if (reply) {
      reply->SetSession("12");  // as the service printed it
      CReferPtr<CAutoBuffer> printed = reply->ToBuffer(kPduModeHttp);
      if (printed) replyText.assign(printed->Data(), static_cast<size_t>(printed->Size()));
    }
  }
  client.Close();
  if (replyText.empty()) {
    std::fprintf(stderr, "bench_control: no KeepAlive reply: %s\n", client.ErrorText().c_str());
    return 1;
  }
  const std::string body = replyText.substr(replyText.find("\r\n\r\n") + 4);

  std::printf(
      "KeepAlive round trips over loopback: %d timed on 1 connection; %d rounds of "
      "%g s on %d connections, the servers taking turns\n",
      kRoundTrips, kRounds, seconds, kManyConnections);
  Figures ours = MeasureLatency(port, request);
  if (!ours.ok) return 1;

  const char* configured = std::getenv("KVR_NGINX");
  const std::string nginx = configured != nullptr ? configured : "/usr/sbin/nginx";
  std::unique_ptr<Nginx> server;
  Figures theirs;
  if (access(nginx.c_str(), X_OK) != 0) {
    std::printf("nginx not installed (%s): no comparison\n", nginx.c_str());
  } else {
    server = std::make_unique<Nginx>(nginx, dir / "nginx", body, replyText.size());
    if (!server->ready()) {
      std::printf("nginx did not start: %s\n", server->ErrorLog().c_str());
      return 1;
    }
    theirs = MeasureLatency(server->port(), request);
    if (!theirs.ok) return 1;
  }
  // Turns, so that what else the machine is doing weighs on both alike.
  for (int round = 0; round < kRounds; ++round) {
    if (!MeasureRate(port, request, seconds, ServiceCpu, &ours)) return 1;
    if (server &&
        !MeasureRate(
            server->port(), request, seconds, [&] { return ProcessCpu(server->pid()); }, &theirs))
      return 1;
  }
  Print("kvr", ours);
  if (server) {
    Print("nginx", theirs);
    std::vector<double> ratios;
    for (int round = 0; round < kRounds; ++round) {
      ratios.push_back(ours.repliesPerSecond[round] / theirs.repliesPerSecond[round]);
    }
    std::printf(
        "ratio    kvr/nginx at %d connections: %.2f (median of the rounds' ratios; goal "
        ">= 0.5); kvr p50 %.3f ms (goal <= 0.5)\n",
        kManyConnections, Median(ratios), ours.p50Ms);
    if (theirs.replyBytes != ours.replyBytes) {
      std::printf("note     reply sizes differ (%zu vs %zu bytes)\n", ours.replyBytes,
                  theirs.replyBytes);
    }
    server.reset();
  }

  setlogmask(allLevels);
  Figures verbose = MeasureLatency(port, request);
  if (!verbose.ok || !MeasureRate(port, request, seconds, ServiceCpu, &verbose)) return 1;
  Print("kvr+dbg", verbose);
  std::printf(
      "(kvr+dbg: the service and this client with their debug lines on, sent to "
      "syslog%s)\n",
      access("/dev/log", W_OK) == 0 ? "" : ", which has no daemon here");
  KVR_StopService();
  std::error_code ec;
  fs::current_path(fs::temp_directory_path(), ec);
  fs::remove_all(dir, ec);
  return 0;
}
