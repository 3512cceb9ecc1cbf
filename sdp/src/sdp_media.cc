#include "sdp/src/sdp_media.h"

#include <cstring>

namespace {

bool IsAttribute(const CSDPGenerDescribe& item, const char* name) {
  return item.Type() == 'a' && std::strcmp(item.Name(), name) == 0;
}

}  // namespace

CSDPMedia::~CSDPMedia() = default;

void CSDPMedia::ClearFields() {
  media_line_ = CSDPMediaType();
  information_[0] = '\0';
  connection_ = CSDPConnection();
  bandwidth_ = CSDPBandwidth();
  rtpmaps_.clear();
  fmtps_.clear();
}

SDPErrors CSDPMedia::OnItem(CSDPGenerDescribe* item) {
  if (item == nullptr) return KVR_SDP_ERROR(kSdpErrParameter);
  switch (item->Type()) {
    case 'm':
      media_line_.File(*item);
      break;
    case 'i':
      CopySdpText(information_, item->Content());
      break;
    case 'c':
      connection_.File(*item);
      break;
    case 'b':
      bandwidth_.File(*item);
      break;
    case 'a':
      if (IsAttribute(*item, "rtpmap")) {
        rtpmaps_.emplace_back().File(*item);
      } else if (IsAttribute(*item, "fmtp")) {
        fmtps_.emplace_back().File(*item);
      }
      break;
    default:
      break;
  }
  return SDPErrors();
}

bool CSDPMedia::IsTyped(const CSDPGenerDescribe& item) const {
  switch (item.Type()) {
    case 'm':
    case 'i':
    case 'c':
    case 'b':
      return true;
    case 'a':
      return IsAttribute(item, "rtpmap") || IsAttribute(item, "fmtp");
    default:
      return false;
  }
}

std::vector<CSDPGenerDescribe*> CSDPMedia::PrintList() {
  std::vector<CSDPGenerDescribe*> list{&media_line_};
  if (information_[0] != '\0') {
    information_line_.SetValue(information_);
    list.push_back(&information_line_);
  }
  if (connection_.IsPresent()) list.push_back(&connection_);
  if (bandwidth_.IsPresent()) list.push_back(&bandwidth_);
  for (auto& rtpmap : rtpmaps_) list.push_back(&rtpmap);
  for (auto& fmtp : fmtps_) list.push_back(&fmtp);
  for (CSDPGenerDescribe* item : UntypedItems()) list.push_back(item);
  return list;
}

const CSDPRtpMapAttribute* CSDPMedia::FindRtpMap(int payload_type) const {
  for (const auto& rtpmap : rtpmaps_) {
    if (rtpmap.PayloadType() == payload_type) return &rtpmap;
  }
  return nullptr;
}

CSDPRtpMapAttribute& CSDPMedia::AddRtpMap(int payload_type, std::string_view encoding_name,
                                          int clock_rate, int encoding_parameters) {
  CSDPRtpMapAttribute& rtpmap = rtpmaps_.emplace_back();
  rtpmap.Set(payload_type, encoding_name, clock_rate, encoding_parameters);
  return rtpmap;
}

CSDPFmtpAttribute& CSDPMedia::AddFmtp(std::string_view format, std::string_view parameters) {
  CSDPFmtpAttribute& fmtp = fmtps_.emplace_back();
  fmtp.Set(format, parameters);
  return fmtp;
}
