// CDsParser: turns a received control message into its data unit.
//
// One process-wide parser (CSingleton<CDsParser>) serves the receive path
// of the TCP communication modules. Its mode says what a text is (0: a whole
// HTTP message, 2: bare XML); the last error tells why the last CreatePDU
// gave no unit. Both are atomics, so reading them from another thread is
// safe, but the last error only means something to the thread that parsed.
#ifndef KVR_PROTOCOL_MESSAGE_DS_PARSER_H_
#define KVR_PROTOCOL_MESSAGE_DS_PARSER_H_

#include <atomic>

#include "protocol/message/pdu.h"
#include "svrframe/singleton.h"

class CDsParser {
 public:
  CDsParser();
  CDsParser(const CDsParser&) = delete;
  CDsParser& operator=(const CDsParser&) = delete;

  static CDsParser* Instance() { return CSingleton<CDsParser>::Instance(); }

  // A new unit for `text` (count 0: the caller takes the first reference),
  // or null with the reason in the last error: 10 not an HTTP message (or no
  // text), 12 no document, 9 an unknown mode, 6 no unit, or the unit's own
  // status. An envelope that cannot be read, a junk packet and an unknown
  // operation are no errors: they give an invalid packet unit, last error 0.
  IZETAPDU* CreatePDU(const char* text);
  // The same for `length` bytes of `text` (which need not end in a NUL).
  IZETAPDU* CreatePDU(const char* text, int length);

  int GetMode() const { return mode_.load(std::memory_order_relaxed); }
  void SetMode(int mode) { mode_.store(mode, std::memory_order_relaxed); }
  int GetLastError() const { return lastError_.load(std::memory_order_relaxed); }

 private:
  IZETAPDU* Fail(int error);

  std::atomic<int> mode_{kvr::pdu::kPduModeHttp};
  std::atomic<int> lastError_{0};
};

#endif  // KVR_PROTOCOL_MESSAGE_DS_PARSER_H_
