// One media section of a session description: its "m=" line, information,
// connection, bandwidth, and its rtpmap and fmtp attributes (every one of
// them, in order), plus the other lines of the section as parsed.
//
// Parsed lines print in their order; the first information, connection and
// bandwidth lines fill those fields. A section belongs to its CQwSdp; one
// thread at a time.
#ifndef KVR_SDP_SRC_SDP_MEDIA_H_
#define KVR_SDP_SRC_SDP_MEDIA_H_

#include <string_view>
#include <vector>

#include "sdp/src/qw_sdp_base.h"

class CSDPMedia : public CQwSdpBase {
 public:
  CSDPMedia() : CQwSdpBase(kMediaLevel) {}
  ~CSDPMedia() override;

  CSDPMediaType& MediaLine() { return mediaLine_; }
  const char* Information() const { return information_; }
  bool SetInformation(std::string_view text) { return CopySdpText(information_, text); }
  CSDPConnection& Connection() { return connection_; }
  CSDPBandwidth& Bandwidth() { return bandwidth_; }

  const std::vector<CSDPRtpMapAttribute>& RtpMaps() const { return rtpmaps_; }
  const std::vector<CSDPFmtpAttribute>& Fmtps() const { return fmtps_; }
  // The rtpmap of a payload type, or null.
  const CSDPRtpMapAttribute* FindRtpMap(int payload_type) const;
  CSDPRtpMapAttribute& AddRtpMap(int payload_type, std::string_view encoding_name, int clock_rate,
                                 int encoding_parameters = 0);
  CSDPFmtpAttribute& AddFmtp(std::string_view format, std::string_view parameters);

 protected:
  SDPErrors OnItem(CSDPGenerDescribe* item) override;
  std::vector<Field> Fields() override;
  int Rank(const CSDPGenerDescribe& item) const override;
  void ClearFields() override;

 private:
  CSDPMediaType mediaLine_;
  char information_[kSdpTextSize] = {};
  CSDPConnection connection_;
  CSDPBandwidth bandwidth_;
  std::vector<CSDPRtpMapAttribute> rtpmaps_;
  std::vector<CSDPFmtpAttribute> fmtps_;
  // The parsed information line, and the one printed when the field changed.
  CSDPGenerDescribe* informationSource_ = nullptr;
  CSDPGenerDescribe informationLine_{'i'};
};

#endif  // KVR_SDP_SRC_SDP_MEDIA_H_
