#include "protocol/message/xml_doc.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "platform/debug_log.h"
#include "protocol/message/zeta_codes.h"
#include "protocol/message/zeta_text.h"

namespace {

using kvr::pdu::CommandName;
using kvr::pdu::CompleteUtf8Length;
using kvr::pdu::FindCommand;
using kvr::pdu::kCarrierBareXml;
using kvr::pdu::kCmdNone;
using kvr::pdu::kCmdUnknown;
using kvr::pdu::kResultCodeFail;
using kvr::pdu::kResultSuccess;
using kvr::pdu::kResultXmlBody;
using kvr::pdu::kResultXmlElement;
using kvr::pdu::kResultXmlHead;
using kvr::pdu::kResultXmlParse;
using kvr::pdu::ParseDecimalInt;
using kvr::pdu::ResultText;

// Deeper trees are refused before TinyXML sees them: its parser, its
// destructor and the printer all recurse once per level, and a control
// message never nests more than four.
constexpr int kMaxDepth = 128;

// Zero bytes behind a text handed to TinyXML (see deserialize).
constexpr size_t kParsePadding = 16;

// An upper bound on the element nesting of `text` as TinyXML would read it:
// comments, CDATA, declarations and quoted attribute values are skipped, so
// a "/>" or "<" inside them counts for nothing.
int NestingDepth(const char* text) {
  int depth = 0;
  int deepest = 0;
  const char* p = text;
  while ((p = std::strchr(p, '<')) != nullptr) {
    if (std::strncmp(p, "<!--", 4) == 0) {
      const char* end = std::strstr(p + 4, "-->");
      if (end == nullptr) break;
      p = end + 3;
    } else if (std::strncmp(p, "<![CDATA[", 9) == 0) {
      const char* end = std::strstr(p + 9, "]]>");
      if (end == nullptr) break;
      p = end + 3;
    } else if (p[1] == '!' || p[1] == '?') {
      const char* end = std::strchr(p + 1, '>');
      if (end == nullptr) break;
      p = end + 1;
    } else if (p[1] == '/') {
      if (depth > 0) --depth;
      p += 2;
    } else {
      // An opening tag: up to its '>' outside quotes.
      ++p;
      char quote = 0;
      char last = 0;
      while (*p != '\0' && (quote != 0 || *p != '>')) {
        if (quote != 0) {
          if (*p == quote) quote = 0;
        } else if (*p == '"' || *p == '\'') {
          quote = *p;
        } else if (*p == '<') {
          break;  // a new tag starts: count this one as open
        }
        last = *p;
        ++p;
      }
      if (!(*p == '>' && last == '/')) {
        ++depth;
        if (depth > deepest) deepest = depth;
      }
      if (*p == '>') ++p;
    }
  }
  return deepest;
}

void Indent(int depth, std::string* out) {
  for (int i = 0; i < depth; ++i) out->append("    ");
}

// TinyXML's layout for printing to a file, rebuilt on a string.
void PrintNode(const TiXmlNode* node, int depth, std::string* out) {
  if (const TiXmlElement* element = node->ToElement()) {
    Indent(depth, out);
    out->append("<").append(element->Value());
    for (const TiXmlAttribute* a = element->FirstAttribute(); a != nullptr; a = a->Next()) {
      out->append(" ");
      a->Print(nullptr, depth, out);
    }
    const TiXmlNode* first = element->FirstChild();
    if (first == nullptr) {
      out->append(" />");
    } else if (first == element->LastChild() && first->ToText() != nullptr) {
      out->append(">");
      PrintNode(first, depth + 1, out);
      out->append("</").append(element->Value()).append(">");
    } else {
      out->append(">");
      for (const TiXmlNode* child = first; child != nullptr; child = child->NextSibling()) {
        if (child->ToText() == nullptr) out->append("\n");
        PrintNode(child, depth + 1, out);
      }
      out->append("\n");
      Indent(depth, out);
      out->append("</").append(element->Value()).append(">");
    }
  } else if (const TiXmlText* text = node->ToText()) {
    if (text->CDATA()) {
      out->append("\n");
      Indent(depth, out);
      out->append("<![CDATA[").append(text->Value()).append("]]>\n");
    } else {
      std::string encoded;
      TiXmlBase::EncodeString(text->ValueTStr(), &encoded);
      out->append(encoded.c_str());
    }
  } else if (const TiXmlDeclaration* declaration = node->ToDeclaration()) {
    declaration->Print(nullptr, depth, out);
  } else if (node->ToComment() != nullptr) {
    Indent(depth, out);
    out->append("<!--").append(node->Value()).append("-->");
  } else if (node->ToUnknown() != nullptr) {
    Indent(depth, out);
    out->append("<").append(node->Value()).append(">");
  } else if (node->ToDocument() != nullptr) {
    for (const TiXmlNode* child = node->FirstChild(); child; child = child->NextSibling()) {
      PrintNode(child, depth, out);
      out->append("\n");
    }
  }
}

// One step of a path: "name" or "name(index)".
struct PathStep {
  std::string name;
  int index = 0;
};

// Reads the step at `*p` and moves past it and its "/". False for an empty
// name or an index that is not a decimal number of at most 9 digits.
bool NextStep(const char** p, PathStep* step) {
  const char* s = *p;
  const char* end = s;
  while (*end != '\0' && *end != '/' && *end != '(') ++end;
  step->name.assign(s, end);
  step->index = 0;
  if (*end == '(') {
    const char* digits = ++end;
    int value = 0;
    while (*end >= '0' && *end <= '9' && end - digits < 9) value = value * 10 + (*end++ - '0');
    if (end == digits || *end != ')') return false;
    step->index = value;
    ++end;
  }
  if (*end != '\0' && *end != '/') return false;
  while (*end == '/') ++end;
  *p = end;
  return !step->name.empty();
}

// Splits a whole path into its steps; false (and no steps) when any step is
// malformed or there is none.
bool ParsePath(const char* path, std::vector<PathStep>* steps) {
  steps->clear();
  if (path == nullptr) return false;
  const char* p = path;
  while (*p == '/') ++p;
  PathStep step;
  while (*p != '\0') {
    if (!NextStep(&p, &step)) {
      steps->clear();
      return false;
    }
    steps->push_back(step);
  }
  return !steps->empty();
}

TiXmlElement* NthChild(TiXmlElement* parent, const std::string& name, int index) {
  TiXmlElement* child = parent->FirstChildElement(name.c_str());
  for (int i = 0; child != nullptr && i < index; ++i) {
    child = child->NextSiblingElement(name.c_str());
  }
  return child;
}

// `text` shortened until its printed (entity-encoded) form does not end in
// half a UTF-8 character, which would make the message read back with
// another structure. Text that does not settle within a few bytes keeps
// only its leading ASCII.
std::string Printable(const char* text) {
  std::string value(text);
  for (int tries = 0; tries < 16 && !value.empty(); ++tries) {
    std::string encoded;
    TiXmlBase::EncodeString(value, &encoded);
    if (CompleteUtf8Length(encoded.data(), encoded.size()) == encoded.size()) return value;
    value.pop_back();
  }
  size_t ascii = 0;
  while (ascii < value.size() && static_cast<unsigned char>(value[ascii]) < 0x80) ++ascii;
  value.resize(ascii);
  return value;
}

// Sets the text of `element`: its first child when that is text, else a new
// text child in front.
void SetElementText(TiXmlElement* element, const std::string& text) {
  std::string value = Printable(text.c_str());
  TiXmlNode* first = element->FirstChild();
  if (first != nullptr && first->ToText() != nullptr) {
    first->SetValue(value.c_str());
  } else if (first != nullptr) {
    element->InsertBeforeChild(first, TiXmlText(value.c_str()));
  } else {
    element->LinkEndChild(new TiXmlText(value.c_str()));
  }
}

void SetChildText(TiXmlElement* parent, const std::string& key, const std::string& value) {
  if (parent == nullptr) return;
  TiXmlElement* child = parent->FirstChildElement(key.c_str());
  if (child == nullptr) {
    child = new TiXmlElement(key.c_str());
    parent->LinkEndChild(child);
  }
  SetElementText(child, value);
}

// The text of an element: its first child's when that is text, else "".
const char* ElementText(const TiXmlElement* element) {
  const TiXmlNode* first = element->FirstChild();
  if (first != nullptr && first->ToText() != nullptr) return first->Value();
  return "";
}

}  // namespace

