// The lines of a session description.
//
// CSDPGenerDescribe is one line as parsed: its type letter, and the text
// after "=" split into a name (before a ":" at line position 4 or later,
// such as "rtpmap"), an extra part (before a ";" that follows the name) and
// the value (the rest, line end included). Every field has a fixed width;
// longer texts are cut to fit.
//
// The typed items add the fields of one kind of line (origin, connection,
// bandwidth, time, media line, rtpmap and fmtp attributes). A typed item is
// filled from a parsed line in its standard form (filing reads the whole text
// after "=", so an IPv6 address or a ";" inside fmtp parameters stays whole),
// or through its setters. A parsed line prints exactly as it was received
// until a setter changes it, so a line whose typed form cannot hold it (an
// fmtp line longer than its field, an attribute without a name, a line in
// a form the fields do not keep) is never cut or reshaped; a changed or
// built item prints from its fields.
//
// Items belong to the description that holds them; one thread at a time.
#ifndef KVR_SDP_SRC_SDP_ITEMS_H_
#define KVR_SDP_SRC_SDP_ITEMS_H_

#include <cstdint>
#include <string>
#include <string_view>

// Widths of the fixed fields, terminating NUL included.
inline constexpr int kSdpNameSize = 129;
inline constexpr int kSdpValueSize = 2049;
inline constexpr int kSdpExtraSize = 129;
inline constexpr int kSdpTextSize = 129;

// Copies `text` into a fixed field, cut to size - 1 bytes and NUL-terminated.
// Returns whether it fitted whole.
bool CopySdpField(char* field, int size, std::string_view text);
template <int N>
bool CopySdpField(char (&field)[N], std::string_view text) {
  return CopySdpField(field, N, text);
}
// The same for free text: blanks and line ends are trimmed off both ends,
// before and after the cut.
bool CopySdpText(char* field, int size, std::string_view text);
template <int N>
bool CopySdpText(char (&field)[N], std::string_view text) {
  return CopySdpText(field, N, text);
}

class CSDPGenerDescribe {
 public:
  CSDPGenerDescribe() = default;
  explicit CSDPGenerDescribe(char type) : type_(type) {}
  virtual ~CSDPGenerDescribe() = default;
  CSDPGenerDescribe(const CSDPGenerDescribe&) = default;
  CSDPGenerDescribe& operator=(const CSDPGenerDescribe&) = default;

  // The printed line: as received for a parsed line; else type, "=", name
  // and ":" (when there is a name), extra and ";" (when there is an extra
  // part), the value, and a CR LF when the value does not end a line. A
  // built attribute without a name prints nothing.
  virtual const std::string& ToText();
  // A value, and a name when it is an attribute.
  virtual bool IsValid() const;

  // Takes the generic fields of a parsed line (typed items then fill their
  // own fields from it).
  virtual void File(const CSDPGenerDescribe& line);

  char Type() const { return type_; }
  const char* Name() const { return name_; }
  const char* Value() const { return value_; }
  const char* Extra() const { return extra_; }
  // The text after "=" as received, without the line end.
  const std::string& Content() const { return content_; }
  // The whole line as received, line end included; empty once a setter has
  // changed the item.
  const std::string& Received() const { return received_; }

  void SetType(char type) { type_ = type; }
  // Each returns whether the text fitted whole (it is cut otherwise).
  bool SetName(std::string_view name) {
    received_.clear();
    return CopySdpField(name_, name);
  }
  bool SetValue(std::string_view value) {
    received_.clear();
    return CopySdpField(value_, value);
  }
  bool SetExtra(std::string_view extra) {
    received_.clear();
    return CopySdpField(extra_, extra);
  }
  // The received line (line end included) and the text after its "=".
  void SetReceived(std::string_view line, std::string_view content) {
    received_.assign(line);
    content_.assign(content);
  }

 protected:
  // Builds text_ from the generic fields.
  const std::string& PrintGeneric();
  // Builds text_ from the received line; false when there is none.
  bool PrintReceived();
  void ClearGeneric();

  std::string text_;

 private:
  char type_ = 0;
  char name_[kSdpNameSize] = {};
  char value_[kSdpValueSize] = {};
  char extra_[kSdpExtraSize] = {};
  std::string content_;
  std::string received_;
};

// Shared by the typed items: filing parses the received text, printing
// rebuilds the line from the fields.
class CSDPTypedDescribe : public CSDPGenerDescribe {
 public:
  using CSDPGenerDescribe::CSDPGenerDescribe;

  const std::string& ToText() override;
  void File(const CSDPGenerDescribe& line) override;

  // Whether the item was filed or set since it was made.
  bool IsPresent() const { return present_; }
  // The parsed line this item was filed from, or null; it keeps the item's
  // place when the description prints.
  const CSDPGenerDescribe* Source() const { return source_; }

 protected:
  // Fills the fields from the text after "=" (no line end).
  virtual void ParseContent(std::string_view content) = 0;
  // Sets name, extra and value (without line end) from the fields.
  virtual void BuildGeneric() = 0;
  // Setters call this: the received line no longer stands for the item.
  void Touch();

 private:
  bool present_ = false;
  const CSDPGenerDescribe* source_ = nullptr;
};

