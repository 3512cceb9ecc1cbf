// kvrctl: the recording service's control protocol from the command line.
//
// Each invocation opens one connection, sends the requests its command needs
// and prints the outcome: a table (or JSON with --json) on stdout, the reason
// in words on stderr when the service refuses. With --user it registers on the
// connection first (a service that takes commands from registered sessions
// only needs that); the password comes from KVRCTL_PASSWORD or a prompt, so it
// need not show in the process list or the shell's history.
//
// Exit status: 0 done, 1 refused by the service, 2 bad command line, 3 the
// service could not be reached or answered nonsense.
#include <syslog.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <stdexcept>

#include "protocol/message/session_pdus.h"
#include "protocol/message/store_pdus.h"
#include "protocol/tcp/kvr_control_client.h"
#include "tools/json_text.h"
#include "tools/kvrctl_cameras.h"

namespace {

using kvr::pdu::kResultPlmLogin;
using kvr::pdu::kResultSuccess;
using kvr::pdu::RecordStatusEntry;
using kvr::pdu::StoreVolumeItem;
using kvr::pdu::TimeRecord;

using kvr::tcp::CKVRControlClient;
using kvr::tcp::ControlStatus;
using kvr::tcp::ControlStatusName;

constexpr int kExitRefused = 1;
constexpr int kExitUsage = 2;
constexpr int kExitConnection = 3;
constexpr uint16_t kDefaultPort = 5150;

constexpr char kUsage[] =
    "usage: kvrctl COMMAND ... [--host H] [--port P] [--user U] [--json] [--timeout MS]\n"
    "\n"
    "  register USER [PASSWORD]     check a user name and password\n"
    "  keepalive                    ask whether the service answers\n"
    "  config get                   maximum records, reserved space, volumes\n"
    "  config drives                the machine's folders that can take records\n"
    "  config set [--max-records N] [--reserved MB] [--volume-reserved MB]\n"
    "             [--recover N] [--add-volume NAME=PATH[,TYPE]]... [--remove-volume NAME]...\n"
    "                               change only what is given (volume type 1 unless set)\n"
    "  record start READ_URL WRITE_URL [--volume NAME] [--limit-size MB]\n"
    "             [--limit-time SECONDS] [--record-type N]\n"
    "                               READ_URL: the camera's rtsp:// URL (or DvCon for\n"
    "                               pushed media); WRITE_URL: the record file, relative\n"
    "                               to the volume\n"
    "                               then watches the record until it writes or\n"
    "                               fails, for a camera (--no-wait: do not)\n"
    "  record pause|resume|stop|delete WRITE_URL\n"
    "  status [WRITE_URL]           every record (or one) as a table\n"
    "\n"
    "Cameras that kvrd records itself (through kvrd's API port, --api-port):\n"
    "  cameras                      each camera with its state\n"
    "  recordings CAMERA [--from T] [--to T]\n"
    "                               segments, gaps and protections in a range\n"
    "  export CAMERA --from T --to T FILE\n"
    "                               the range as one MPEG-TS file, cut at key frames\n"
    "  protect|unprotect CAMERA --from T --to T\n"
    "                               keep a range from retention, or let it go\n"
    "  T: 2026-12-06T05:10:00Z (UTC) or seconds since 1970.\n"
    "\n"
    "Options may come before or after the command. --user U registers as U on\n"
    "the connection before the command; the password is read from the\n"
    "environment variable KVRCTL_PASSWORD, else asked for on the terminal.\n"
    "--host takes a name, an IPv4 address or an IPv6 one (::1 or [::1]).\n"
    "Defaults: --host 127.0.0.1 --port 5150 --api-port 5151 --timeout 5000.\n"
    "Exit status: 0 done, 1 refused by the service (its reason on stderr),\n"
    "2 bad command line, 3 service not reachable.\n"
    "\n"
    "Example:\n"
    "  kvrctl record start rtsp://127.0.0.1:8554/cam cam1.ts --limit-time 60 --port 5150\n"
    "  KVRCTL_PASSWORD=secret kvrctl status --json --user admin\n"
    "  kvrctl recordings cam1 --from 2026-12-06T05:00:00Z\n";

// Thrown for a bad command line; caught in main.
struct UsageError {
  std::string text;
};

struct Options {
  std::string host = "127.0.0.1";
  uint16_t port = kDefaultPort;
  bool json = false;
  int timeoutMs = CKVRControlClient::kDefaultTimeoutMs;
  uint16_t apiPort = 5151;
  std::string user;  // register as this user first when not empty
};

// The words after the command, with "--name value" options taken out on request.
class Args {
 public:
  explicit Args(std::vector<std::string> words) : words_(std::move(words)) {}

