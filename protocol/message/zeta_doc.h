// The message document: the XML envelope of one control message ("pdu" with
// "head" and "body") together with the HTTP message that carries it.
//
// CzetaDoc is the abstract document the data units talk to; CXMLDoc
// (xml_doc.h) is its one implementation. A document belongs to one data
// unit, which deletes it; the document owns its carrier. Used by one thread
// at a time.
#ifndef KVR_PROTOCOL_MESSAGE_ZETA_DOC_H_
#define KVR_PROTOCOL_MESSAGE_ZETA_DOC_H_

#include <memory>
#include <string>

#include "protocol/http/http_message.h"

namespace kvr::pdu {

// How a document came to be.
enum CarrierKind : int {
  kCarrierHttp = 0,     // from or for a whole HTTP message
  kCarrierBareXml = 2,  // from bare XML text
};

}  // namespace kvr::pdu

class CzetaDoc {
 public:
  CzetaDoc() = default;
  explicit CzetaDoc(std::unique_ptr<QWTools::HTTPCommon> carrier) : carrier_(std::move(carrier)) {}
  virtual ~CzetaDoc();
  CzetaDoc(const CzetaDoc&) = delete;
  CzetaDoc& operator=(const CzetaDoc&) = delete;

  // Rebuilds the whole envelope with `resultCode`, sequence 1 and an empty
  // session, dropping whatever the tree held. Returns 0, or 5 when the
  // envelope cannot be made.
  virtual int serialize(int resultCode) = 0;
  // Parses the carrier's body as an envelope. Returns 0 or the failing step's
  // result code (13 to 16); see CXMLDoc::deserialize.
  virtual int deserialize() = 0;
  // Prints the document. The text belongs to the document and stays valid
  // until the next GetText or the document's end; an empty tree prints "".
  virtual const char* GetText() = 0;
  virtual int GetCmdId() const = 0;
  virtual void SetCmdId(int id) = 0;
  virtual int GetResultCode() const { return -1; }
  virtual std::string GetResultText() const { return {}; }
  // Sets the result code and text (null or empty text: the table text of the
  // code) and writes both into head/result.
  virtual void SetResult(int code, const char* text) = 0;
  // Sets the text of the first child `key` of body (or head), adding the
  // element when there is none. Nothing happens while there is no envelope.
  virtual void SetBodyValue(const std::string& key, const std::string& value) = 0;
  virtual void SetHeadValue(const std::string& key, const std::string& value) = 0;
  // The text of the element at `path` under body ("" for an element without
  // text), or null when there is no such element.
  virtual const char* GetValue(const char* path) = 0;
  // Writes `value` of `valueType` (ValueType) at `path` under body. Returns 0
  // (also when the value is the absent marker and nothing is written), or 5
  // for an unknown type or a path that cannot be made.
  virtual int SetValue(const char* path, const void* value, int valueType) = 0;
  // Copies the numeric session and sequence into the carrier's "Session"
  // and "CSeq" headers; 5 without a carrier.
  virtual int SyncHeaders() = 0;
  // Removes every direct child `key` of body, so that a field written again
  // replaces the old value instead of repeating it. Returns how many went.
  virtual int RemoveBodyValues(const char* key) = 0;

  // The carrying message, or null.
  QWTools::HTTPCommon* GetCarrier() const { return carrier_.get(); }
  // The carrier's message kind (1 request, 2 response); 0 without a carrier.
  int GetCarrierMessageKind() const;
  int GetCarrierKind() const { return carrierKind_; }

 protected:
  std::unique_ptr<QWTools::HTTPCommon> carrier_;
  int carrierKind_ = kvr::pdu::kCarrierHttp;
};

#endif  // KVR_PROTOCOL_MESSAGE_ZETA_DOC_H_
