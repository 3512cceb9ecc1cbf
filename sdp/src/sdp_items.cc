#include "sdp/src/sdp_items.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <vector>

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

bool IsSeparator(char c, bool slash) {
  return IsBlank(c) || c == '\r' || c == '\n' || (slash && c == '/');
}

std::vector<std::string_view> Tokens(std::string_view text, bool slash = false) {
  std::vector<std::string_view> tokens;
  size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && IsSeparator(text[i], slash)) ++i;
    size_t start = i;
    while (i < text.size() && !IsSeparator(text[i], slash)) ++i;
    if (i > start) tokens.push_back(text.substr(start, i - start));
  }
  return tokens;
}

std::string_view Token(const std::vector<std::string_view>& tokens, size_t index) {
  return index < tokens.size() ? tokens[index] : std::string_view();
}

std::string_view TrimBlanks(std::string_view s) {
  while (!s.empty() && IsSeparator(s.front(), false)) s.remove_prefix(1);
  while (!s.empty() && IsSeparator(s.back(), false)) s.remove_suffix(1);
  return s;
}

// Decimal with an optional sign; stops at the first other character and
// saturates at the int64 range. No digits: 0.
int64_t ParseInt64(std::string_view s) {
  s = TrimBlanks(s);
  size_t i = 0;
  bool negative = false;
  if (i < s.size() && (s[i] == '-' || s[i] == '+')) negative = s[i++] == '-';
  uint64_t value = 0;
  const uint64_t limit = negative ? static_cast<uint64_t>(INT64_MAX) + 1 : INT64_MAX;
  for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) {
    uint64_t digit = static_cast<uint64_t>(s[i] - '0');
    if (value > (limit - digit) / 10) {
      value = limit;
      break;
    }
    value = value * 10 + digit;
  }
  if (!negative) return static_cast<int64_t>(value);
  return value == static_cast<uint64_t>(INT64_MAX) + 1 ? INT64_MIN : -static_cast<int64_t>(value);
}

int ParseInt(std::string_view s) {
  return static_cast<int>(std::clamp<int64_t>(ParseInt64(s), INT_MIN, INT_MAX));
}

// The text after an attribute's "<name>:".
std::string_view AfterName(std::string_view content) {
  size_t colon = content.find(':', 2);
  return colon == std::string_view::npos ? content : content.substr(colon + 1);
}

bool Filled(const char* field) { return field[0] != '\0'; }

}  // namespace

bool CopySdpText(char* field, int size, std::string_view text) {
  text = TrimBlanks(text);
  bool whole = CopySdpField(field, size, text);
  // A cut may end at a blank, which would not survive the next parse.
  size_t n = std::strlen(field);
  while (n > 0 && IsSeparator(field[n - 1], false)) field[--n] = '\0';
  return whole;
}

bool CopySdpField(char* field, int size, std::string_view text) {
  if (field == nullptr || size < 1) return false;
  size_t room = static_cast<size_t>(size - 1);
  size_t n = std::min(room, text.size());
  if (n > 0) std::memcpy(field, text.data(), n);  // an empty view may have no data at all
  field[n] = '\0';
  return n == text.size();
}

// --- CSDPGenerDescribe ---------------------------------------------------

const std::string& CSDPGenerDescribe::PrintGeneric() {
  text_.clear();
  if (type_ == 'a' && name_[0] == '\0') return text_;
  text_.push_back(type_);
  text_.push_back('=');
  if (name_[0] != '\0') text_.append(name_).push_back(':');
  if (extra_[0] != '\0') text_.append(extra_).push_back(';');
  text_.append(value_);
  // A value cut to its field, or the last line of a text, has no line end of its own.
  if (text_.back() != '\n' && text_.back() != '\r') text_.append("\r\n");
  return text_;
}

bool CSDPGenerDescribe::PrintReceived() {
  if (received_.empty()) return false;
  text_ = received_;
  // The last line of a text may have come without a line end.
  if (text_.back() != '\n' && text_.back() != '\r') text_.append("\r\n");
  return true;
}

const std::string& CSDPGenerDescribe::ToText() {
  if (PrintReceived()) return text_;
  return PrintGeneric();
}

bool CSDPGenerDescribe::IsValid() const {
  return value_[0] != '\0' && !(type_ == 'a' && name_[0] == '\0');
}

void CSDPGenerDescribe::File(const CSDPGenerDescribe& line) {
  type_ = line.type_;
  std::memcpy(name_, line.name_, sizeof(name_));
  std::memcpy(value_, line.value_, sizeof(value_));
  std::memcpy(extra_, line.extra_, sizeof(extra_));
  content_ = line.content_;
  received_ = line.received_;
}

void CSDPGenerDescribe::ClearGeneric() {
  value_[0] = '\0';
  extra_[0] = '\0';
  received_.clear();
}