  std::string Next(const char* what) {
    if (at_ >= words_.size()) throw UsageError{std::string("missing ") + what};
    return words_[at_++];
  }
  std::optional<std::string> NextIfAny() {
    return at_ < words_.size() ? std::optional<std::string>(words_[at_++]) : std::nullopt;
  }
  bool Done() const { return at_ >= words_.size(); }
  void ExpectDone() const {
    if (!Done()) throw UsageError{"unexpected \"" + words_[at_] + "\""};
  }

 private:
  std::vector<std::string> words_;
  size_t at_ = 0;
};

long ParseNumber(const std::string& text, const char* what, long low, long high) {
  char* end = nullptr;
  errno = 0;
  const long value = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || errno != 0 || value < low || value > high) {
    throw UsageError{std::string(what) + " must be a number from " + std::to_string(low) + " to " +
                     std::to_string(high) + ", not \"" + text + "\""};
  }
  return value;
}

// Copies `text` into a fixed field, refusing what does not fit rather than
// sending a cut name that would address another record.
template <size_t N>
void Put(char (&field)[N], const std::string& text, const char* what) {
  if (text.size() >= N) {
    throw UsageError{std::string(what) + " is longer than " + std::to_string(N - 1) +
                     " characters"};
  }
  std::memcpy(field, text.c_str(), text.size() + 1);
}

std::string JsonString(const std::string& text) { return kvr::JsonString(text); }

const char* StateName(int state) {
  switch (state) {
    case 4:
      return "recording";
    case 2:
      return "resumed";
    case 1:
      return "paused";
    case 3:
      return "stopped";
    case 0:
      return "failed";
    case -1:
      return "not started";
  }
  return "unknown";
}

std::string TimeText(const TimeRecord& time) {
  if (time.year == 0) return "-";
  char text[32];
  std::snprintf(text, sizeof(text), "%04u-%02u-%02u %02u:%02u:%02u", time.year, time.month,
                time.day, time.hour, time.minute, time.second);
  return text;
}

// The password for `user`: KVRCTL_PASSWORD, else asked for on the terminal
// without echo. A command line is seen by every local user; these are not.
std::string ReadPassword(const std::string& user) {
  if (const char* given = std::getenv("KVRCTL_PASSWORD")) return given;
  FILE* tty = std::fopen("/dev/tty", "r+");
  if (tty == nullptr) {
    throw UsageError{"no password for " + user + ": set KVRCTL_PASSWORD (no terminal to ask on)"};
  }
  std::fprintf(tty, "password for %s: ", user.c_str());
  std::fflush(tty);
  termios saved{};
  const bool isTerminal = tcgetattr(fileno(tty), &saved) == 0;
  if (isTerminal) {
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    tcsetattr(fileno(tty), TCSAFLUSH, &quiet);
  }
  char line[256] = "";
  const bool read = std::fgets(line, sizeof line, tty) != nullptr;
  if (isTerminal) tcsetattr(fileno(tty), TCSAFLUSH, &saved);
  std::fputc('\n', tty);
  std::fclose(tty);
  if (!read) throw UsageError{"no password for " + user};
  std::string password(line);
  while (!password.empty() && (password.back() == '\n' || password.back() == '\r')) {
    password.pop_back();
  }
  return password;
}

class Session;
// Says in words why the service refused a request; may ask it more.
using Reason = std::function<std::string(Session&)>;

class Session {
 public:
  explicit Session(const Options& options) : options_(options) {}