// "o=": user name, session id, version, network type, address type, address.
class CSDPOrigin : public CSDPTypedDescribe {
 public:
  CSDPOrigin() : CSDPTypedDescribe('o') {}
  bool IsValid() const override;

  const char* UserName() const { return userName_; }
  const char* SessionId() const { return sessionId_; }
  const char* Version() const { return version_; }
  const char* NetworkType() const { return networkType_; }
  const char* AddressType() const { return addressType_; }
  const char* Address() const { return address_; }
  void Set(std::string_view user_name, std::string_view session_id, std::string_view version,
           std::string_view network_type, std::string_view address_type, std::string_view address);

 protected:
  void ParseContent(std::string_view content) override;
  void BuildGeneric() override;

 private:
  char userName_[kSdpTextSize] = {};
  char sessionId_[kSdpTextSize] = {};
  char version_[kSdpTextSize] = {};
  char networkType_[kSdpTextSize] = {};
  char addressType_[kSdpTextSize] = {};
  char address_[kSdpTextSize] = {};
};

// "c=": network type, address type, address.
class CSDPConnection : public CSDPTypedDescribe {
 public:
  CSDPConnection() : CSDPTypedDescribe('c') {}
  bool IsValid() const override;

  const char* NetworkType() const { return networkType_; }
  const char* AddressType() const { return addressType_; }
  const char* Address() const { return address_; }
  void Set(std::string_view network_type, std::string_view address_type, std::string_view address);

 protected:
  void ParseContent(std::string_view content) override;
  void BuildGeneric() override;

 private:
  char networkType_[kSdpTextSize] = {};
  char addressType_[kSdpTextSize] = {};
  char address_[kSdpTextSize] = {};
};

// "b=<modifier>:<kbit/s>".
class CSDPBandwidth : public CSDPTypedDescribe {
 public:
  CSDPBandwidth() : CSDPTypedDescribe('b') {}
  bool IsValid() const override;

  const char* Modifier() const { return modifier_; }
  int ValueKbps() const { return valueKbps_; }
  void Set(std::string_view modifier, int value_kbps);

 protected:
  void ParseContent(std::string_view content) override;
  void BuildGeneric() override;

 private:
  char modifier_[kSdpTextSize] = {};
  int valueKbps_ = 0;
};

// "t=<start> <stop>" (NTP seconds; 0 0 for an unbounded session).
class CSDPTime : public CSDPTypedDescribe {
 public:
  CSDPTime() : CSDPTypedDescribe('t') {}
  bool IsValid() const override;

  int64_t Start() const { return start_; }
  int64_t Stop() const { return stop_; }
  void Set(int64_t start, int64_t stop);

 protected:
  void ParseContent(std::string_view content) override;
  void BuildGeneric() override;

 private:
  int64_t start_ = 0;
  int64_t stop_ = 0;
};

// "m=<media> <port> <transport> <formats>".
class CSDPMediaType : public CSDPTypedDescribe {
 public:
  enum MediaKind : int {
    kUndefined = 0,
    kVideo = 1,
    kAudio = 2,
    kApplication = 3,
    kData = 4,
    kControl = 5,
  };
  // The media names by kind, "undefined" to "control" (kind 3 is spelt
  // "applicattion"); "undefined" for a kind out of range.
  static const char* MediaName(int kind);

  CSDPMediaType() : CSDPTypedDescribe('m') {}
  bool IsValid() const override;

  int MediaType() const { return mediaType_; }
  int Port() const { return port_; }
  const char* Transport() const { return transport_; }
  const char* Formats() const { return formats_; }
  void Set(int media_type, int port, std::string_view transport, std::string_view formats);

 protected:
  void ParseContent(std::string_view content) override;
  void BuildGeneric() override;

 private:
  int mediaType_ = kUndefined;
  int port_ = 0;
  char transport_[kSdpTextSize] = {};
  char formats_[kSdpTextSize] = {};
};

// "a=rtpmap:<payload type> <encoding name>/<clock rate>[/<parameters>]".
class CSDPRtpMapAttribute : public CSDPTypedDescribe {
 public:
  CSDPRtpMapAttribute();
  bool IsValid() const override;

  int PayloadType() const { return payloadType_; }
  const char* EncodingName() const { return encodingName_; }
  int ClockRate() const { return clockRate_; }
  int EncodingParameters() const { return encodingParameters_; }
  void Set(int payload_type, std::string_view encoding_name, int clock_rate,
           int encoding_parameters = 0);

 protected:
  void ParseContent(std::string_view content) override;
  void BuildGeneric() override;

 private:
  int payloadType_ = -1;
  char encodingName_[kSdpTextSize] = {};
  int clockRate_ = 0;
  int encodingParameters_ = 0;
};

// "a=fmtp:<format> <parameters>".
class CSDPFmtpAttribute : public CSDPTypedDescribe {
 public:
  CSDPFmtpAttribute();
  bool IsValid() const override;

  const char* Format() const { return format_; }
  const char* Parameters() const { return parameters_; }
  void Set(std::string_view format, std::string_view parameters);

 protected:
  void ParseContent(std::string_view content) override;
  void BuildGeneric() override;

 private:
  char format_[kSdpTextSize] = {};
  char parameters_[kSdpTextSize] = {};
};

#endif  // KVR_SDP_SRC_SDP_ITEMS_H_
