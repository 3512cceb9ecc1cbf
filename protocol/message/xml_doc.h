// CXMLDoc: the message document on a TinyXML tree.
//
// The printed text follows TinyXML's own print layout byte for byte (four
// blanks of indentation per level, "<a />" for an empty element, an element
// whose only child is text on one line, one line feed after each top-level
// node), because every client of the platform compares messages in that form.
// Unlike the fixed print buffer of older builds, the text grows as needed, so
// a large message is printed and sent whole rather than cut.
//
// Owned by one data unit; used by one thread at a time.
#ifndef KVR_PROTOCOL_MESSAGE_XML_DOC_H_
#define KVR_PROTOCOL_MESSAGE_XML_DOC_H_

#include <tinyxml.h>

#include <memory>
#include <string>

#include "protocol/message/zeta_doc.h"

class CXMLDoc : public CzetaDoc {
 public:
  // For a received or new HTTP message (taking it over). Nothing is parsed
  // yet; a junk packet gets the command id 65535.
  explicit CXMLDoc(std::unique_ptr<QWTools::HTTPCommon> carrier);
  // From bare XML text: parses it at once. On success the document gets a
  // carrier of the kind head/type names (a request with an empty URL, or a
  // "200 OK" response) whose body is the text; on failure it has no carrier
  // and the command id 65535. Either way the carrier kind is 2.
  explicit CXMLDoc(const std::string& xml);
  ~CXMLDoc() override;

  int serialize(int resultCode) override;
  int deserialize() override;
  const char* GetText() override;
  int GetCmdId() const override { return cmdId_; }
  void SetCmdId(int id) override { cmdId_ = id; }
  int GetResultCode() const override { return resultCode_; }
  std::string GetResultText() const override { return resultText_; }
  void SetResult(int code, const char* text) override;
  void SetBodyValue(const std::string& key, const std::string& value) override;
  void SetHeadValue(const std::string& key, const std::string& value) override;
  const char* GetValue(const char* path) override;
  int SetValue(const char* path, const void* value, int valueType) override;
  int SyncHeaders() override;
  int RemoveBodyValues(const char* key) override;

  // Parses `text` as an envelope (a null text is unparsable). Returns 0, 13
  // for text that is not XML or a "head" that is not an element, 14 without
  // "pdu" or "head", 15 without "operation" or "type", 16 without "body".
  // An operation that is not in the command table is no error: the command
  // id becomes -1.
  int deserialize(const char* text);

  // The numbers of head/session and head/sequence as last parsed (0 absent).
  int GetSession() const { return session_; }
  int GetSequence() const { return sequence_; }
  // 1 for a request (see the constructors and deserialize).
  int IsRequest() const { return isRequest_; }
  // Length of the text GetText returned last.
  size_t GetTextLength() const { return text_.size(); }
  bool HasEnvelope() const { return head_ != nullptr && body_ != nullptr; }
  // The tree itself, for inspection.
  const TiXmlDocument& GetTree() const { return xml_; }

  // Longest result text kept.
  static constexpr size_t kMaxResultText = 255;

 private:
  // The envelope builder: declaration, head (operation, type, session,
  // sequence, result) and an empty body.
  int BuildEnvelope(int resultCode, int messageKind, int sequence, const std::string& session);

  int cmdId_ = 0;
  int resultCode_ = 0;
  std::string resultText_;
  int session_ = 0;
  int sequence_ = 0;
  TiXmlDocument xml_;
  std::string text_;
  int isRequest_ = 0;
  TiXmlElement* body_ = nullptr;
  TiXmlElement* head_ = nullptr;
};

#endif  // KVR_PROTOCOL_MESSAGE_XML_DOC_H_
