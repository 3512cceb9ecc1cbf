// The data units of the control protocol: the typed form of one message.
//
// IZETAPDU is a unit backed by a message document (zeta_doc.h), which it
// owns together with the document's HTTP carrier; IRequestPDU and
// IResponsePDU are the two directions. The fields of each unit are declared
// once in a field table (pdu_fields.h) from which loading and encoding follow;
// pdu_unit.h turns such a declaration into a unit class.
//
// Units are inner messages of the module framework: shared by reference
// count (a new unit has count 0, the first holder takes a reference) and
// handed between threads only through the framework's queues. A unit is used
// by one thread at a time.
#ifndef KVR_PROTOCOL_MESSAGE_PDU_H_
#define KVR_PROTOCOL_MESSAGE_PDU_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "io/auto_buffer.h"
#include "protocol/message/pdu_fields.h"
#include "protocol/message/xml_doc.h"
#include "protocol/message/zeta_codes.h"
#include "protocol/message/zeta_doc.h"
#include "svrframe/inner_protocol_stack.h"

namespace kvr::pdu {

// What a text handed to the parser is, and what ToBuffer prints.
enum PduTextMode : int {
  kPduModeHttp = 0,  // a whole HTTP message with the XML as its body
  kPduModeXml = 2,   // the bare XML
};

// Header values of every message this service makes.
inline constexpr char kPduContentType[] = "text/xml";
inline constexpr char kPduUserAgent[] = "Vestramox Middle Ware 2.1";
inline constexpr char kPduProtocolVersion[] = "1.0";

// A new document for a message to send: for kind 1 a "POST /<command name>
// HTTP/1.1" request, else a "HTTP/1.1 200 OK" response, each with the
// headers "Content-Type", "User-Agent" and "x_Protocol_Version", and the
// command id set. The envelope is not built yet (serialize does that).
std::unique_ptr<CXMLDoc> MakeMessageDoc(int messageKind, int cmdId);

}  // namespace kvr::pdu

class IZETAPDU : public SvrFrame::CInnerProtocolStack {
 public:
  IZETAPDU() = default;
  explicit IZETAPDU(std::unique_ptr<CzetaDoc> doc) : doc_(std::move(doc)) {}
  ~IZETAPDU() override;
  IZETAPDU(const IZETAPDU&) = delete;
  IZETAPDU& operator=(const IZETAPDU&) = delete;

  // "QW".
  const char* GetProtocolName() const override;
  // The operation name of the command id; "Invalid_CmdId" without a
  // document or for an id outside the command table.
  const char* GetCommandName() const override;
  // The document's result code in decimal ("-1" without a document).
  CSecureString GetResultText() const override;
  // The document's carrier kind (0 without a document).
  int32_t GetCarrierKind() const override;
  // Request units: a new reply unit of the same command for sending, with
  // its default fields and an envelope built with `resultCode` (sequence 1,
  // empty session). Count 0. Null here and for replies.
  virtual IZETAPDU* CreateAck(int resultCode);
  // Writes the unit's fields into its document. Leaves the status at 0, or 5
  // when a field could not be written.
  virtual void Encode();

  CzetaDoc* GetDoc() const { return doc_.get(); }
  // Gives the unit a (new) document; the old one is deleted.
  void SetDoc(std::unique_ptr<CzetaDoc> doc) { doc_ = std::move(doc); }
  // 0 good, otherwise a result code.
  int GetStatus() const { return status_; }
  void SetStatus(int status) { status_ = status; }

  // The document's command id; 65535 without a document.
  int GetCmdId() const;
  void SetCmdId(int id);
  int GetResultCode() const;
  // The document's result text ("" without a document).
  std::string GetDocResultText() const;
  // Null or empty text: the table text of the code.
  void SetResult(int code, const char* text = nullptr);

  // Reads one value at `path` (a key or a list path) of `valueType` into
  // `out`: int and uint read -2 when absent, text copies at most `width` - 1
  // bytes ("" when absent), bool reads 1 for text beginning "true", 0 for
  // other text, -2 when absent. Returns 0, or 5 (nothing written) for an
  // unknown type, a null `out`, a text without width or a unit without
  // document.
  int LoadValue(const char* path, void* out, int valueType, size_t width = 0) const;

