// Helpers of the protocol tests: values joined for one comparison, so that a
// failing check shows every field at once, and message texts as clients send them.
#ifndef KVR_TESTS_PROTOCOL_MESSAGE_TEST_UTIL_H_
#define KVR_TESTS_PROTOCOL_MESSAGE_TEST_UTIL_H_

#include <memory>
#include <sstream>
#include <string>

#include "io/auto_buffer.h"
#include "protocol/message/xml_doc.h"
#include "svrframe/referable.h"

namespace kvr_test {

// The values with a '|' after each. Arguments are taken by reference, so
// out-parameters filled by other arguments' calls are read after all calls.
// The order in which arguments are evaluated is unspecified: a call that
// changes what another argument reads belongs in a statement of its own.
template <class... T>
std::string Join(const T&... values) {
  std::ostringstream out;
  const auto put = [&out](const auto& value) {
    if constexpr (requires { value.c_str(); }) {
      out << value.c_str() << '|';
    } else {
      out << value << '|';
    }
  };
  (put(values), ...);
  return out.str();
}

// The bytes of a printed message, "<null>" when there are none.
inline std::string Text(const CReferPtr<CAutoBuffer>& buffer) {
  return buffer ? std::string(buffer->Data(), static_cast<size_t>(buffer->Size())) : "<null>";
}

// A document of `operation` with head type `type` (any text) holding `body`.
inline std::unique_ptr<CzetaDoc> Doc(const std::string& operation, const std::string& type,
                                     const std::string& body) {
  return std::make_unique<CXMLDoc>("<pdu><head><operation>" + operation + "</operation><type>" +
                                   type + "</type></head><body>" + body + "</body></pdu>");
}

// A message envelope of session 12, sequence 7, holding `body`.
inline std::string Envelope(const std::string& operation, bool request,
                            const std::string& body = "") {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\" ?>\n<pdu><head><operation>" + operation +
         "</operation><type>" + (request ? "request" : "response") +
         "</type><session>12</session><sequence>7</sequence><result code=\"0\">Sucess</result>"
         "</head><body>" +
         body + "</body></pdu>\n";
}

// `xml` as the body of an HTTP request to `operation` or of an HTTP response.
inline std::string Http(const std::string& operation, bool request, const std::string& xml) {
  std::string length = "Content-Length: " + std::to_string(xml.size()) + "\r\n";
  return request ? "POST /" + operation + " HTTP/1.1\r\n" + length + "CSeq: 7\r\n\r\n" + xml
                 : "HTTP/1.1 200 OK\r\n" + length + "\r\n" + xml;
}

}  // namespace kvr_test

#endif  // KVR_TESTS_PROTOCOL_MESSAGE_TEST_UTIL_H_
