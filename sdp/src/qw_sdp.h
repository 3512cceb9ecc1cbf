// A session description: the session-level fields and its media sections.
//
// The HTTP/RTSP message stack parses an "application/sdp" body into one and
// prints an attached one into a response body. Parse fills the session from
// the lines up to the first "m=", then one CSDPMedia per "m=" section, in
// order; Print gives the session's lines followed by every section's. Where
// the session has one field for a kind of line (connection, bandwidth, time,
// the texts), the first such line fills it and every line still prints.
// A CQwSdp owns its media sections; one thread at a time.
#ifndef KVR_SDP_SRC_QW_SDP_H_
#define KVR_SDP_SRC_QW_SDP_H_

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "sdp/src/qw_sdp_base.h"
#include "sdp/src/sdp_media.h"

class CQwSdp : public CQwSdpBase {
 public:
  CQwSdp() : CQwSdpBase(kSessionLevel) {}
  ~CQwSdp() override;

  // Makes a media section with its "m=" line and appends it; `*media` (when
  // given) points to it. 104 when the values do not make a valid media line.
  virtual SDPErrors AddMedia(CSDPMedia** media, int media_type, int port,
                             std::string_view transport, std::string_view formats);
  // Replaces the description with the one in `text` (`length` bytes, 0: up
  // to the NUL). 98 without text; 45 when a media section fails to parse;
  // otherwise the error of the session lines (6 for a line without "=", 7
  // without a "v=" line, 8 for a version that is not a number).
  virtual SDPErrors Parse(const char* text, int length);
  // Prints the session lines, then each media section's.
  virtual SDPErrors Print(std::string* text);
  // The media section at `index` (0 first), or null.
  virtual CSDPMedia* GetMedia(int index) const;
  int MediaCount() const { return static_cast<int>(media_.size()); }

  int Version() const { return version_; }
  CSDPOrigin& Origin() { return origin_; }
  const char* SessionName() const { return sessionName_; }
  const char* Information() const { return information_; }
  const char* Uri() const { return uri_; }
  const char* Email() const { return email_; }
  const char* Phone() const { return phone_; }
  CSDPConnection& Connection() { return connection_; }
  CSDPBandwidth& Bandwidth() { return bandwidth_; }
  CSDPTime& Time() { return time_; }

  void SetVersion(int version) { version_ = version; }
  // Each text is trimmed of blanks and line ends and cut to its field;
  // returns whether it fitted.
  bool SetSessionName(std::string_view text) { return CopySdpText(sessionName_, text); }
  bool SetInformation(std::string_view text) { return CopySdpText(information_, text); }
  bool SetUri(std::string_view text) { return CopySdpText(uri_, text); }
  bool SetEmail(std::string_view text) { return CopySdpText(email_, text); }
  bool SetPhone(std::string_view text) { return CopySdpText(phone_, text); }

 protected:
  SDPErrors OnItem(CSDPGenerDescribe* item) override;
  std::vector<Field> Fields() override;
  int Rank(const CSDPGenerDescribe& item) const override;
  void ClearFields() override;

 private:
  int version_ = 0;
  CSDPOrigin origin_;
  char sessionName_[kSdpTextSize] = {};
  char information_[kSdpTextSize] = {};
  char uri_[kSdpTextSize] = {};
  char email_[kSdpTextSize] = {};
  char phone_[kSdpTextSize] = {};
  CSDPConnection connection_;
  CSDPBandwidth bandwidth_;
  CSDPTime time_;
  std::vector<std::unique_ptr<CSDPMedia>> media_;
  // The parsed lines the version and the texts (session name, information,
  // URI, e-mail, phone) were filed from.
  CSDPGenerDescribe* versionLine_ = nullptr;
  CSDPGenerDescribe* textLines_[5] = {};
  // The lines of the current print for fields changed or set without one.
  std::vector<CSDPGenerDescribe> printLines_;
};

#endif  // KVR_SDP_SRC_QW_SDP_H_
