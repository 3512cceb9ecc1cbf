#include "sdp/src/sdp_media.h"

#include <cstring>

namespace {

constexpr char kMediaOrder[] = "micbka";

bool IsAttribute(const CSDPGenerDescribe& item, const char* name) {
  return item.Type() == 'a' && std::strcmp(item.Name(), name) == 0;
}

}  // namespace

CSDPMedia::~CSDPMedia() = default;

void CSDPMedia::ClearFields() {
  mediaLine_ = CSDPMediaType();
  information_[0] = '\0';
  connection_ = CSDPConnection();
  bandwidth_ = CSDPBandwidth();
  rtpmaps_.clear();
  fmtps_.clear();
  informationSource_ = nullptr;
}

SDPErrors CSDPMedia::OnItem(CSDPGenerDescribe* item) {
  if (item == nullptr) return KVR_SDP_ERROR(kSdpErrParameter);
  switch (item->Type()) {
    case 'm':
      if (!mediaLine_.IsPresent()) mediaLine_.File(*item);
      break;
    case 'i':
      if (informationSource_ == nullptr) {
        informationSource_ = item;
        CopySdpText(information_, item->Content());
      }
      break;
    case 'c':
      if (!connection_.IsPresent()) connection_.File(*item);
      break;
    case 'b':
      if (!bandwidth_.IsPresent()) bandwidth_.File(*item);
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

int CSDPMedia::Rank(const CSDPGenerDescribe& item) const {
  const char* order = std::strchr(kMediaOrder, item.Type());
  if (item.Type() == '\0' || order == nullptr) return sizeof(kMediaOrder) - 1;
  return static_cast<int>(order - kMediaOrder);
}

std::vector<CQwSdpBase::Field> CSDPMedia::Fields() {
  std::vector<Field> fields;
  if (mediaLine_.IsPresent()) fields.push_back({&mediaLine_, mediaLine_.Source(), 0});
  CSDPGenerDescribe* information = nullptr;
  if (informationSource_ != nullptr) {
    char filed[kSdpTextSize];
    CopySdpText(filed, informationSource_->Content());
    if (std::strcmp(filed, information_) == 0) information = informationSource_;
  }
  if (information == nullptr && information_[0] != '\0') {
    informationLine_.SetValue(information_);
    information = &informationLine_;
  }
  if (information != nullptr || informationSource_ != nullptr) {
    fields.push_back({information, informationSource_, 1});
  }
  if (connection_.IsPresent()) fields.push_back({&connection_, connection_.Source(), 2});
  if (bandwidth_.IsPresent()) fields.push_back({&bandwidth_, bandwidth_.Source(), 3});
  const int attribute_rank = Rank(CSDPGenerDescribe('a'));
  for (auto& rtpmap : rtpmaps_) fields.push_back({&rtpmap, rtpmap.Source(), attribute_rank});
  for (auto& fmtp : fmtps_) fields.push_back({&fmtp, fmtp.Source(), attribute_rank});
  return fields;
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
