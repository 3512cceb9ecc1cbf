// The work kinds of the command dealing module's event threads.
//
// A CEvent is only a type code; each event thread owns one and is told to
// work by a flag, then does the work its event names. Types 1 to 6 drain one
// message queue each, 7 carries out module operations, 8 ends the thread's
// loop. Owned by the command dealing module; used under its thread locks.
#ifndef KVR_SVRFRAME_EVENT_H_
#define KVR_SVRFRAME_EVENT_H_

#include <cstdint>

namespace QWTools {

enum EventType : int32_t {
  kReceiveControlDataEvent = 1,
  kSendControlDataEvent = 2,
  kReceiveDataEvent = 3,
  kSendDataEvent = 4,
  kReceiveNRDataEvent = 5,
  kSendNRDataEvent = 6,
  kMessageEvent = 7,
  kCloseEvent = 8,
};

class CEvent {
 public:
  explicit CEvent(int32_t type) : type_(type) {}
  virtual ~CEvent() = default;
  int32_t GetType() const { return type_; }

 private:
  int32_t type_;
};

class CReceiveControlDataEvent : public CEvent {
 public:
  CReceiveControlDataEvent() : CEvent(kReceiveControlDataEvent) {}
};
class CSendControlDataEvent : public CEvent {
 public:
  CSendControlDataEvent() : CEvent(kSendControlDataEvent) {}
};
class CReceiveDataEvent : public CEvent {
 public:
  CReceiveDataEvent() : CEvent(kReceiveDataEvent) {}
};
class CSendDataEvent : public CEvent {
 public:
  CSendDataEvent() : CEvent(kSendDataEvent) {}
};
class CReceiveNRDataEvent : public CEvent {
 public:
  CReceiveNRDataEvent() : CEvent(kReceiveNRDataEvent) {}
};
class CSendNRDataEvent : public CEvent {
 public:
  CSendNRDataEvent() : CEvent(kSendNRDataEvent) {}
};
class CMessageEvent : public CEvent {
 public:
  CMessageEvent() : CEvent(kMessageEvent) {}
};
class CCloseEvent : public CEvent {
 public:
  CCloseEvent() : CEvent(kCloseEvent) {}
};

}  // namespace QWTools

#endif  // KVR_SVRFRAME_EVENT_H_
