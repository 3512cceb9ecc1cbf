// What FFmpeg's own tools make of a media file, for tests that check record
// files: streams, codecs and duration from ffprobe and, where asked, every
// frame decoded by ffmpeg, so "the file plays" is checked by the decoders, not
// only by the demuxer. Header-only, for test programs only.
#ifndef KVR_TESTS_MEDIA_MEDIA_PROBE_H_
#define KVR_TESTS_MEDIA_MEDIA_PROBE_H_

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "tests/test_util.h"

namespace kvr_test {

// Expects ffprobe to read the file without a complaint and find streams of
// `codecs` in that order, and with `decode` ffmpeg to decode every frame of
// it without one; gives its duration in seconds (-1 when none). The path
// holds no quotes (a scratch file).
inline double ExpectPlays(const std::string& path, const std::vector<std::string>& codecs,
                          bool decode = false) {
  const Outcome probe = RunCommand(
      "ffprobe -v error -show_entries stream=codec_name:format=duration -of flat '" + path + "'");
  std::istringstream out(probe.out);
  std::string errors = probe.err;
  std::vector<std::string> found;
  double duration = -1;
  // Flat output names each field by its path, quoted; the copies of the
  // streams listed under their program are not counted twice.
  for (std::string line; std::getline(out, line);) {
    const size_t eq = line.find('=');
    const std::string key = line.substr(0, eq), value = line.substr(std::min(eq + 1, line.size()));
    if (key.rfind("streams.stream.", 0) == 0 && value.size() >= 2) {
      found.push_back(value.substr(1, value.size() - 2));
    } else if (key == "format.duration" && !value.empty()) {
      duration = std::atof(value.c_str() + 1);
    } else if (key.rfind("programs.", 0) != 0) {
      errors += line + "\n";
    }
  }
  EXPECT_EQ(probe.exitCode, 0);
  EXPECT_EQ(errors, "");
  EXPECT_EQ(found, codecs);
  if (decode) {
    const Outcome decoded = RunCommand("ffmpeg -nostdin -v error -i '" + path + "' -f null -");
    EXPECT_EQ(decoded.out + decoded.err, "");
    EXPECT_EQ(decoded.exitCode, 0);
  }
  return duration;
}

}  // namespace kvr_test

#endif  // KVR_TESTS_MEDIA_MEDIA_PROBE_H_
