// Feeds arbitrary bytes to the session description parser and printer.
//
// A description that parses must print every one of its lines, in order,
// parse again from what was printed into the same lines and print the same
// text: nothing is dropped or cut, and nothing the printer writes is
// misread by the parser.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "sdp/src/qw_sdp.h"

namespace {

void Check(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
  }
}

void CheckFields(const CQwSdpBase& level) {
  for (const auto& item : level.Items()) {
    Check(std::strlen(item->Name()) < kSdpNameSize, "name within its field");
    Check(std::strlen(item->Value()) < kSdpValueSize, "value within its field");
    Check(std::strlen(item->Extra()) < kSdpExtraSize, "extra within its field");
  }
}

// Every line of each level appears in `printed`, in order, from `*at` on.
void CheckLinesKept(const CQwSdpBase& level, const std::string& printed, size_t* at) {
  for (const auto& item : level.Items()) {
    std::string line = std::string(1, item->Type()) + "=" + item->Content();
    size_t found = printed.find(line, *at);
    Check(found != std::string::npos, "every line prints, in order");
    *at = found + line.size();
  }
}

// The same lines, level by level.
void CheckSameLines(const CQwSdpBase& one, const CQwSdpBase& other) {
  Check(one.Items().size() == other.Items().size(), "a reparse gives as many lines");
  for (size_t i = 0; i < one.Items().size(); ++i) {
    Check(one.Items()[i]->Type() == other.Items()[i]->Type() &&
              one.Items()[i]->Content() == other.Items()[i]->Content(),
          "a reparse gives the same lines");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0 || size > (1u << 16)) return 0;
  const char* text = reinterpret_cast<const char*>(data);

  CQwSdp sdp;
  SDPErrors error = sdp.Parse(text, static_cast<int>(size));
  Check(error.Code() >= 0 && error.Code() < SDPErrors::Count(), "error code in the catalogue");
  Check(!error.ToString().empty(), "error prints");
  if (error.IsError()) return 0;

  Check(sdp.Consumed() >= 0 && static_cast<size_t>(sdp.Consumed()) <= size,
        "session consumed within input");
  size_t consumed = static_cast<size_t>(sdp.Consumed());
  CheckFields(sdp);
  Check(std::strlen(sdp.SessionName()) < kSdpTextSize, "session name within its field");
  for (int i = 0; i < sdp.MediaCount(); ++i) {
    CSDPMedia* media = sdp.GetMedia(i);
    Check(media->Consumed() > 0, "a kept media section took bytes");
    consumed += static_cast<size_t>(media->Consumed());
    CheckFields(*media);
  }
  Check(consumed <= size, "all sections within input");

  std::string printed;
  // A parsed description always prints: its lines print as received.
  Check(!sdp.Print(&printed).IsError(), "a parsed description prints");
  Check(!printed.empty(), "a printed description has text");
  size_t at = 0;
  CheckLinesKept(sdp, printed, &at);
  for (int i = 0; i < sdp.MediaCount(); ++i) CheckLinesKept(*sdp.GetMedia(i), printed, &at);
  CQwSdp again;
  SDPErrors reparse = again.Parse(printed.data(), static_cast<int>(printed.size()));
  if (reparse.IsError()) {
    std::fprintf(stderr, "%s", reparse.ToString().c_str());
    Check(false, "printed description parses");
  }
  Check(again.MediaCount() == sdp.MediaCount(), "media sections survive printing");
  CheckSameLines(sdp, again);
  for (int i = 0; i < sdp.MediaCount(); ++i) CheckSameLines(*sdp.GetMedia(i), *again.GetMedia(i));
  std::string twice;
  Check(!again.Print(&twice).IsError(), "printed description prints");
  Check(twice == printed, "printing is stable");
  return 0;
}