  // Connects on first use (and registers when a user was given); a failure
  // ends the program with exit 3, a refused registration with exit 1.
  CKVRControlClient& Client() {
    if (!client_.IsConnected()) {
      client_.SetTimeout(options_.timeoutMs);
      if (client_.Connect(options_.host, options_.port, options_.timeoutMs) != ControlStatus::kOk) {
        Unreachable();
      }
      if (!options_.user.empty()) {
        CReferPtr<CRegister> request(CRegister::Create());
        Put(request->cuName, options_.user, "user name");
        Put(request->cuPassword, ReadPassword(options_.user), "password");
        Ask<CRegisterAck>(request.get(), "register " + options_.user,
                          [](Session&) { return std::string("wrong user name or password"); });
      }
    }
    return client_;
  }

  // Sends `request` and returns the reply of class Ack; a refusal (result
  // not 0) prints why and ends the program with exit 1.
  template <class Ack>
  CReferPtr<Ack> Ask(IZETAPDU* request, const std::string& what, const Reason& reason) {
    CReferPtr<Ack> reply = Client().template Call<Ack>(request);
    if (!reply) Unreachable();
    if (reply->GetResultCode() != kResultSuccess) Refused(what, reply.get(), reason);
    return reply;
  }

  [[noreturn]] void Unreachable() {
    std::fprintf(stderr, "kvrctl: %s (%s)\n", client_.ErrorText().c_str(),
                 ControlStatusName(client_.Status()));
    std::exit(kExitConnection);
  }
  [[noreturn]] void Refused(const std::string& what, IZETAPDU* reply, const Reason& reason) {
    // The service's own text is kept in brackets: it names the result table's entry.
    const int code = reply->GetResultCode();
    const std::string text = reply->GetDocResultText();
    std::string words;
    if (code == kResultPlmLogin) {
      words = options_.user.empty() ? "not registered (give --user)" : "not registered";
    } else if (reason) {
      words = reason(*this);
    }
    if (words.empty()) words = text;
    std::fprintf(stderr, "kvrctl: %s refused: %s (%s, result %d)\n", what.c_str(), words.c_str(),
                 text.c_str(), code);
    std::exit(kExitRefused);
  }

  // The record's status entry, if the service has such a record.
  std::optional<RecordStatusEntry> Find(const std::string& url) {
    RecordStatusEntry probe;
    Put(probe.recordFileUrl, url, "WRITE_URL");
    std::vector<RecordStatusEntry> records;
    if (Client().QueryStatus(probe.recordFileUrl, &records) < 0) Unreachable();
    for (const RecordStatusEntry& record : records) {
      if (url == record.recordFileUrl) return record;
    }
    return std::nullopt;
  }

  // What a command prints when it only succeeded.
  void Done(const std::string& what) {
    if (options_.json) {
      std::printf("{\"ok\": true}\n");
    } else {
      std::printf("%s: done\n", what.c_str());
    }
  }

  bool json() const { return options_.json; }
  int timeoutMs() const { return options_.timeoutMs; }

 private:
  const Options& options_;
  CKVRControlClient client_;
};

void Register(Session& session, Args& args) {
  const std::string user = args.Next("user name");
  std::optional<std::string> password = args.NextIfAny();
  args.ExpectDone();
  if (!password) password = ReadPassword(user);
  CReferPtr<CRegister> request(CRegister::Create());
  Put(request->cuName, user, "user name");
  Put(request->cuPassword, *password, "password");
  session.Ask<CRegisterAck>(request.get(), "register",
                            [](Session&) { return std::string("wrong user name or password"); });
  session.Done("register");
}

void KeepAlive(Session& session, Args& args) {
  args.ExpectDone();
  CReferPtr<CKeepAlive> request(CKeepAlive::Create());
  Put(request->cuName, "kvrctl", "client name");
  session.Ask<CKeepAliveAck>(request.get(), "keepalive", nullptr);
  session.Done("keepalive");
}