CXMLDoc::CXMLDoc(std::unique_ptr<QWTools::HTTPCommon> carrier) : CzetaDoc(std::move(carrier)) {
  cmdId_ = carrier_ != nullptr && carrier_->IsJunkPacket() ? kCmdNone : 0;
  isRequest_ = GetCarrierMessageKind();
}

CXMLDoc::CXMLDoc(const std::string& xml) {
  carrierKind_ = kCarrierBareXml;
  if (deserialize(xml.c_str()) != kResultSuccess) {
    cmdId_ = kCmdNone;
    return;
  }
  if (isRequest_ == 1) {
    carrier_ = std::make_unique<QWTools::HTTPRequest>("");
  } else {
    carrier_ = std::make_unique<QWTools::HTTPResponse>(200, "OK");
  }
  carrier_->SetBody(xml.data(), static_cast<int>(xml.size()));
}

CXMLDoc::~CXMLDoc() = default;

int CXMLDoc::BuildEnvelope(int resultCode, int messageKind, int sequence,
                           const std::string& session) {
  resultCode_ = resultCode;
  resultText_ = ResultText(resultCode);
  head_ = body_ = nullptr;
  xml_.Clear();
  xml_.ClearError();
  xml_.LinkEndChild(new TiXmlDeclaration("1.0", "UTF-8", ""));

  auto* head = new TiXmlElement("head");
  auto add = [head](const char* name, const std::string& text) {
    auto* element = new TiXmlElement(name);
    element->LinkEndChild(new TiXmlText(text.c_str()));
    head->LinkEndChild(element);
    return element;
  };
  add("operation", CommandName(cmdId_));
  add("type", messageKind == 1 ? "request" : "response");
  add("session", session);
  add("sequence", std::to_string(sequence));
  add("result", ResultText(resultCode))->SetAttribute("code", resultCode);

  auto* pdu = new TiXmlElement("pdu");
  head_ = head;
  pdu->LinkEndChild(head);
  body_ = new TiXmlElement("body");
  pdu->LinkEndChild(body_);
  xml_.LinkEndChild(pdu);
  return kResultSuccess;
}