// --- CSDPTypedDescribe ---------------------------------------------------

const std::string& CSDPTypedDescribe::ToText() {
  if (PrintReceived()) return text_;
  if (IsValid()) {
    BuildGeneric();
    return PrintGeneric();
  }
  // Fields that do not make a valid line: what is left of a line added by
  // hand stands for them; without one there is nothing to print.
  if (Value()[0] != '\0') return PrintGeneric();
  text_.clear();
  return text_;
}

void CSDPTypedDescribe::File(const CSDPGenerDescribe& line) {
  char type = Type();
  CSDPGenerDescribe::File(line);
  SetType(type);
  present_ = true;
  source_ = &line;
  ParseContent(Content());
}

void CSDPTypedDescribe::Touch() {
  present_ = true;
  ClearGeneric();
}

// --- CSDPOrigin ------------------------------------------------------------

bool CSDPOrigin::IsValid() const {
  return Filled(userName_) && Filled(sessionId_) && Filled(version_) && Filled(networkType_) &&
         Filled(addressType_) && Filled(address_);
}

void CSDPOrigin::Set(std::string_view user_name, std::string_view session_id,
                     std::string_view version, std::string_view network_type,
                     std::string_view address_type, std::string_view address) {
  Touch();
  CopySdpField(userName_, user_name);
  CopySdpField(sessionId_, session_id);
  CopySdpField(version_, version);
  CopySdpField(networkType_, network_type);
  CopySdpField(addressType_, address_type);
  CopySdpField(address_, address);
}

void CSDPOrigin::ParseContent(std::string_view content) {
  auto tokens = Tokens(content);
  CopySdpField(userName_, Token(tokens, 0));
  CopySdpField(sessionId_, Token(tokens, 1));
  CopySdpField(version_, Token(tokens, 2));
  CopySdpField(networkType_, Token(tokens, 3));
  CopySdpField(addressType_, Token(tokens, 4));
  CopySdpField(address_, Token(tokens, 5));
}

void CSDPOrigin::BuildGeneric() {
  SetName("");
  SetExtra("");
  std::string value;
  for (const char* field :
       {userName_, sessionId_, version_, networkType_, addressType_, address_}) {
    if (!value.empty()) value.push_back(' ');
    value.append(field);
  }
  SetValue(value);
}

// --- CSDPConnection --------------------------------------------------------

bool CSDPConnection::IsValid() const {
  return Filled(networkType_) && Filled(addressType_) && Filled(address_);
}

void CSDPConnection::Set(std::string_view network_type, std::string_view address_type,
                         std::string_view address) {
  Touch();
  CopySdpField(networkType_, network_type);
  CopySdpField(addressType_, address_type);
  CopySdpField(address_, address);
}

void CSDPConnection::ParseContent(std::string_view content) {
  auto tokens = Tokens(content);
  CopySdpField(networkType_, Token(tokens, 0));
  CopySdpField(addressType_, Token(tokens, 1));
  CopySdpField(address_, Token(tokens, 2));
}

void CSDPConnection::BuildGeneric() {
  SetName("");
  SetExtra("");
  SetValue(std::string(networkType_) + ' ' + addressType_ + ' ' + address_);
}

// --- CSDPBandwidth ---------------------------------------------------------

bool CSDPBandwidth::IsValid() const { return Filled(modifier_) && valueKbps_ != 0; }

void CSDPBandwidth::Set(std::string_view modifier, int value_kbps) {
  Touch();
  // The modifier ends at the ":" on the wire.
  CopySdpText(modifier_, modifier.substr(0, modifier.find(':')));
  valueKbps_ = value_kbps;
}

void CSDPBandwidth::ParseContent(std::string_view content) {
  size_t colon = content.find(':');
  if (colon != std::string_view::npos) {
    CopySdpText(modifier_, content.substr(0, colon));
    valueKbps_ = ParseInt(content.substr(colon + 1));
  } else {
    auto tokens = Tokens(content);
    CopySdpField(modifier_, Token(tokens, 0));
    valueKbps_ = ParseInt(Token(tokens, 1));
  }
}

void CSDPBandwidth::BuildGeneric() {
  SetName(modifier_);
  SetExtra("");
  SetValue(std::to_string(valueKbps_));
}

// --- CSDPTime --------------------------------------------------------------

bool CSDPTime::IsValid() const { return start_ >= 0 && stop_ >= 0; }

void CSDPTime::Set(int64_t start, int64_t stop) {
  Touch();
  start_ = start;
  stop_ = stop;
}

void CSDPTime::ParseContent(std::string_view content) {
  auto tokens = Tokens(content);
  start_ = ParseInt64(Token(tokens, 0));
  stop_ = ParseInt64(Token(tokens, 1));
}

