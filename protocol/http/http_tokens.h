// The start-line tokens of the three text protocols that share the message
// stack (HTTP, SIP, RTSP): per protocol one list of method tokens and one of
// version tokens. The tables are process-wide and constant once built (the
// first use builds them, thread-safely); any thread may search them.
#ifndef KVR_PROTOCOL_HTTP_HTTP_TOKENS_H_
#define KVR_PROTOCOL_HTTP_HTTP_TOKENS_H_

#include <string_view>
#include <vector>

namespace QWTools {

enum HttpProtocol : int {
  kProtocolUnknown = 0,
  kProtocolHttp = 1,
  kProtocolSip = 2,
  kProtocolRtsp = 3,
};

enum HttpMessageKind : int {
  kKindUnknown = 0,
  kKindRequest = 1,
  kKindResponse = 2,
};

struct HttpTokenTable {
  int protocol;  // 1 HTTP, 2 SIP, 3 RTSP, 4 the unused slot
  std::vector<std::string_view> methods;
  std::vector<std::string_view> versions;
};

// The four tables in search order (the fourth is empty).
const std::vector<HttpTokenTable>& HttpTokenTables();

struct HttpTokenMatch {
  int protocol = kProtocolUnknown;
  int kind = kKindUnknown;  // request for a method, response for a version
};

// Looks `token` up table by table, methods before versions; the first exact
// match wins (so "OPTIONS" is an HTTP method). No match: protocol and kind 0.
HttpTokenMatch FindHttpToken(std::string_view token);

}  // namespace QWTools

#endif  // KVR_PROTOCOL_HTTP_HTTP_TOKENS_H_
