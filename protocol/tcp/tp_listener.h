// What a TCP server reports to whoever serves its connections.
//
// The server calls these from its polling thread only, inside Poll. OnData
// runs while the server holds its client lock: a listener may queue sends from
// there but must not close a connection. `context` is the value the server
// was made with, handed back on every call.
#ifndef KVR_PROTOCOL_TCP_TP_LISTENER_H_
#define KVR_PROTOCOL_TCP_TP_LISTENER_H_

#include <cstdint>

class ITPListener {
 public:
  virtual ~ITPListener() = default;

  // Bytes arrived. `data` is the server's read buffer with a NUL after the
  // last byte, valid only during the call.
  virtual int OnData(uint32_t context, int32_t connId, const char* data, int length) = 0;
  // The peer closed the connection or it failed; the id is gone afterwards.
  virtual int OnClose(uint32_t context, int32_t connId) = 0;
  // A client was accepted; `peerIp` is IPv4 dotted or IPv6 text, `peerPort`
  // in host order.
  // A non-zero result refuses the client.
  virtual int OnConnect(uint32_t context, int32_t connId, const char* peerIp,
                        uint16_t peerPort) = 0;
  // The queued send numbered `sequence` has been written out.
  virtual int OnSent(uint32_t context, int32_t connId, int sequence) = 0;
};

#endif  // KVR_PROTOCOL_TCP_TP_LISTENER_H_
