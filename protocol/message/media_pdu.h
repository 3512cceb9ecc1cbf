// Media data units: a block of stream bytes travelling from a media source
// to its record file writer through the module framework (message kind 49,
// command "MediaData"). Never printed as a control message.
//
// The bytes live in a reference-counted CAutoBuffer that the unit holds and
// releases when it dies; holders of the buffer may keep it beyond the unit.
// Shared by reference count like every inner message; used by one thread at
// a time.
#ifndef KVR_PROTOCOL_MESSAGE_MEDIA_PDU_H_
#define KVR_PROTOCOL_MESSAGE_MEDIA_PDU_H_

#include <cstdint>
#include <string>

#include "io/auto_buffer.h"
#include "io/spare_memory.h"
#include "svrframe/inner_protocol_stack.h"

class IMediaPDU : public SvrFrame::CInnerProtocolStack {
 public:
  // The unit's status: 9 ("Not distinguish") for a media unit of no known kind.
  virtual int GetStatus() const { return 9; }

  // The payload buffer, or null.
  CAutoBuffer* GetBuffer() const { return buffer_.get(); }
  const char* GetData() const { return buffer_ ? buffer_->Data() : nullptr; }
  // Payload bytes (0 without a payload).
  int GetDataSize() const { return buffer_ ? buffer_->Size() : 0; }

 protected:
  CReferPtr<CAutoBuffer> buffer_;
};

class CQwMediaData final : public IMediaPDU, public kvr::io::Recycled {
 public:
  // Media kinds a unit can be made for: plain data and stream data.
  static constexpr int kKindData = 0;
  static constexpr int kKindStream = 4;

  // A unit holding a copy of `length` bytes of `data`, count 0. Null for a
  // kind other than 0 or 4. No data or a length below 1 gives a unit without
  // payload and status 8; a buffer that cannot be had gives status 12.
  static CQwMediaData* Create(const char* data, int length, int kind);

  const char* GetProtocolName() const override { return "QW"; }
  const char* GetCommandName() const override { return "MediaData"; }
  // Media units answer the fixed text "Empty data" here; routing matches on it.
  CSecureString GetResultText() const override { return CSecureString("Empty data"); }
  int32_t GetMessageKind() const override { return SvrFrame::kMediaDataMessage; }
  // The unit's format version (1 unless set).
  int32_t GetCarrierKind() const override { return version_; }
  int GetStatus() const override { return status_; }

  // The kind the unit was made for (0 or 4).
  int GetMediaKind() const { return mediaKind_; }
  // Free-form values the media intake may attach.
  void SetStreamName(const std::string& name) { streamName_ = name; }
  const std::string& GetStreamName() const { return streamName_; }
  void SetVersion(uint16_t version) { version_ = version; }
  uint16_t GetVersion() const { return version_; }
  void SetFrameType(uint8_t type) { frameType_ = type; }
  uint8_t GetFrameType() const { return frameType_; }
  void SetFlags(uint8_t flags) { flags_ = flags; }
  uint8_t GetFlags() const { return flags_; }
  void SetChannel(uint16_t channel) { channel_ = channel; }
  uint16_t GetChannel() const { return channel_; }
  void SetTimestamp(uint32_t timestamp) { timestamp_ = timestamp; }
  uint32_t GetTimestamp() const { return timestamp_; }

 private:
  CQwMediaData() = default;

  std::string streamName_;
  uint16_t version_ = 1;
  uint8_t frameType_ = 0;
  uint8_t flags_ = 0;
  uint16_t channel_ = 0;
  uint32_t timestamp_ = 0;
  int mediaKind_ = kKindData;
  int status_ = 0;
};

#endif  // KVR_PROTOCOL_MESSAGE_MEDIA_PDU_H_
