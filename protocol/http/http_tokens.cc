#include "protocol/http/http_tokens.h"

namespace QWTools {

const std::vector<HttpTokenTable>& HttpTokenTables() {
  // Never destroyed: the service's threads outlive the host's main and may
  // still print a message while the process's static objects are torn down.
  static const auto* const tables = new std::vector<HttpTokenTable>{
      {kProtocolHttp,
       {"OPTIONS", "GET", "HEAD", "POST", "PUT", "DELETE", "TRACE", "CONNECT"},
       {"HTTP/1.1", "HTTP/1.0"}},
      {kProtocolSip, {"INVITE", "BYE", "INFO", "REGISTER", "CANCEL"}, {"SIP/2.0", "ACK"}},
      {kProtocolRtsp,
       {"OPTIONS", "DESCRIBE", "ANNOUNCE", "SETUP", "PLAY", "RECORD", "PAUSE", "TEARDOWN",
        "GET_PARAMETER", "SET_PARAMETER", "REDIRECT"},
       {"RTSP/1.0"}},
      {4, {}, {}},
  };
  return *tables;
}

HttpTokenMatch FindHttpToken(std::string_view token) {
  for (const HttpTokenTable& table : HttpTokenTables()) {
    for (std::string_view method : table.methods) {
      if (method == token) return {table.protocol, kKindRequest};
    }
    for (std::string_view version : table.versions) {
      if (version == token) return {table.protocol, kKindResponse};
    }
  }
  return {};
}

}  // namespace QWTools
