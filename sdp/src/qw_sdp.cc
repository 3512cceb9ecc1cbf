#include "sdp/src/qw_sdp.h"

#include <cstring>

namespace {

// A version is a decimal number, blanks around it allowed.
bool ParseVersion(std::string_view content, int* version) {
  while (!content.empty() && (content.front() == ' ' || content.front() == '\t')) {
    content.remove_prefix(1);
  }
  while (!content.empty() && (content.back() == ' ' || content.back() == '\t')) {
    content.remove_suffix(1);
  }
  if (content.empty() || content.size() > 9 ||
      content.find_first_not_of("0123456789") != std::string_view::npos) {
    return false;
  }
  *version = std::stoi(std::string(content));
  return true;
}

// Whether a text field still holds what its line filed into it.
bool Unchanged(const char* field, const CSDPGenerDescribe& line) {
  char filed[kSdpTextSize];
  CopySdpText(filed, line.Content());
  return std::strcmp(filed, field) == 0;
}

constexpr char kSessionOrder[] = "vosiuepcbt";

}  // namespace

CQwSdp::~CQwSdp() = default;

void CQwSdp::ClearFields() {
  version_ = 0;
  origin_ = CSDPOrigin();
  sessionName_[0] = '\0';
  information_[0] = '\0';
  uri_[0] = '\0';
  email_[0] = '\0';
  phone_[0] = '\0';
  connection_ = CSDPConnection();
  bandwidth_ = CSDPBandwidth();
  time_ = CSDPTime();
  versionLine_ = nullptr;
  for (auto& line : textLines_) line = nullptr;
}

SDPErrors CQwSdp::OnItem(CSDPGenerDescribe* item) {
  if (item == nullptr) return KVR_SDP_ERROR(kSdpErrParameter);
  char* texts[] = {sessionName_, information_, uri_, email_, phone_};
  const char* order = std::strchr(kSessionOrder, item->Type());
  int rank =
      item->Type() != '\0' && order != nullptr ? static_cast<int>(order - kSessionOrder) : -1;
  switch (item->Type()) {
    case 'v': {
      int version = 0;
      if (!ParseVersion(item->Content(), &version)) return KVR_SDP_ERROR(kSdpErrInvalidVersion);
      if (versionLine_ == nullptr) {
        versionLine_ = item;
        version_ = version;
      }
      break;
    }
    case 's':
    case 'i':
    case 'u':
    case 'e':
    case 'p':
      if (textLines_[rank - 2] == nullptr) {
        textLines_[rank - 2] = item;
        CopySdpText(texts[rank - 2], kSdpTextSize, item->Content());
      }
      break;
    case 'o':
      if (!origin_.IsPresent()) origin_.File(*item);
      break;
    case 'c':
      if (!connection_.IsPresent()) connection_.File(*item);
      break;
    case 'b':
      if (!bandwidth_.IsPresent()) bandwidth_.File(*item);
      break;
    case 't':
      if (!time_.IsPresent()) time_.File(*item);
      break;
    default:
      break;  // kept only in the item list
  }
  return SDPErrors();
}

int CQwSdp::Rank(const CSDPGenerDescribe& item) const {
  const char* order = std::strchr(kSessionOrder, item.Type());
  if (item.Type() == '\0' || order == nullptr) return sizeof(kSessionOrder) - 1;
  return static_cast<int>(order - kSessionOrder);
}

std::vector<CQwSdpBase::Field> CQwSdp::Fields() {
  printLines_.clear();
  printLines_.reserve(6);  // the pointers handed out below must stay put
  auto made_line = [this](char type, const char* text) {
    CSDPGenerDescribe* line = &printLines_.emplace_back(type);
    line->SetValue(text);
    return line;
  };
  std::vector<Field> fields;
  int filed_version = -1;
  bool version_kept = versionLine_ != nullptr &&
                      ParseVersion(versionLine_->Content(), &filed_version) &&
                      filed_version == version_;
  fields.push_back({version_kept ? versionLine_ : made_line('v', std::to_string(version_).c_str()),
                    versionLine_, 0});
  if (origin_.IsPresent()) fields.push_back({&origin_, origin_.Source(), 1});
  const char* texts[] = {sessionName_, information_, uri_, email_, phone_};
  for (int i = 0; i < 5; ++i) {
    CSDPGenerDescribe* source = textLines_[i];
    CSDPGenerDescribe* line = nullptr;
    if (source != nullptr && Unchanged(texts[i], *source)) {
      line = source;
    } else if (texts[i][0] != '\0') {
      line = made_line(kSessionOrder[i + 2], texts[i]);
    }
    if (line != nullptr || source != nullptr) fields.push_back({line, source, i + 2});
  }
  CSDPTypedDescribe* typed[] = {&connection_, &bandwidth_, &time_};
  for (int i = 0; i < 3; ++i) {
    if (typed[i]->IsPresent()) fields.push_back({typed[i], typed[i]->Source(), i + 7});
  }
  return fields;
}

SDPErrors CQwSdp::AddMedia(CSDPMedia** media, int media_type, int port, std::string_view transport,
                           std::string_view formats) {
  auto section = std::make_unique<CSDPMedia>();
  section->MediaLine().Set(media_type, port, transport, formats);
  if (!section->MediaLine().IsValid()) return KVR_SDP_ERROR(kSdpErrParameter);
  if (media != nullptr) *media = section.get();
  media_.push_back(std::move(section));
  return SDPErrors();
}

SDPErrors CQwSdp::Parse(const char* text, int length) {
  media_.clear();
  if (text == nullptr) return KVR_SDP_ERROR(kSdpErrActivation);
  if (length < 0) return KVR_SDP_ERROR(kSdpErrParameter);
  size_t size = length == 0 ? std::strlen(text) : static_cast<size_t>(length);
  if (size == 0) return KVR_SDP_ERROR(kSdpErrActivation);

  SDPErrors error = ParseItems(text, static_cast<int>(size));
  if (error.IsError()) return error;
  size_t at = static_cast<size_t>(Consumed());
  while (at < size) {
    auto section = std::make_unique<CSDPMedia>();
    if (section->ParseItems(text + at, static_cast<int>(size - at)).IsError()) {
      return KVR_SDP_ERROR(kSdpErrMediaNotFound);
    }
    if (section->Consumed() == 0) break;
    at += static_cast<size_t>(section->Consumed());
    media_.push_back(std::move(section));
  }
  return SDPErrors();
}

SDPErrors CQwSdp::Print(std::string* text) {
  if (text == nullptr) return KVR_SDP_ERROR(kSdpErrParameter);
  SDPErrors error = PrintItems();
  if (error.IsError()) return error;
  std::string printed = Text();
  for (const auto& section : media_) {
    error = section->PrintItems();
    if (error.IsError()) return error;
    printed += section->Text();
  }
  *text = std::move(printed);
  return SDPErrors();
}

CSDPMedia* CQwSdp::GetMedia(int index) const {
  if (index < 0 || index >= MediaCount()) return nullptr;
  return media_[static_cast<size_t>(index)].get();
}