CReferPtr<CGetKVRCngParamsAck> GetConfig(Session& session, int cngType) {
  CReferPtr<CGetKVRCngParams> request(CGetKVRCngParams::Create());
  request->cngType = cngType;
  return session.Ask<CGetKVRCngParamsAck>(request.get(), "config get", nullptr);
}

void PrintConfig(Session& session, CGetKVRCngParamsAck* config, bool scalars) {
  std::vector<StoreVolumeItem> volumes;
  StoreVolumeItem volume;
  for (bool first = true; config->NextVolume(&volume, first) == kResultSuccess; first = false) {
    volumes.push_back(volume);
    volume = StoreVolumeItem();
  }
  if (session.json()) {
    std::string out = "{";
    if (scalars) {
      out += "\"maxRecordNumber\": " + std::to_string(config->maxRecordNumber) +
             ", \"recoverMethod\": " + std::to_string(config->recoverMethod) +
             ", \"reservedSpaceMB\": " + std::to_string(config->reservedSpace) +
             ", \"reservedVolumeSpaceMB\": " + std::to_string(config->reservedvolumeSpace) + ", ";
    }
    out += "\"volumes\": [";
    for (size_t i = 0; i < volumes.size(); ++i) {
      const StoreVolumeItem& v = volumes[i];
      out += std::string(i ? ", " : "") + "{\"name\": " + JsonString(v.volumeName) +
             ", \"path\": " + JsonString(v.volumePath) +
             ", \"type\": " + std::to_string(v.volumeType) +
             ", \"freeMB\": " + std::to_string(v.volumeRest) +
             ", \"records\": " + std::to_string(v.useCount) + "}";
    }
    std::printf("%s]}\n", out.c_str());
    return;
  }
  if (scalars) {
    std::printf(
        "max records:        %d\nrecover method:     %d\nreserved space:     %d MB\n"
        "reserved per volume: %d MB\n",
        config->maxRecordNumber, config->recoverMethod, config->reservedSpace,
        config->reservedvolumeSpace);
  }
  std::printf("%-12s %-5s %10s %8s  %s\n", "VOLUME", "TYPE", "FREE_MB", "RECORDS", "PATH");
  for (const StoreVolumeItem& v : volumes) {
    std::printf("%-12s %-5d %10u %8u  %s\n", v.volumeName, v.volumeType, v.volumeRest, v.useCount,
                v.volumePath);
  }
}

void SetConfig(Session& session, Args& args) {
  // The numbers start at -1, which no option gives: "not given".
  CReferPtr<CSetKVRCngParams> request(CSetKVRCngParams::Create());
  bool changed = false;
  while (std::optional<std::string> option = args.NextIfAny()) {
    changed = true;
    if (*option == "--max-records") {
      request->maxRecordNumber =
          ParseNumber(args.Next("a number after --max-records"), "--max-records", 0, 1 << 30);
    } else if (*option == "--reserved") {
      request->reservedSpace =
          ParseNumber(args.Next("megabytes after --reserved"), "--reserved", 0, 1 << 30);
    } else if (*option == "--volume-reserved") {
      request->reservedvolumeSpace = ParseNumber(args.Next("megabytes after --volume-reserved"),
                                                 "--volume-reserved", 0, 1 << 30);
    } else if (*option == "--recover") {
      request->recoverMethod =
          ParseNumber(args.Next("a number after --recover"), "--recover", 0, 1 << 30);
    } else if (*option == "--add-volume") {
      const std::string given = args.Next("NAME=PATH after --add-volume");
      const size_t equals = given.find('=');
      if (equals == std::string::npos || equals == 0 || equals + 1 == given.size()) {
        throw UsageError{"--add-volume takes NAME=PATH[,TYPE], not \"" + given + "\""};
      }
      std::string path = given.substr(equals + 1);
      int type = 1;
      const size_t comma = path.rfind(',');
      if (comma != std::string::npos) {
        type = ParseNumber(path.substr(comma + 1), "volume type", 0, 10);
        path.resize(comma);
      }
      StoreVolumeItem volume;
      Put(volume.volumeName, given.substr(0, equals), "volume name");
      Put(volume.volumePath, path, "volume path");
      volume.volumeType = type;
      request->AddVolume(volume);
    } else if (*option == "--remove-volume") {
      StoreVolumeItem volume;
      Put(volume.volumeName, args.Next("a name after --remove-volume"), "volume name");
      // The service ignores a removal without a path; any text will do.
      Put(volume.volumePath, "-", "volume path");
      volume.volumeType = -1;
      request->AddVolume(volume);
    } else {
      throw UsageError{"unknown option \"" + *option + "\" for config set"};
    }
  }
  if (!changed) throw UsageError{"config set needs at least one option"};
  // The service replaces all four numbers on every set: what was not given
  // keeps the value the service has.
  CReferPtr<CGetKVRCngParamsAck> current = GetConfig(session, 0);
  const auto keep = [](int32_t* field, int32_t now) {
    if (*field == -1) *field = now;
  };
  keep(&request->maxRecordNumber, current->maxRecordNumber);
  keep(&request->recoverMethod, current->recoverMethod);
  keep(&request->reservedSpace, current->reservedSpace);
  keep(&request->reservedvolumeSpace, current->reservedvolumeSpace);
  session.Ask<CSetKVRCngParamsAck>(request.get(), "config set", [](Session&) {
    return std::string(
        "the service does not take its configuration from clients, or cannot use a volume path");
  });
  session.Done("config set");
}

