#include "protocol/message/pdu.h"

#include <cstdio>
#include <cstring>

namespace {

using kvr::pdu::CommandName;
using kvr::pdu::CopyToField;
using kvr::pdu::EncodeFields;
using kvr::pdu::kCarrierHttp;
using kvr::pdu::kCmdNone;
using kvr::pdu::kMaxPduLists;
using kvr::pdu::kPduModeHttp;
using kvr::pdu::kPduModeXml;
using kvr::pdu::kResultCodeFail;
using kvr::pdu::kResultCreateBuffer;
using kvr::pdu::kResultDataFinished;
using kvr::pdu::kResultSuccess;
using kvr::pdu::LoadFields;
using kvr::pdu::ParseDecimalInt;
using kvr::pdu::ParseDecimalUint;
using kvr::pdu::PduFields;
using kvr::pdu::PduListSpec;

constexpr size_t kCookieWidth = 64;
constexpr size_t kUrlWidth = 256;

}  // namespace

namespace kvr::pdu {

std::unique_ptr<CXMLDoc> MakeMessageDoc(int messageKind, int cmdId) {
  std::unique_ptr<QWTools::HTTPCommon> carrier;
  if (messageKind == SvrFrame::kRequestMessage) {
    carrier = std::make_unique<QWTools::HTTPRequest>(std::string("/") + CommandName(cmdId));
    carrier->SetHeader("Content-Type", kPduContentType);
    carrier->SetHeader("User-Agent", kPduUserAgent);
    carrier->SetHeader("x_Protocol_Version", kPduProtocolVersion);
  } else {
    carrier = std::make_unique<QWTools::HTTPResponse>(200, "OK");
    carrier->SetHeader("Content-Type", kPduContentType);
    carrier->SetHeader("x_Protocol_Version", kPduProtocolVersion);
    carrier->SetHeader("User-Agent", kPduUserAgent);
  }
  auto doc = std::make_unique<CXMLDoc>(std::move(carrier));
  doc->SetCmdId(cmdId);
  return doc;
}

}  // namespace kvr::pdu

IZETAPDU::~IZETAPDU() = default;

const char* IZETAPDU::GetProtocolName() const { return "QW"; }

const char* IZETAPDU::GetCommandName() const { return CommandName(GetCmdId()); }

CSecureString IZETAPDU::GetResultText() const {
  return CSecureString(std::to_string(doc_ != nullptr ? doc_->GetResultCode() : -1).c_str());
}

int32_t IZETAPDU::GetCarrierKind() const {
  return doc_ != nullptr ? doc_->GetCarrierKind() : kCarrierHttp;
}

IZETAPDU* IZETAPDU::CreateAck(int /*resultCode*/) { return nullptr; }

void IZETAPDU::Encode() { status_ = kResultSuccess; }

int IZETAPDU::GetCmdId() const { return doc_ != nullptr ? doc_->GetCmdId() : kCmdNone; }

void IZETAPDU::SetCmdId(int id) {
  if (doc_ != nullptr) doc_->SetCmdId(id);
}

int IZETAPDU::GetResultCode() const { return doc_ != nullptr ? doc_->GetResultCode() : -1; }

std::string IZETAPDU::GetDocResultText() const {
  return doc_ != nullptr ? doc_->GetResultText() : std::string();
}

void IZETAPDU::SetResult(int code, const char* text) {
  if (doc_ != nullptr) doc_->SetResult(code, text);
}

int IZETAPDU::LoadValue(const char* path, void* out, int valueType, size_t width) const {
  if (doc_ == nullptr || out == nullptr || path == nullptr) return kResultCodeFail;
  switch (valueType) {
    case kValueInt:
    case kValueUint:
    case kValueBool: {
      const char* text = doc_->GetValue(path);
      int32_t v = ABSENT_VALUE;
      if (text != nullptr) {
        if (valueType == kValueInt) {
          v = ParseDecimalInt(text);
        } else if (valueType == kValueUint) {
          v = static_cast<int32_t>(ParseDecimalUint(text));
        } else {
          v = std::strncmp(text, "true", 4) == 0 ? 1 : 0;
        }
      }
      std::memcpy(out, &v, sizeof(v));
      return kResultSuccess;
    }
    case kValueString:
      if (width == 0) return kResultCodeFail;
      CopyToField(static_cast<char*>(out), width, doc_->GetValue(path));
      return kResultSuccess;
    default:
      return kResultCodeFail;
  }
}

CReferPtr<CAutoBuffer> IZETAPDU::ToBuffer(int mode) {
  Encode();
  if (status_ != kResultSuccess) return {};
  const char* text = doc_ != nullptr ? doc_->GetText() : nullptr;
  if (text == nullptr || *text == '\0') {
    status_ = kResultCodeFail;
    return {};
  }
  std::string whole;
  const char* out = nullptr;
  size_t length = 0;
  if (mode == kPduModeHttp && doc_->GetCarrier() != nullptr) {
    QWTools::HTTPCommon* carrier = doc_->GetCarrier();
    length = std::strlen(text);
    carrier->SetBody(text, static_cast<int>(length));
    whole = carrier->ToText();
    out = whole.data();
    length = whole.size();
  } else if (mode == kPduModeXml) {
    out = text;
    length = std::strlen(text);
  }
  if (out == nullptr || length == 0) {
    status_ = kResultCodeFail;
    return {};
  }
  CReferPtr<CAutoBuffer> buffer(new CAutoBuffer());
  if (buffer->MakeCopy(static_cast<int>(length), out) == nullptr) {
    status_ = kResultCreateBuffer;
    return {};
  }
  return buffer;
}

