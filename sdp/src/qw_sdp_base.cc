#include "sdp/src/qw_sdp_base.h"

#include <cstdint>
#include <cstring>
#include <unordered_map>

#include "platform/debug_log.h"

namespace {

// One line with its line end (CR LF, CR or LF), or the rest of the text.
std::string_view NextLine(std::string_view text) {
  size_t end = text.find_first_of("\r\n");
  if (end == std::string_view::npos) return text;
  if (text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n') ++end;
  return text.substr(0, end + 1);
}

std::string_view WithoutLineEnd(std::string_view line) {
  while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.remove_suffix(1);
  return line;
}

}  // namespace

CQwSdpBase::~CQwSdpBase() = default;

SDPErrors CQwSdpBase::ParseItems(const char* text, int length) {
  items_.clear();
  ClearFields();
  consumed_ = 0;
  if (text == nullptr || length < 0) return KVR_SDP_ERROR(kSdpErrParameter);
  if (level_ != kSessionLevel && level_ != kMediaLevel) return KVR_SDP_ERROR(kSdpErrUnknownLevel);
  size_t size = length == 0 ? std::strlen(text) : static_cast<size_t>(length);
  std::string_view rest(text, size);

  size_t taken = 0;
  bool started = false;
  SDPErrors error;
  while (!rest.empty()) {
    std::string_view line = NextLine(rest);
    std::string_view content = WithoutLineEnd(line);
    if (content.empty()) break;  // an empty line ends the description
    if (content.size() < 2 || content[1] != '=') {
      error = KVR_SDP_ERROR(kSdpErrMissingDescribeWord);
      break;
    }
    // The fields are C strings: a NUL would silently change what a line says.
    if (content.find('\0') != std::string_view::npos) {
      error = KVR_SDP_ERROR(kSdpErrIllegalCharacter);
      break;
    }
    if (level_ == kSessionLevel) {
      if (!started && content[0] != 'v') {
        taken += line.size();
        rest.remove_prefix(line.size());
        continue;
      }
      if (content[0] == 'm') break;
    } else {
      if (content[0] == 'm' && started) break;
      if (!started && content[0] != 'm') {
        error = KVR_SDP_ERROR(kSdpErrWrongState);
        break;
      }
    }
    started = true;

    auto item = std::make_unique<CSDPGenerDescribe>(content[0]);
    std::string_view value = line.substr(2);
    size_t colon = line.find(':', 4);
    if (colon != std::string_view::npos) {
      item->SetName(line.substr(2, colon - 2));
      value = line.substr(colon + 1);
      if (value.empty()) {
        error = KVR_SDP_ERROR(kSdpErrAttributeValue);
        break;
      }
      // An empty extra part would not print its ";", so a ";" right after
      // the name stays in the value.
      size_t semicolon = value.find(';');
      if (semicolon != std::string_view::npos && semicolon > 0) {
        item->SetExtra(value.substr(0, semicolon));
        value = value.substr(semicolon + 1);
        if (value.empty()) {
          error = KVR_SDP_ERROR(kSdpErrAttributeValue);
          break;
        }
      }
    }
    item->SetValue(value);
    item->SetReceived(line, content.substr(2));
    items_.push_back(std::move(item));
    error = OnItem(items_.back().get());
    if (error.IsError()) break;
    taken += line.size();
    rest.remove_prefix(line.size());
  }
  if (level_ == kSessionLevel && !started && !error.IsError()) {
    error = KVR_SDP_ERROR(kSdpErrMissingVersion);
  }
  consumed_ = taken > static_cast<size_t>(INT32_MAX) ? INT32_MAX : static_cast<int>(taken);
  platform::DebugPrintf("Number of session itmes is %d\n", static_cast<int>(items_.size()));
  return error;
}

std::vector<CSDPGenerDescribe*> CQwSdpBase::PrintList() {
  // Every parsed line keeps its place, printed through the typed field filed
  // from it; a field set without a line goes before the first later line of
  // a kind that follows it in the standard order. Linear in the lines: a
  // description from a peer may hold thousands of them.
  std::vector<Field> fields = Fields();
  std::unordered_map<const CSDPGenerDescribe*, size_t> filed_from;
  std::vector<size_t> unplaced;  // in the standard order, as Fields() gives them
  for (size_t i = 0; i < fields.size(); ++i) {
    if (fields[i].source != nullptr) {
      filed_from.emplace(fields[i].source, i);
    } else {
      unplaced.push_back(i);
    }
  }
  std::vector<CSDPGenerDescribe*> list;
  size_t next = 0;
  auto unplaced_before = [&](int rank) {
    for (; next < unplaced.size() && fields[unplaced[next]].rank < rank; ++next) {
      if (fields[unplaced[next]].line != nullptr) list.push_back(fields[unplaced[next]].line);
    }
  };
  for (const auto& item : items_) {
    auto filed = filed_from.find(item.get());
    if (filed == filed_from.end()) {
      unplaced_before(Rank(*item));
      list.push_back(item.get());
      continue;
    }
    const Field& field = fields[filed->second];
    unplaced_before(field.rank);
    // A field emptied by its setter takes its line away.
    if (field.line != nullptr) list.push_back(field.line);
  }
  unplaced_before(INT32_MAX);
  return list;
}

SDPErrors CQwSdpBase::PrintItems() {
  text_.clear();
  std::vector<CSDPGenerDescribe*> list = PrintList();
  if (list.empty()) return KVR_SDP_ERROR(kSdpErrEmptyDescribeVector);
  std::string text;
  for (CSDPGenerDescribe* item : list) {
    const std::string& line = item->ToText();
    if (line.empty()) return KVR_SDP_ERROR(kSdpErrAppendBuffer);
    text += line;
  }
  text_ = std::move(text);
  return SDPErrors();
}

const CSDPGenerDescribe* CQwSdpBase::FindAttribute(std::string_view name) const {
  for (const auto& item : items_) {
    if (item->Type() == 'a' && name == item->Name()) return item.get();
  }
  return nullptr;
}

SDPErrors CQwSdpBase::GetTextAttribute(std::string_view name, std::string* value) const {
  if (value == nullptr) return KVR_SDP_ERROR(kSdpErrParameter);
  const CSDPGenerDescribe* item = FindAttribute(name);
  if (item == nullptr) return KVR_SDP_ERROR(kSdpErrAttributeNotFound);
  // The whole text after "<name>:", extra part included.
  std::string_view content = item->Content();
  size_t colon = content.find(':', 2);
  std::string_view text = colon == std::string_view::npos ? content : content.substr(colon + 1);
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  value->assign(text);
  return SDPErrors();
}

SDPErrors CQwSdpBase::GetIntAttribute(std::string_view name, int* value) const {
  if (value == nullptr) return KVR_SDP_ERROR(kSdpErrParameter);
  std::string text;
  SDPErrors error = GetTextAttribute(name, &text);
  if (error.IsError()) return error;
  size_t i = (!text.empty() && (text[0] == '-' || text[0] == '+')) ? 1 : 0;
  if (i >= text.size() || text.find_first_not_of("0123456789", i) != std::string::npos ||
      text.size() > 10) {
    return KVR_SDP_ERROR(kSdpErrAttributeValue);
  }
  long long number = std::stoll(text);
  if (number < INT32_MIN || number > INT32_MAX) return KVR_SDP_ERROR(kSdpErrAttributeValue);
  *value = static_cast<int>(number);
  return SDPErrors();
}

SDPErrors CQwSdpBase::AddItem(std::unique_ptr<CSDPGenerDescribe> item) {
  if (!item) return KVR_SDP_ERROR(kSdpErrParameter);
  items_.push_back(std::move(item));
  return OnItem(items_.back().get());
}
