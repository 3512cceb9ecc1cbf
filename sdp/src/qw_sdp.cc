#include "sdp/src/qw_sdp.h"

#include <cstring>

CQwSdp::~CQwSdp() = default;

void CQwSdp::ClearFields() {
  version_ = 0;
  origin_ = CSDPOrigin();
  session_name_[0] = '\0';
  information_[0] = '\0';
  uri_[0] = '\0';
  email_[0] = '\0';
  phone_[0] = '\0';
  connection_ = CSDPConnection();
  bandwidth_ = CSDPBandwidth();
  time_ = CSDPTime();
}

SDPErrors CQwSdp::OnItem(CSDPGenerDescribe* item) {
  if (item == nullptr) return KVR_SDP_ERROR(kSdpErrParameter);
  std::string_view content = item->Content();
  switch (item->Type()) {
    case 'v': {
      // A version is a decimal number and nothing else.
      size_t digits = content.find_first_not_of("0123456789");
      if (content.empty() || digits == 0 || content.size() > 9 ||
          digits != std::string_view::npos) {
        return KVR_SDP_ERROR(kSdpErrInvalidVersion);
      }
      version_ = std::stoi(std::string(content));
      break;
    }
    case 'o':
      origin_.File(*item);
      break;
    case 's':
      CopySdpText(session_name_, content);
      break;
    case 'i':
      CopySdpText(information_, content);
      break;
    case 'u':
      CopySdpText(uri_, content);
      break;
    case 'e':
      CopySdpText(email_, content);
      break;
    case 'p':
      CopySdpText(phone_, content);
      break;
    case 'c':
      connection_.File(*item);
      break;
    case 'b':
      bandwidth_.File(*item);
      break;
    case 't':
      time_.File(*item);
      break;
    default:
      break;  // kept only in the item list
  }
  return SDPErrors();
}

bool CQwSdp::IsTyped(const CSDPGenerDescribe& item) const {
  return std::strchr("vosiuepcbt", item.Type()) != nullptr && item.Type() != '\0';
}

std::vector<CSDPGenerDescribe*> CQwSdp::PrintList() {
  print_lines_.clear();
  print_lines_.reserve(6);
  auto text_line = [this](char type, const char* text) {
    CSDPGenerDescribe& line = print_lines_.emplace_back(type);
    line.SetValue(text);
  };
  text_line('v', std::to_string(version_).c_str());
  const char* texts[] = {session_name_, information_, uri_, email_, phone_};
  const char types[] = {'s', 'i', 'u', 'e', 'p'};
  for (int i = 0; i < 5; ++i) {
    if (texts[i][0] != '\0') text_line(types[i], texts[i]);
  }

  std::vector<CSDPGenerDescribe*> list{&print_lines_[0]};
  if (origin_.IsPresent()) list.push_back(&origin_);
  for (size_t i = 1; i < print_lines_.size(); ++i) list.push_back(&print_lines_[i]);
  if (connection_.IsPresent()) list.push_back(&connection_);
  if (bandwidth_.IsPresent()) list.push_back(&bandwidth_);
  if (time_.IsPresent()) list.push_back(&time_);
  for (CSDPGenerDescribe* item : UntypedItems()) list.push_back(item);
  return list;
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
