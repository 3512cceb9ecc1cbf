// Sample messages shared by the protocol tests: the texts the platform's
// clients really exchange, byte for byte.
#ifndef KVR_TESTS_PROTOCOL_SAMPLE_MESSAGES_H_
#define KVR_TESTS_PROTOCOL_SAMPLE_MESSAGES_H_

namespace kvr_test {

// A "KeepAlive" request of session 12, sequence 7, as the XML writer prints it.
inline constexpr char kKeepAliveRequest[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\" ?>\n<pdu>\n    <head>\n"
    "        <operation>KeepAlive</operation>\n        <type>request</type>\n"
    "        <session>12</session>\n        <sequence>7</sequence>\n"
    "        <result code=\"0\">Sucess</result>\n    </head>\n    <body>\n"
    "        <cuId>client-01</cuId>\n        <cuName>operator</cuName>\n"
    "        <keepAlivePeriod>30</keepAlivePeriod>\n    </body>\n</pdu>\n";

}  // namespace kvr_test

#endif  // KVR_TESTS_PROTOCOL_SAMPLE_MESSAGES_H_