void Config(Session& session, Args& args) {
  const std::string what = args.Next("config get, config drives or config set");
  if (what == "get" || what == "drives") {
    args.ExpectDone();
    const bool drives = what == "drives";
    CReferPtr<CGetKVRCngParamsAck> config = GetConfig(session, drives ? 1 : 0);
    PrintConfig(session, config.get(), !drives);
  } else if (what == "set") {
    SetConfig(session, args);
  } else {
    throw UsageError{"unknown config command \"" + what + "\""};
  }
}

void WatchStart(Session& session, const std::string& url, const std::string& what);

void RecordStart(Session& session, Args& args) {
  CReferPtr<CRecordMedia> request(CRecordMedia::Create());
  bool wait = true;
  Put(request->readFileUrl, args.Next("READ_URL"), "READ_URL");
  Put(request->writeFileUrl, args.Next("WRITE_URL"), "WRITE_URL");
  while (std::optional<std::string> option = args.NextIfAny()) {
    if (*option == "--no-wait") {
      wait = false;
    } else if (*option == "--volume") {
      Put(request->volumn, args.Next("a name after --volume"), "volume name");
    } else if (*option == "--limit-size") {
      request->limitSize =
          ParseNumber(args.Next("megabytes after --limit-size"), "--limit-size", 0, 1 << 30);
    } else if (*option == "--limit-time") {
      request->limitTime =
          ParseNumber(args.Next("seconds after --limit-time"), "--limit-time", 0, 1 << 30);
    } else if (*option == "--record-type") {
      request->recordType =
          ParseNumber(args.Next("a number after --record-type"), "--record-type", 0, 4);
    } else {
      throw UsageError{"unknown option \"" + *option + "\" for record start"};
    }
  }
  const std::string url = request->writeFileUrl;
  const std::string what = "record start " + url;
  session.Ask<CRecordMediaAck>(request.get(), what, [url](Session& s) {
    if (s.Find(url)) return std::string("a record of that name exists");
    CReferPtr<CGetKVRCngParamsAck> config = GetConfig(s, 0);
    bool room = false;
    StoreVolumeItem volume;
    for (bool first = true; config->NextVolume(&volume, first) == kResultSuccess; first = false) {
      room |= volume.volumeRest > static_cast<uint32_t>(std::max(0, config->reservedvolumeSpace));
    }
    if (!room) return std::string("no volume has room");
    return std::string(
        "a record file of that name exists, the name is not allowed, or the record limit is "
        "reached");
  });
  // Pushed media comes when the host has some: only a camera can be watched.
  if (wait && std::string(request->readFileUrl) != "DvCon") WatchStart(session, url, what);
  session.Done(what);
}