std::string IZETAPDU::Header(const char* name) const {
  QWTools::HTTPCommon* carrier = doc_ != nullptr ? doc_->GetCarrier() : nullptr;
  return carrier != nullptr ? carrier->GetHeader(name) : std::string();
}

void IZETAPDU::SetHeader(const char* name, const char* value) {
  QWTools::HTTPCommon* carrier = doc_ != nullptr ? doc_->GetCarrier() : nullptr;
  if (carrier != nullptr && value != nullptr) carrier->SetHeader(name, value);
}

void IZETAPDU::SetCookie(const char* id) {
  if (id == nullptr) return;
  char cookie[kCookieWidth];
  std::snprintf(cookie, sizeof(cookie), "sessionId=%s", id);
  SetHeader("Cookie", cookie);
}

std::string IZETAPDU::GetCookie() const { return Header("Cookie"); }

void IZETAPDU::SetSessionCookie(const char* id) {
  if (id != nullptr) SetHeader("Set-Cookie", (std::string("sessionId=") + id).c_str());
}

std::optional<std::string> IZETAPDU::GetSessionCookie() const {
  std::string value = Header("Set-Cookie");
  size_t equals = value.find('=');
  size_t semicolon = value.find(';');
  if (equals == std::string::npos || semicolon == std::string::npos || semicolon < equals) {
    return std::nullopt;
  }
  return value.substr(equals + 1, semicolon - equals - 1);
}

std::string IZETAPDU::GetSession() const { return Header("Session"); }

void IZETAPDU::SetSession(const char* session) {
  if (session == nullptr) return;
  SetHeader("Session", session);
  if (doc_ != nullptr) doc_->SetHeadValue("session", session);
}

std::string IZETAPDU::GetSequence() const { return Header("CSeq"); }

void IZETAPDU::SetSequence(const char* sequence) {
  if (sequence == nullptr) return;
  SetHeader("CSeq", sequence);
  if (doc_ != nullptr) doc_->SetHeadValue("sequence", sequence);
}

std::string IZETAPDU::GetDate() const { return Header("Date"); }

void IZETAPDU::SetDate(const char* date) { SetHeader("Date", date); }

int IZETAPDU::SetURL(int cmdId, const char* host, int port, const char* path) {
  QWTools::HTTPCommon* carrier = doc_ != nullptr ? doc_->GetCarrier() : nullptr;
  if (GetMessageKind() != SvrFrame::kRequestMessage || carrier == nullptr) {
    return kResultCodeFail;
  }
  if (host == nullptr) host = "";
  char url[kUrlWidth];
  if (path != nullptr && *path != '\0') {
    std::snprintf(url, sizeof(url), "http://%s:%d/%s/%s", host, port, path, CommandName(cmdId));
  } else {
    std::snprintf(url, sizeof(url), "http://%s:%d/%s", host, port, CommandName(cmdId));
  }
  carrier->SetURL(url);
  return kResultSuccess;
}

std::string IZETAPDU::GetURLCommand() const {
  QWTools::HTTPCommon* carrier = doc_ != nullptr ? doc_->GetCarrier() : nullptr;
  std::string url = carrier != nullptr ? carrier->GetURL() : std::string();
  size_t slash = url.rfind('/');
  return slash == std::string::npos ? url : url.substr(slash + 1);
}

void IZETAPDU::LoadDeclaredFields(PduFields fields, void* object) {
  LoadFields(doc_.get(), fields, object, std::string(), ABSENT_VALUE);
}

void IZETAPDU::EncodeDeclaredFields(PduFields fields, const void* object) {
  if (EncodeFields(doc_.get(), fields, object, std::string(), true) != kResultSuccess) {
    status_ = kResultCodeFail;
  }
}

int IZETAPDU::AddListItemRaw(const PduListSpec& list, const void* item) {
  if (list.slot < 0 || list.slot >= kMaxPduLists || doc_ == nullptr) return kResultCodeFail;
  ListCursor& cursor = cursors_[list.slot];
  char prefix[256];
  std::snprintf(prefix, sizeof(prefix), "%s(%d)", list.name, cursor.write);
  int status = EncodeFields(doc_.get(), list.fields, item, prefix, false);
  ++cursor.write;
  return status;
}

int IZETAPDU::NextListItemRaw(const PduListSpec& list, void* item, bool restart) {
  if (list.slot < 0 || list.slot >= kMaxPduLists) return kResultCodeFail;
  ListCursor& cursor = cursors_[list.slot];
  if (restart) cursor.read = 0;
  char prefix[256];
  std::snprintf(prefix, sizeof(prefix), "%s(%d)", list.name, cursor.read);
  bool going = LoadFields(doc_.get(), list.fields, item, prefix, list.absentNumber);
  ++cursor.read;
  return going ? kResultSuccess : kResultDataFinished;
}

int IZETAPDU::GetListReadCursor(int slot) const {
  return slot >= 0 && slot < kMaxPduLists ? cursors_[slot].read : 0;
}

int IZETAPDU::GetListWriteCursor(int slot) const {
  return slot >= 0 && slot < kMaxPduLists ? cursors_[slot].write : 0;
}

int IRequestPDU::NextStage(char* out, size_t width, bool restart) {
  if (out == nullptr || width == 0) return kResultCodeFail;
  if (restart) stageIndex_ = 0;
  char path[64];
  std::snprintf(path, sizeof(path), "%s(%d)", "plmStage", stageIndex_);
  ++stageIndex_;
  if (LoadValue(path, out, kValueString, width) != kResultSuccess) *out = '\0';
  return *out != '\0' ? kResultSuccess : kResultDataFinished;
}
