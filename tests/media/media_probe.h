// What FFmpeg's own tools make of a media file, for tests that check record
// files: ProbeFile runs ffprobe (streams, codecs, duration) and DecodeErrors
// decodes every frame with ffmpeg, so "the file plays" is checked by the
// decoders, not only by the demuxer. Header-only, for test programs only.
#ifndef KVR_TESTS_MEDIA_MEDIA_PROBE_H_
#define KVR_TESTS_MEDIA_MEDIA_PROBE_H_

#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace kvr_test {

// Runs `command` through the shell; its stdout and stderr together.
inline std::string RunCommand(const std::string& command, int* exit_code = nullptr) {
  std::string output;
  FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) {
    if (exit_code != nullptr) *exit_code = -1;
    return output;
  }
  char chunk[4096];
  size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0) output.append(chunk, n);
  int status = ::pclose(pipe);
  if (exit_code != nullptr) *exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return output;
}

inline std::string ShellQuote(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

struct ProbeResult {
  bool ok = false;                  // ffprobe exited 0 and reported no error
  std::string errors;               // anything ffprobe printed besides the fields asked for
  std::vector<std::string> codecs;  // codec_name of each stream, in file order
  double duration = -1;             // seconds; -1 when ffprobe gave none
};

inline ProbeResult ProbeFile(const std::string& path) {
  ProbeResult result;
  int code = -1;
  std::string out =
      RunCommand("ffprobe -v error -show_entries stream=codec_name:format=duration -of flat " +
                     ShellQuote(path),
                 &code);
  size_t at = 0;
  while (at < out.size()) {
    size_t end = out.find('\n', at);
    if (end == std::string::npos) end = out.size();
    std::string line = out.substr(at, end - at);
    at = end + 1;
    // Flat output names each field by its path; a program's copy of a stream
    // (programs.program.N.streams...) is not counted twice.
    size_t eq = line.find('=');
    std::string key = line.substr(0, eq);
    std::string value = eq == std::string::npos ? "" : line.substr(eq + 1);
    if (value.size() >= 2 && value.front() == '"') value = value.substr(1, value.size() - 2);
    if (key.rfind("streams.stream.", 0) == 0 && key.find(".codec_name") != std::string::npos) {
      result.codecs.push_back(value);
    } else if (key.rfind("programs.", 0) == 0) {
    } else if (key == "format.duration") {
      result.duration = value == "N/A" ? -1 : std::atof(value.c_str());
    } else if (!line.empty()) {
      result.errors += line + "\n";
    }
  }
  result.ok = code == 0 && result.errors.empty();
  return result;
}

// Decodes every stream of the file; empty when ffmpeg decoded it all without
// a complaint, else ffmpeg's messages.
inline std::string DecodeErrors(const std::string& path) {
  int code = -1;
  std::string out =
      RunCommand("ffmpeg -nostdin -v error -i " + ShellQuote(path) + " -f null -", &code);
  if (code != 0 && out.empty()) out = "ffmpeg exited with " + std::to_string(code);
  return out;
}

}  // namespace kvr_test

#endif  // KVR_TESTS_MEDIA_MEDIA_PROBE_H_
