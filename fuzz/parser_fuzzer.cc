// Feeds arbitrary text to the control-message parser, in both of its modes,
// and prints whatever unit it makes.
//
// Beyond "does not crash", it checks what the parser promises its callers:
// a unit comes back exactly when the last error is 0, the unit's direction
// follows the carrier, and a printed unit is a message this service reads
// back as the same unit, printing the same text again.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <typeinfo>

#include "protocol/http/http_message.h"
#include "protocol/message/ds_parser.h"
#include "protocol/message/xml_doc.h"

namespace {

using kvr::pdu::kCarrierBareXml;
using kvr::pdu::kCarrierHttp;
using kvr::pdu::kCmdNone;
using kvr::pdu::kPduModeHttp;
using kvr::pdu::kPduModeXml;

void Check(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
  }
}

// Whether a tree holds only elements, each with either element children or
// one text: the shape of every control message. TinyXML does not read back
// everything it prints (stray text beside elements is trimmed and can then
// match an element name; a byte of 0x80 or above takes the following bytes
// with it as one UTF-8 character, even a "&"), so the read-back checks are
// for messages of that shape in ASCII.
bool IsPlain(const TiXmlNode* node) {
  for (const TiXmlNode* child = node->FirstChild(); child; child = child->NextSibling()) {
    if (child->ToDeclaration() != nullptr && node->ToDocument() != nullptr) continue;
    if (const TiXmlText* text = child->ToText()) {
      if (text->CDATA() || child != node->FirstChild() || child != node->LastChild()) return false;
      continue;
    }
    if (child->ToElement() == nullptr || !IsPlain(child)) return false;
  }
  return true;
}

bool IsPlainAscii(IZETAPDU* unit, const std::string& printed) {
  for (unsigned char c : printed) {
    if (c >= 0x80) return false;
  }
  auto* doc = dynamic_cast<CXMLDoc*>(unit->GetDoc());
  return doc != nullptr && IsPlain(&doc->GetTree());
}

std::string Text(const CReferPtr<CAutoBuffer>& buffer) {
  return buffer ? std::string(buffer->Data(), static_cast<size_t>(buffer->Size())) : std::string();
}

// Parses `text` in `mode`, checking the unit against the last error.
CReferPtr<IZETAPDU> Parse(const std::string& text, int mode) {
  CDsParser* parser = CDsParser::Instance();
  parser->SetMode(mode);
  IZETAPDU* unit = parser->CreatePDU(text.data(), static_cast<int>(text.size()));
  Check((unit != nullptr) == (parser->GetLastError() == 0), "a unit exactly when no error");
  if (unit != nullptr) {
    Check(unit->ReferenceCount() == 0, "a new unit has no holders");
    Check(unit->GetStatus() == 0, "a returned unit is good");
    Check(unit->GetCommandName() != nullptr, "a unit has a command name");
    Check(unit->GetCarrierKind() == (mode == kPduModeXml ? kCarrierBareXml : kCarrierHttp),
          "carrier kind follows the mode");
  }
  return CReferPtr<IZETAPDU>(unit);
}

// Prints `unit` in `mode` and reads the text back in that mode. A unit
// printed in the mode it was read in comes back as the same class; across
// modes the class may change, since mode 0 follows the start line and mode 2
// the envelope's "type".
void CheckPrinted(IZETAPDU* unit, int mode, bool sameMode) {
  std::string first = Text(unit->ToBuffer(mode));
  if (first.empty()) return;
  if (mode == kPduModeHttp) {
    int status = 0;
    auto message =
        QWTools::HTTPCommon::Parse(first.data(), static_cast<int>(first.size()), &status);
    Check(message != nullptr && !message->IsJunkPacket(), "a printed message is HTTP");
    Check(message->GetTotalLength() == static_cast<int>(first.size()), "it is one whole message");
    Check(message->GetMessageKind() == unit->GetMessageKind(), "it keeps its direction");
  }
  // Units from unreadable envelopes print what they hold; only typed units
  // of plain messages promise to read back as themselves.
  if (unit->GetCmdId() == kCmdNone || !IsPlainAscii(unit, first)) return;
  CReferPtr<IZETAPDU> again = Parse(first, mode);
  Check(again.get() != nullptr, "a printed unit parses");
  if (!sameMode) return;
  const IZETAPDU& before = *unit;
  const IZETAPDU& after = *again;
  Check(typeid(after) == typeid(before), "it reads back as the same class");
  Check(again->GetCmdId() == unit->GetCmdId(), "with the same command");
  // Reading drops the empty text of "<a></a>" (it prints "<a />" next
  // time); from the second print on the text is settled.
  std::string second = Text(again->ToBuffer(mode));
  CReferPtr<IZETAPDU> third = Parse(second, mode);
  Check(third.get() != nullptr && Text(third->ToBuffer(mode)) == second, "printing settles");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > (1u << 16)) return 0;
  std::string input(reinterpret_cast<const char*>(data), size);
  for (int mode : {kPduModeHttp, kPduModeXml}) {
    CReferPtr<IZETAPDU> unit = Parse(input, mode);
    if (!unit) continue;
    bool request = dynamic_cast<IRequestPDU*>(unit.get()) != nullptr;
    Check(request == (unit->GetMessageKind() == SvrFrame::kRequestMessage), "kind follows class");
    if (mode == kPduModeHttp) {
      int status = 0;
      auto message = QWTools::HTTPCommon::Parse(input.data(), static_cast<int>(size), &status);
      Check(message != nullptr, "the parser made a unit of an HTTP message");
      Check(request == (message->GetMessageKind() == QWTools::kKindRequest),
            "mode 0 follows the start line");
    }
    CReferPtr<IZETAPDU> ack(unit->CreateAck(0));
    if (ack) CheckPrinted(ack.get(), mode, true);
    CheckPrinted(unit.get(), mode, true);
    CheckPrinted(unit.get(), mode == kPduModeHttp ? kPduModeXml : kPduModeHttp, false);
  }
  CDsParser::Instance()->SetMode(kPduModeHttp);
  return 0;
}