int CXMLDoc::serialize(int resultCode) {
  int kind = carrier_ != nullptr ? GetCarrierMessageKind() : (isRequest_ == 1 ? 1 : 2);
  return BuildEnvelope(resultCode, kind, 1, "");
}

int CXMLDoc::deserialize() {
  if (carrier_ == nullptr) return deserialize(nullptr);
  std::string body = carrier_->GetBody();
  return deserialize(body.c_str());
}

int CXMLDoc::deserialize(const char* text) {
  platform::DebugOutput(" XMLDoc::deserialize in start +++++ \n");
  head_ = body_ = nullptr;
  xml_.Clear();
  xml_.ClearError();
  if (text == nullptr || NestingDepth(text) > kMaxDepth) {
    platform::DebugPrintf(" XMLDoc::deserialize in %s: %s\n", "nesting too deep or no text",
                          xml_.Value());
    xml_.Clear();
    return kResultXmlParse;
  }
  // TinyXML takes a UTF-8 lead byte and the bytes its length claims in one
  // step, even across the terminating NUL, and then reads on. Zero bytes
  // behind the text stop it there instead of in foreign memory.
  std::string padded(text);
  padded.append(kParsePadding, '\0');
  // Rows and columns are only for error positions, which nothing reports;
  // counting them walks the text again for every node parsed.
  xml_.SetTabSize(0);
  xml_.Parse(padded.c_str(), nullptr, TIXML_DEFAULT_ENCODING);
  if (xml_.Error()) {
    platform::DebugPrintf(" XMLDoc::deserialize in %s: %s\n", xml_.ErrorDesc(), xml_.Value());
    return kResultXmlParse;
  }
  TiXmlElement* pdu = xml_.FirstChildElement("pdu");
  if (pdu == nullptr) return kResultXmlHead;
  TiXmlNode* headNode = pdu->FirstChild("head");
  if (headNode == nullptr) return kResultXmlHead;
  TiXmlElement* head = headNode->ToElement();
  if (head == nullptr) return kResultXmlParse;

  TiXmlElement* operation = head->FirstChildElement("operation");
  if (operation == nullptr) return kResultXmlElement;
  const char* name = ElementText(operation);
  platform::DebugPrintf("----MessageType:<%s>\n", name);
  cmdId_ = FindCommand(name);
  if (cmdId_ == kCmdUnknown) platform::DebugOutput("Can not Get Message Type\n");
  platform::DebugPrintf("deserialize----Get Message Type[%d][%s]\n", cmdId_, name);

  TiXmlElement* type = head->FirstChildElement("type");
  if (type == nullptr) return kResultXmlElement;
  isRequest_ = std::strcmp(ElementText(type), "request") == 0 ? 1 : 0;

  TiXmlElement* session = head->FirstChildElement("session");
  session_ = session != nullptr ? ParseDecimalInt(ElementText(session)) : 0;
  TiXmlElement* sequence = head->FirstChildElement("sequence");
  sequence_ = sequence != nullptr ? ParseDecimalInt(ElementText(sequence)) : 0;

  if (TiXmlNode* resultNode = head->FirstChild("result")) {
    TiXmlElement* result = resultNode->ToElement();
    if (result == nullptr) return kResultXmlParse;
    resultText_.assign(ElementText(result));
    if (resultText_.size() > kMaxResultText) resultText_.resize(kMaxResultText);
    if (const char* code = result->Attribute("code")) resultCode_ = ParseDecimalInt(code);
    platform::DebugPrintf("deserialize---Get Result Code[%d (%s)]\n", resultCode_,
                          resultText_.c_str());
  }

  TiXmlElement* body = pdu->FirstChildElement("body");
  if (body == nullptr) return kResultXmlBody;
  body_ = body;
  head_ = head;
  return kResultSuccess;
}