  // Encodes the unit and prints it into a new buffer: mode 0 the whole HTTP
  // message (its "Content-Length" set to the XML length), mode 2 the XML
  // alone. Null with status 5 when nothing could be printed or the mode is
  // neither; null with the Encode status when encoding failed.
  CReferPtr<CAutoBuffer> ToBuffer(int mode = kvr::pdu::kPduModeHttp);

  // Header "Cookie" = "sessionId=<id>" (cut to 63 characters).
  void SetCookie(const char* id);
  std::string GetCookie() const;
  // Header "Set-Cookie" = "sessionId=<id>".
  void SetSessionCookie(const char* id);
  // From "Set-Cookie": the text between the first "=" and the first ";";
  // nothing when either is missing (or the ";" comes first).
  std::optional<std::string> GetSessionCookie() const;
  // Header "Session"; setting also sets head/session.
  std::string GetSession() const;
  void SetSession(const char* session);
  // Header "CSeq"; setting also sets head/sequence.
  std::string GetSequence() const;
  void SetSequence(const char* sequence);
  // Header "Date".
  std::string GetDate() const;
  void SetDate(const char* date);
  // Requests only: URL "http://host:port/path/<command name>" (without
  // "path/" when the path is empty), cut to 255 characters. Returns 0, or 5
  // for a reply or a unit without carrier.
  int SetURL(int cmdId, const char* host, int port, const char* path);
  // The URL after its last "/" (the whole URL without one).
  std::string GetURLCommand() const;

  // Lists: `list` names the element and the members' field table; `item`
  // is the member in the list's item type. AddListItem writes one member at
  // the write cursor and advances it (0). NextListItem reads the member at
  // the read cursor (after moving it back to 0 when `restart`), advances it,
  // and returns 0 when the list's deciding member (the first text member, or
  // else the first member) is there, 3 at the end of the list.
  template <class Item>
  int AddListItem(const kvr::pdu::PduList<Item>& list, const Item& item) {
    return AddListItemRaw(list, &item);
  }
  template <class Item>
  int NextListItem(const kvr::pdu::PduList<Item>& list, Item* item, bool restart) {
    return item != nullptr ? NextListItemRaw(list, item, restart) : kvr::pdu::kResultCodeFail;
  }
  // The cursors of a list slot (0 when the slot is out of range).
  int GetListReadCursor(int slot) const;
  int GetListWriteCursor(int slot) const;

 protected:
  // Loads the fields of a table into `object` (the unit's field block).
  void LoadDeclaredFields(kvr::pdu::PduFields fields, void* object);
  // Writes them in table order, replacing what the body held under the same keys.
  void EncodeDeclaredFields(kvr::pdu::PduFields fields, const void* object);

 private:
  int AddListItemRaw(const kvr::pdu::PduListSpec& list, const void* item);
  int NextListItemRaw(const kvr::pdu::PduListSpec& list, void* item, bool restart);
  std::string Header(const char* name) const;
  void SetHeader(const char* name, const char* value);

  struct ListCursor {
    int32_t read = 0;
    int32_t write = 0;
  };

  std::unique_ptr<CzetaDoc> doc_;
  int status_ = 0;
  std::array<ListCursor, kvr::pdu::kMaxPduLists> cursors_{};
};

class IRequestPDU : public IZETAPDU {
 public:
  using IZETAPDU::IZETAPDU;
  int32_t GetMessageKind() const override { return SvrFrame::kRequestMessage; }

  // Reads body element "plmStage(n)" into `out` (at most `width` - 1 bytes),
  // n being the stage cursor, which `restart` resets to 0 and every call
  // advances. Returns 0 when the text is not empty, else 3.
  int NextStage(char* out, size_t width, bool restart);

 private:
  int32_t stageIndex_ = 0;
};

class IResponsePDU : public IZETAPDU {
 public:
  using IZETAPDU::IZETAPDU;
  int32_t GetMessageKind() const override { return SvrFrame::kReplyMessage; }
};

#endif  // KVR_PROTOCOL_MESSAGE_PDU_H_