// A pulled record's camera is opened after the start was accepted; its
// failure reaches nobody who asked. Watching the record until its first write
// (or its failure) tells a user whether it really records.
void WatchStart(Session& session, const std::string& url, const std::string& what) {
  // The camera's open time-out is 5 s; the first block is written half a second after.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(7000);
  bool sawStamp = false;
  for (;;) {
    const std::optional<RecordStatusEntry> record = session.Find(url);
    // Failed (0) or stopped (3) before anything was written: the camera did not deliver.
    if (!record || record->status == 0 || record->status == 3) {
      std::fprintf(stderr, "kvrctl: %s failed: the record ended before it wrote (%s)\n",
                   what.c_str(), record ? StateName(record->status) : "gone");
      std::exit(kExitRefused);
    }
    // A failing record also stamps its last time just before its state
    // turns: only a record still recording a moment after its stamp writes.
    const bool stamped = record->finalTime.year != 0 || record->recordSize > 0;
    if (stamped && sawStamp) return;
    sawStamp = stamped;
    if (std::chrono::steady_clock::now() >= deadline) {
      std::fprintf(stderr, "kvrctl: %s: accepted, but nothing written yet (state %s)\n",
                   what.c_str(), StateName(record->status));
      std::exit(kExitRefused);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
  }
}

void Record(Session& session, Args& args) {
  static const std::map<std::string, int> kControls = {{"pause", 1}, {"resume", 2}, {"stop", 3}};
  const std::string what = args.Next("a record command");
  if (what == "start") return RecordStart(session, args);
  const auto control = kControls.find(what);
  if (control == kControls.end() && what != "delete") {
    throw UsageError{"unknown record command \"" + what + "\""};
  }
  const std::string url = args.Next("WRITE_URL");
  args.ExpectDone();
  const std::string label = "record " + what + " " + url;
  if (control != kControls.end()) {
    CReferPtr<CRecordMediaControl> request(CRecordMediaControl::Create());
    Put(request->recordFileUrl, url, "WRITE_URL");
    request->ctrlInfo = control->second;
    session.Ask<CRecordMediaControlAck>(request.get(), label, [url](Session& s) {
      const std::optional<RecordStatusEntry> record = s.Find(url);
      return record ? std::string("the record is ") + StateName(record->status)
                    : std::string("no such record");
    });
  } else {
    CReferPtr<CDelRecordMedia> request(CDelRecordMedia::Create());
    Put(request->recordFileUrl, url, "WRITE_URL");
    session.Ask<CDelRecordMediaAck>(request.get(), label, [url](Session& s) {
      return s.Find(url) ? std::string("the record is running: stop it first")
                         : std::string("no such record");
    });
  }
  session.Done(label);
}

void Status(Session& session, Args& args) {
  const std::optional<std::string> url = args.NextIfAny();
  args.ExpectDone();
  RecordStatusEntry probe;
  Put(probe.recordFileUrl, url.value_or("*"), "WRITE_URL");
  std::vector<RecordStatusEntry> records;
  const int result = session.Client().QueryStatus(probe.recordFileUrl, &records);
  if (result < 0) session.Unreachable();
  if (result == kResultPlmLogin) {
    std::fprintf(stderr, "kvrctl: status refused: not registered (give --user) (result %d)\n",
                 result);
    std::exit(kExitRefused);
  }
  // The service answers "no record" with a refusal; for the whole table
  // that is an empty table, for one named record it is the answer.
  if (result != kResultSuccess && (url.has_value() || !records.empty())) {
    std::fprintf(stderr, "kvrctl: status %s: no such record (result %d)\n",
                 url.value_or("*").c_str(), result);
    std::exit(kExitRefused);
  }
  if (session.json()) {
    std::string out = "{\"records\": [";
    for (size_t i = 0; i < records.size(); ++i) {
      const RecordStatusEntry& r = records[i];
      out += std::string(i ? ", " : "") + "{\"url\": " + JsonString(r.recordFileUrl) +
             ", \"state\": " + std::to_string(r.status) +
             ", \"stateName\": " + JsonString(StateName(r.status)) +
             ", \"sizeMB\": " + std::to_string(r.recordSize) +
             ", \"recordType\": " + std::to_string(r.recordType) +
             ", \"begin\": " + JsonString(TimeText(r.beginTime)) +
             ", \"final\": " + JsonString(TimeText(r.finalTime)) +
             ", \"totalTime\": " + std::to_string(r.totalTime) +
             ", \"limitSizeMB\": " + std::to_string(r.limitSize) +
             ", \"limitTime\": " + std::to_string(r.limitTime) +
             ", \"refusedMessages\": " + std::to_string(r.refusedMessages) + "}";
    }
    std::printf("%s]}\n", out.c_str());
    return;
  }
  std::printf("%-32s %-12s %8s %-19s  %-19s %9s %9s %8s\n", "RECORD", "STATE", "SIZE_MB", "BEGIN",
              "LAST", "LIMIT_MB", "LIMIT_S", "REFUSED");
  for (const RecordStatusEntry& r : records) {
    std::printf("%-32s %-12s %8d %-19s  %-19s %9d %9d %8u\n", r.recordFileUrl, StateName(r.status),
                r.recordSize, TimeText(r.beginTime).c_str(), TimeText(r.finalTime).c_str(),
                r.limitSize, r.limitTime, r.refusedMessages);
  }
}

int Run(int argc, char** argv) {
  // The connection's options are taken out wherever they stand; what is
  // left is the command and its own words, in order.
  Options options;
  std::vector<std::string> words;
  for (int at = 1; at < argc; ++at) {
    const std::string option = argv[at];
    const auto value = [&](const char* what) -> std::string {
      if (at + 1 >= argc) throw UsageError{std::string("missing ") + what + " after " + option};
      return argv[++at];
    };
    if (option == "--help" || option == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (option == "--host") {
      // An IPv6 address may come in brackets, as it is written beside a port.
      options.host = value("a host");
      if (options.host.size() > 2 && options.host.front() == '[' && options.host.back() == ']') {
        options.host = options.host.substr(1, options.host.size() - 2);
      }
    } else if (option == "--port") {
      options.port = static_cast<uint16_t>(ParseNumber(value("a port"), "--port", 1, 65535));
    } else if (option == "--api-port") {
      options.apiPort = static_cast<uint16_t>(ParseNumber(value("a port"), "--api-port", 1, 65535));
    } else if (option == "--json") {
      options.json = true;
    } else if (option == "--timeout") {
      options.timeoutMs = ParseNumber(value("milliseconds"), "--timeout", 1, 3600000);
    } else if (option == "--user") {
      options.user = value("a user name");
    } else if (words.empty() && option[0] == '-') {
      throw UsageError{"unknown option \"" + option + "\""};
    } else {
      words.push_back(option);
    }
  }
  if (words.empty()) throw UsageError{"no command"};
  const std::string command = words.front();
  const std::vector<std::string> rest(words.begin() + 1, words.end());
  kvrctl::ApiOptions api{options.host, options.apiPort, options.json, options.timeoutMs};
  try {
    if (const auto status = kvrctl::RunCameraCommand(command, rest, api)) return *status;
  } catch (const std::invalid_argument& error) {
    throw UsageError{error.what()};
  }
  Args args(rest);
  static const std::map<std::string, std::function<void(Session&, Args&)>> kCommands = {
      {"register", Register}, {"keepalive", KeepAlive}, {"config", Config},
      {"record", Record},     {"status", Status},
  };
  const auto found = kCommands.find(command);
  if (found == kCommands.end()) throw UsageError{"unknown command \"" + command + "\""};
  Session session(options);
  found->second(session, args);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  // The parser's diagnostic lines are the service's business, not a user's:
  // kept out of the system log.
  setlogmask(LOG_UPTO(LOG_INFO));
  try {
    return Run(argc, argv);
  } catch (const UsageError& error) {
    std::fprintf(stderr, "kvrctl: %s\n(kvrctl --help lists the commands)\n", error.text.c_str());
    return kExitUsage;
  }
}