const char* CXMLDoc::GetText() {
  text_.clear();
  PrintNode(&xml_, 0, &text_);
  return text_.c_str();
}

void CXMLDoc::SetResult(int code, const char* text) {
  resultCode_ = code;
  resultText_.assign(text != nullptr && *text != '\0' ? text : ResultText(code));
  if (resultText_.size() > kMaxResultText) {
    resultText_.resize(CompleteUtf8Length(resultText_.data(), kMaxResultText));
  }
  if (head_ == nullptr) return;
  SetChildText(head_, "result", resultText_);
  head_->FirstChildElement("result")->SetAttribute("code", code);
}

void CXMLDoc::SetBodyValue(const std::string& key, const std::string& value) {
  if (!key.empty()) SetChildText(body_, key, value);
}

void CXMLDoc::SetHeadValue(const std::string& key, const std::string& value) {
  if (!key.empty()) SetChildText(head_, key, value);
}

const char* CXMLDoc::GetValue(const char* path) {
  std::vector<PathStep> steps;
  if (body_ == nullptr || !ParsePath(path, &steps)) return nullptr;
  TiXmlElement* element = body_;
  for (const PathStep& step : steps) {
    element = NthChild(element, step.name, step.index);
    if (element == nullptr) return nullptr;
  }
  return ElementText(element);
}

int CXMLDoc::SetValue(const char* path, const void* value, int valueType) {
  if (body_ == nullptr || value == nullptr) return kResultCodeFail;
  char number[16];
  const char* text = nullptr;
  switch (valueType) {
    case kValueInt: {
      int32_t v;
      std::memcpy(&v, value, sizeof(v));
      if (v == ABSENT_VALUE) return kResultSuccess;
      std::snprintf(number, sizeof(number), "%d", v);
      text = number;
      break;
    }
    case kValueString:
      text = static_cast<const char*>(value);
      if (*text == '\0') return kResultSuccess;
      break;
    case kValueBool: {
      int32_t v;
      std::memcpy(&v, value, sizeof(v));
      text = static_cast<uint8_t>(v) != 0 ? "true" : "false";
      break;
    }
    case kValueUint: {
      uint32_t v;
      std::memcpy(&v, value, sizeof(v));
      if (v == static_cast<uint32_t>(ABSENT_VALUE)) return kResultSuccess;
      std::snprintf(number, sizeof(number), "%u", v);
      text = number;
      break;
    }
    default:
      return kResultCodeFail;
  }

  std::vector<PathStep> steps;
  if (!ParsePath(path, &steps)) return kResultCodeFail;
  TiXmlElement* element = body_;
  for (size_t i = 0; i + 1 < steps.size(); ++i) {
    TiXmlElement* child = NthChild(element, steps[i].name, steps[i].index);
    if (child == nullptr) {
      child = new TiXmlElement(steps[i].name.c_str());
      element->LinkEndChild(child);
    }
    element = child;
  }
  auto* leaf = new TiXmlElement(steps.back().name.c_str());
  leaf->LinkEndChild(new TiXmlText(Printable(text).c_str()));
  element->LinkEndChild(leaf);
  return kResultSuccess;
}

int CXMLDoc::SyncHeaders() {
  if (carrier_ == nullptr) return kResultCodeFail;
  carrier_->SetNumberHeader("Session", session_);
  carrier_->SetNumberHeader("CSeq", sequence_);
  return kResultSuccess;
}

int CXMLDoc::RemoveBodyValues(const char* key) {
  if (body_ == nullptr || key == nullptr) return 0;
  int removed = 0;
  while (TiXmlElement* child = body_->FirstChildElement(key)) {
    body_->RemoveChild(child);
    ++removed;
  }
  return removed;
}
