#include "protocol/message/ds_parser.h"

#include <cstring>
#include <string>

#include "platform/debug_log.h"
#include "protocol/message/pdu_factory.h"

namespace {
using kvr::pdu::CreatePduFromDoc;
using kvr::pdu::kCmdNone;
using kvr::pdu::kPduModeHttp;
using kvr::pdu::kPduModeXml;
using kvr::pdu::kResultHttpParse;
using kvr::pdu::kResultNotDistinguish;
using kvr::pdu::kResultPduConversion;
using kvr::pdu::kResultSuccess;
}  // namespace

CDsParser::CDsParser() {
  platform::DebugOutput("KVR control protocol: ZETA XML over HTTP/1.1, x_Protocol_Version 1.0\n");
}

IZETAPDU* CDsParser::Fail(int error) {
  lastError_.store(error, std::memory_order_relaxed);
  return nullptr;
}

IZETAPDU* CDsParser::CreatePDU(const char* text) {
  return CreatePDU(text, text != nullptr ? static_cast<int>(std::strlen(text)) : 0);
}

IZETAPDU* CDsParser::CreatePDU(const char* text, int length) {
  lastError_.store(kResultSuccess, std::memory_order_relaxed);
  std::unique_ptr<CXMLDoc> doc;
  switch (GetMode()) {
    case kPduModeHttp: {
      int status = 0;
      std::unique_ptr<QWTools::HTTPCommon> carrier;
      if (text != nullptr && length > 0) {
        carrier = QWTools::HTTPCommon::Parse(text, length, &status);
      }
      if (carrier == nullptr) {
        platform::DebugOutput("http text is NULL!\n");
        platform::DebugPrintf(" CDsParser::Parsed packet Error : %d\n", kResultHttpParse);
        return Fail(kResultHttpParse);
      }
      bool junk = carrier->IsJunkPacket();
      doc = std::make_unique<CXMLDoc>(std::move(carrier));
      if (!junk) {
        int result = doc->deserialize();
        if (result != kResultSuccess) {
          lastError_.store(result, std::memory_order_relaxed);
          doc->SetCmdId(kCmdNone);
        }
      }
      break;
    }
    case kPduModeXml:
      doc = std::make_unique<CXMLDoc>(
          text != nullptr && length > 0 ? std::string(text, strnlen(text, length)) : std::string());
      doc->SyncHeaders();
      break;
    default:
      return Fail(kResultNotDistinguish);
  }

  IZETAPDU* unit = CreatePduFromDoc(std::move(doc));
  if (unit == nullptr) {
    platform::DebugPrintf(" CDsParser::CreatePDU (Error : %d)\n", kResultPduConversion);
    return Fail(kResultPduConversion);
  }
  platform::DebugPrintf(" CDsParser::CreatePDU command code = 0x%x,\n", unit->GetCmdId());
  // The unit's status is the verdict: an unreadable envelope has become an
  // invalid packet with status 0, which the caller answers or drops.
  int status = unit->GetStatus();
  lastError_.store(status, std::memory_order_relaxed);
  if (status != kResultSuccess) {
    delete unit;
    return nullptr;
  }
  return unit;
}
