#include "protocol/http/http_header.h"

namespace QWTools {

void CHttpHeader::Set(std::string_view name, std::string_view value) {
  auto it = fields_.find(name);
  if (it == fields_.end()) {
    fields_.emplace(std::string(name), std::string(value));
  } else {
    it->second.assign(value);
  }
}

const std::string* CHttpHeader::Find(std::string_view name) const {
  auto it = fields_.find(name);
  return it == fields_.end() ? nullptr : &it->second;
}

bool CHttpHeader::Remove(std::string_view name) {
  auto it = fields_.find(name);
  if (it == fields_.end()) return false;
  fields_.erase(it);
  return true;
}

void CHttpHeader::Clear() {
  fields_.clear();
  raw_.clear();
}

std::string CHttpHeader::Print() const {
  std::string text;
  for (const auto& [name, value] : fields_) {
    text.append(name).append(": ").append(value).append("\r\n");
  }
  text.append("\r\n");
  return text;
}

bool CHttpBody::Set(const char* data, int length) {
  // Copy before letting go of the old buffer: `data` may point into it.
  CReferPtr<CAutoBuffer> buffer;
  if (data != nullptr && length > 0) {
    buffer = new CAutoBuffer;
    if (buffer->MakeCopy(length, data) == nullptr) buffer.Reset();
  }
  buffer_ = std::move(buffer);
  return static_cast<bool>(buffer_);
}

std::string_view CHttpBody::View() const {
  if (!buffer_ || buffer_->Data() == nullptr) return {};
  return {buffer_->Data(), static_cast<size_t>(buffer_->Size())};
}

}  // namespace QWTools