void CSDPTime::BuildGeneric() {
  SetName("");
  SetExtra("");
  SetValue(std::to_string(start_) + ' ' + std::to_string(stop_));
}

// --- CSDPMediaType ---------------------------------------------------------

namespace {
const char* const kMediaNames[] = {"undefined",    "video", "audio",
                                   "applicattion", "data",  "control"};
}  // namespace

const char* CSDPMediaType::MediaName(int kind) {
  return kind >= kUndefined && kind <= kControl ? kMediaNames[kind] : kMediaNames[kUndefined];
}

bool CSDPMediaType::IsValid() const {
  return mediaType_ > kUndefined && mediaType_ <= kControl && port_ >= 0 && Filled(transport_) &&
         Filled(formats_);
}

void CSDPMediaType::Set(int media_type, int port, std::string_view transport,
                        std::string_view formats) {
  Touch();
  mediaType_ = media_type;
  port_ = port;
  CopySdpField(transport_, transport);
  CopySdpText(formats_, formats);
}

void CSDPMediaType::ParseContent(std::string_view content) {
  for (int kind = kUndefined; kind <= kControl; ++kind) {
    if (content.find(kMediaNames[kind]) != std::string_view::npos) {
      mediaType_ = kind;
      break;
    }
  }
  auto tokens = Tokens(content);
  port_ = ParseInt(Token(tokens, 1));
  std::string_view transport = Token(tokens, 2);
  CopySdpField(transport_, transport);
  // The format list is the rest of the line.
  std::string_view formats;
  if (!transport.empty()) {
    size_t end = static_cast<size_t>(transport.data() + transport.size() - content.data());
    formats = TrimBlanks(content.substr(end));
  }
  CopySdpText(formats_, formats);
}

void CSDPMediaType::BuildGeneric() {
  SetName("");
  SetExtra("");
  SetValue(std::string(MediaName(mediaType_)) + ' ' + std::to_string(port_) + ' ' + transport_ +
           ' ' + formats_);
}

// --- CSDPRtpMapAttribute ---------------------------------------------------

CSDPRtpMapAttribute::CSDPRtpMapAttribute() : CSDPTypedDescribe('a') { SetName("rtpmap"); }

bool CSDPRtpMapAttribute::IsValid() const {
  return Type() == 'a' && std::strcmp(Name(), "rtpmap") == 0 && payloadType_ >= 0 &&
         Filled(encodingName_) && clockRate_ > 0;
}

void CSDPRtpMapAttribute::Set(int payload_type, std::string_view encoding_name, int clock_rate,
                              int encoding_parameters) {
  Touch();
  SetName("rtpmap");
  payloadType_ = payload_type;
  CopySdpField(encodingName_, encoding_name);
  clockRate_ = clock_rate;
  encodingParameters_ = encoding_parameters;
}

void CSDPRtpMapAttribute::ParseContent(std::string_view content) {
  auto tokens = Tokens(AfterName(content), true);
  std::string_view payload = Token(tokens, 0);
  payloadType_ = payload.empty() ? -1 : ParseInt(payload);
  CopySdpField(encodingName_, Token(tokens, 1));
  clockRate_ = ParseInt(Token(tokens, 2));
  encodingParameters_ = ParseInt(Token(tokens, 3));
}

void CSDPRtpMapAttribute::BuildGeneric() {
  SetName("rtpmap");
  SetExtra("");
  std::string value =
      std::to_string(payloadType_) + ' ' + encodingName_ + '/' + std::to_string(clockRate_);
  if (encodingParameters_ > 0) value += '/' + std::to_string(encodingParameters_);
  SetValue(value);
}

// --- CSDPFmtpAttribute -----------------------------------------------------

CSDPFmtpAttribute::CSDPFmtpAttribute() : CSDPTypedDescribe('a') { SetName("fmtp"); }

bool CSDPFmtpAttribute::IsValid() const {
  return Type() == 'a' && std::strcmp(Name(), "fmtp") == 0 && Filled(format_) &&
         Filled(parameters_);
}

void CSDPFmtpAttribute::Set(std::string_view format, std::string_view parameters) {
  Touch();
  SetName("fmtp");
  CopySdpField(format_, format);
  CopySdpText(parameters_, parameters);
}

void CSDPFmtpAttribute::ParseContent(std::string_view content) {
  std::string_view rest = TrimBlanks(AfterName(content));
  size_t blank = rest.find_first_of(" \t");
  std::string_view format = rest.substr(0, blank);
  std::string_view parameters =
      blank == std::string_view::npos ? std::string_view() : TrimBlanks(rest.substr(blank));
  CopySdpField(format_, format);
  CopySdpText(parameters_, parameters);
}

void CSDPFmtpAttribute::BuildGeneric() {
  SetName("fmtp");
  SetExtra("");
  SetValue(std::string(format_) + ' ' + parameters_);
}
