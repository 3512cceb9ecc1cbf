// Feeds arbitrary bytes to the session description parser and printer.
//
// A description that parses and prints must parse again from what was
// printed and print the same text: printing normalises once and is then
// stable, so nothing the printer writes is misread by the parser.
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
  if (sdp.Print(&printed).IsError()) return 0;
  Check(!printed.empty(), "a printed description has text");
  CQwSdp again;
  SDPErrors reparse = again.Parse(printed.data(), static_cast<int>(printed.size()));
  if (reparse.IsError()) {
    std::fprintf(stderr, "%s", reparse.ToString().c_str());
    Check(false, "printed description parses");
  }
  Check(again.MediaCount() == sdp.MediaCount(), "media sections survive printing");
  std::string twice;
  Check(!again.Print(&twice).IsError(), "printed description prints");
  Check(twice == printed, "printing is stable");
  return 0;
}
