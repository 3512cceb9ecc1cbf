#include "protocol/message/xml_doc.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <iterator>
#include <memory>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "protocol/message/zeta_codes.h"
#include "tests/protocol/message_test_util.h"
#include "tests/test_util.h"

namespace {

using kvr::pdu::kCarrierHttp;
using kvr::pdu::kCmdKeepAlive;
using kvr::pdu::kCmdNone;
using kvr::pdu::kCmdRecRealMedia;
using kvr::pdu::kCmdRegister;
using kvr::pdu::kCmdStoreConfigGet;
using kvr::pdu::kResultCodeFail;
using kvr::pdu::kResultXmlBody;
using kvr::pdu::kResultXmlElement;
using kvr::pdu::kResultXmlHead;
using kvr::pdu::kResultXmlParse;

using kvr_test::Join;
using ::testing::AllOf;
using ::testing::HasSubstr;

// The XML of the KeepAlive request of session 12, sequence 7, as a client sends it.
const std::string kKeepAliveRequest = [] {
  const std::string message = kvr_test::KeepAliveRequest(7);
  return message.substr(message.find("<?xml"));
}();

constexpr char kKeepAliveReply[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\" ?>\n<pdu>\n    <head>\n"
    "        <operation>KeepAlive</operation>\n        <type>response</type>\n"
    "        <session></session>\n        <sequence>1</sequence>\n"
    "        <result code=\"0\">Sucess</result>\n    </head>\n    <body />\n</pdu>\n";

std::unique_ptr<CXMLDoc> NewDoc(int kind, int cmd) {
  std::unique_ptr<QWTools::HTTPCommon> carrier;
  if (kind == 1) carrier = std::make_unique<QWTools::HTTPRequest>("/x");
  if (kind == 2) carrier = std::make_unique<QWTools::HTTPResponse>(200, "OK");
  auto doc = std::make_unique<CXMLDoc>(std::move(carrier));
  doc->SetCmdId(cmd);
  return doc;
}

// TinyXML's own printing of a tree to a file, the layout every client expects.
std::string PrintedByTinyXml(const TiXmlDocument& tree) {
  FILE* file = std::tmpfile();
  if (file == nullptr) return "<no tmpfile>";
  tree.Print(file, 0);
  std::string text;
  std::rewind(file);
  char chunk[4096];
  size_t got;
  while ((got = std::fread(chunk, 1, sizeof(chunk), file)) > 0) text.append(chunk, got);
  std::fclose(file);
  return text;
}

// A new reply has an empty session and sequence 1; building it again
// replaces the envelope rather than adding a second.
TEST(XmlDocTest, ReplyEnvelopeBeforeSessionAndSequence) {
  auto doc = NewDoc(2, kCmdKeepAlive);
  for (int round = 0; round < 2; ++round) {
    ASSERT_EQ(doc->serialize(0), 0);
    EXPECT_STREQ(doc->GetText(), kKeepAliveReply) << round;
  }
}

TEST(XmlDocTest, PrintingMatchesTinyXmlForAnyTree) {
  const char* texts[] = {
      kKeepAliveRequest.c_str(),
      "<?xml version=\"1.0\"?><pdu a='x\"y' b=\"&amp;&lt;\"><head/><body>t&amp;&#x01;<i>1</i>tail"
      "<!--note--><![CDATA[raw <x>]]><e></e></body></pdu>",
      "<!DOCTYPE pdu><pdu><head><x>  spaced   out  </x></head><body><a><b><c>deep</c></b></a>"
      "</body></pdu><trailer/>",
      "<pdu><head><operation>A&quot;B&apos;C&gt;</operation></head></pdu>",
  };
  for (const char* text : texts) {
    CXMLDoc doc{std::string()};
    doc.deserialize(text);
    ASSERT_FALSE(doc.GetTree().Error()) << text;
    EXPECT_EQ(std::string(doc.GetText()), PrintedByTinyXml(doc.GetTree())) << text;
  }
}

TEST(XmlDocTest, DeserializeReadsTheHead) {
  CXMLDoc doc{kKeepAliveRequest};
  EXPECT_EQ(std::tuple(doc.GetCmdId(), doc.IsRequest(), doc.GetSession(), doc.GetSequence()),
            std::tuple(kCmdKeepAlive, 1, 12, 7));
  // Printing a parsed message gives it back unchanged.
  EXPECT_EQ(Join(doc.GetValue("/cuName"), doc.GetText()), Join("operator", kKeepAliveRequest));
  EXPECT_EQ(doc.GetTextLength(), kKeepAliveRequest.size());

  CXMLDoc failed{
      std::string("<pdu><head><operation>StoreConfigGet</operation><type>response</type>"
                  "<result code=\"20\">" +
                  std::string(300, 'r') + "</result></head><body/></pdu>")};
  EXPECT_EQ(Join(failed.IsRequest(), failed.GetResultCode(), failed.GetResultText()),
            Join(0, 20, std::string(255, 'r')));
  // Missing session, sequence and result read as 0.
  CXMLDoc bare{std::string(
      "<pdu><head><operation>KeepAlive</operation><type>response</type></head><body/></pdu>")};
  EXPECT_EQ(std::tuple(bare.GetSession(), bare.GetSequence(), bare.GetResultCode()),
            std::tuple(0, 0, 0));
}

TEST(XmlDocTest, DeserializeFailuresHaveTheirCodesAndDeepNestingIsRefused) {
  // A "head" that is text, not an element, is no head.
  const std::pair<int, std::vector<const char*>> failures[] = {
      // A comment or CDATA that never ends must not send the nesting count past the text.
      {kResultXmlParse,
       {nullptr, "", "not xml <", "<pdu><head></pdu>", "<pdu>head</pdu>", "<pdu><!-- <a>",
        "<pdu><![CDATA[ <a>"}},
      {kResultXmlHead, {"<other/>", "<pdu><body/></pdu>"}},
      {kResultXmlElement,
       {"<pdu><head><type>request</type></head><body/></pdu>",
        "<pdu><head><operation>Register</operation></head><body/></pdu>"}},
      {kResultXmlBody,
       {"<pdu><head><operation>Register</operation><type>request</type></head></pdu>",
        "<pdu><head><operation>Register</operation><type>request</type><result/>text</head>"
        "body</pdu>"}}};
  for (const auto& [code, texts] : failures) {
    for (const char* text : texts) {
      CXMLDoc doc{std::string()};
      // The document stays usable: no envelope, so values go nowhere.
      int v = 1;
      EXPECT_EQ(doc.deserialize(text), code) << (text ? text : "null");
      EXPECT_EQ(Join(doc.HasEnvelope(), doc.SetValue("a", &v, kValueInt), !doc.GetValue("a")),
                Join(false, kResultCodeFail, true));
    }
  }

  // Deep nesting is refused before parsing.
  std::string deep = "<pdu><head><operation>KeepAlive</operation><type>request</type></head><body>";
  for (int i = 0; i < 100000; ++i) deep += "<a>";
  CXMLDoc doc{std::string()};
  EXPECT_EQ(doc.deserialize(deep.c_str()), kResultXmlParse);
  // Tricks that hide closing marks in quotes or comments do not lower the count.
  std::string hidden = "<pdu>";
  for (int i = 0; i < 200; ++i) hidden += "<a x=\"/>\"><!-- </a> -->";
  EXPECT_EQ(doc.deserialize(hidden.c_str()), kResultXmlParse);
  // A wide message is fine.
  std::string wide = "<pdu><head><operation>KeepAlive</operation><type>request</type></head><body>";
  for (int i = 0; i < 5000; ++i) wide += "<a><b>1</b></a>";
  wide += "</body></pdu>";
  EXPECT_EQ(doc.deserialize(wide.c_str()), 0);
}

TEST(XmlDocTest, ValueTypesAndTheAbsentMarker) {
  auto doc = NewDoc(1, kCmdRegister);
  doc->serialize(0);
  int32_t minus2 = ABSENT_VALUE, minus1 = -1, zero = 0;
  uint32_t big = 4294967295u, marker = 4294967294u;
  int32_t yes = 0x100 | 7, no = 0x100;  // only the lowest byte counts
  // An absent bool reads as true.
  for (auto [key, value, type] :
       {std::tuple<const char*, const void*, int>{"i", &minus2, kValueInt},
        {"i", &minus1, kValueInt},
        {"s", "", kValueString},
        {"s", "a<b", kValueString},
        {"u", &marker, kValueUint},
        {"u", &big, kValueUint},
        {"b", &yes, kValueBool},
        {"b", &no, kValueBool},
        {"b", &minus2, kValueBool},
        {"z", &zero, kValueInt}}) {
    EXPECT_EQ(doc->SetValue(key, value, type), 0) << key;
  }
  EXPECT_TRUE(doc->SetValue("x", &zero, 4) == kResultCodeFail &&
              doc->SetValue("x", &zero, 0) == kResultCodeFail);
  EXPECT_THAT(doc->GetText(), HasSubstr("<body>\n        <i>-1</i>\n        <s>a&lt;b</s>\n"
                                        "        <u>4294967295</u>\n        <b>true</b>\n"
                                        "        <b>false</b>\n        <b>true</b>\n"
                                        "        <z>0</z>\n    </body>"));
  EXPECT_TRUE(std::string(doc->GetValue("b(1)")) == "false" && !doc->GetValue("b(3)") &&
              !doc->GetValue("x"));
}

TEST(XmlDocTest, ListPathsBuildMembersInOrder) {
  auto doc = NewDoc(2, kCmdStoreConfigGet);
  doc->serialize(0);
  for (auto [path, value] : {std::pair{"list(0)/a", "1"},
                             {"list(0)/b", "2"},
                             {"list(1)/a", "3"},
                             {"list(1)/deeper(0)/c", "4"}}) {
    EXPECT_EQ(doc->SetValue(path, value, kValueString), 0) << path;
  }
  std::string text = doc->GetText();
  EXPECT_THAT(text, HasSubstr("    <body>\n        <list>\n            <a>1</a>\n"
                              "            <b>2</b>\n        </list>\n        <list>\n"
                              "            <a>3</a>\n            <deeper>\n"
                              "                <c>4</c>\n            </deeper>\n"
                              "        </list>\n    </body>\n"));
  // No index is the first; an element without text reads as "".
  EXPECT_EQ(Join(doc->GetValue("list/b"), doc->GetValue("//list(1)/deeper/c"),
                 doc->GetValue("list(2)/a") == nullptr, doc->GetValue("list(1)/deeper")),
            Join("2", "4", true, ""));
  // Malformed paths name nothing and write nothing.
  for (const char* bad : {"list(x)/a", "list(1/a", "list(1)x/a", "a//(2)", "", "/", "list()"}) {
    EXPECT_TRUE(!doc->GetValue(bad) && doc->SetValue(bad, "v", kValueString) == kResultCodeFail)
        << bad;
  }
  EXPECT_EQ(std::string(doc->GetText()), text);
}

TEST(XmlDocTest, ResultAndHeadAndBodyValues) {
  auto doc = NewDoc(2, kCmdRecRealMedia);
  doc->serialize(0);
  doc->SetResult(5, nullptr);
  EXPECT_TRUE(doc->GetResultCode() == 5 && doc->GetResultText() == "Code Fail");
  doc->SetResult(7, std::string(400, 'r').c_str());
  EXPECT_EQ(doc->GetResultText(), std::string(255, 'r'));
  doc->SetResult(9, "custom & text");
  doc->SetHeadValue("session", "abc"), doc->SetHeadValue("extra", "x");
  doc->SetBodyValue("volumn", "D:"), doc->SetBodyValue("volumn", "E:");  // replaces
  EXPECT_THAT(doc->GetText(), AllOf(HasSubstr("<session>abc</session>"),
                                    HasSubstr("<result code=\"9\">custom &amp; text</result>\n"
                                              "        <extra>x</extra>\n    </head>"),
                                    HasSubstr("<body>\n        <volumn>E:</volumn>\n    </body>")));

  // A parsed head without result gets one.
  CXMLDoc parsed{std::string(
      "<pdu><head><operation>KeepAlive</operation><type>response</type><session/></head>"
      "<body/></pdu>")};
  parsed.SetResult(3, nullptr), parsed.SetHeadValue("session", "5");
  EXPECT_THAT(parsed.GetText(),
              HasSubstr("<session>5</session>\n        <result code=\"3\">data finished</result>"));
}

TEST(XmlDocTest, CarriersOfBareXmlJunkAndNewDocuments) {
  CXMLDoc request{kKeepAliveRequest};
  CXMLDoc reply{std::string(kKeepAliveReply)};
  CXMLDoc broken{std::string("<pdu>")};
  ASSERT_TRUE(request.GetCarrier() && reply.GetCarrier());
  EXPECT_EQ(request.SyncHeaders(), 0);
  EXPECT_EQ(
      Join(request.GetCarrierMessageKind(), request.GetCarrier()->GetBody(),
           request.GetCarrier()->GetHeader("Session"), request.GetCarrier()->GetHeader("CSeq"),
           reply.GetCarrierMessageKind(), broken.GetCarrier() == nullptr, broken.SyncHeaders()),
      Join(1, kKeepAliveRequest, "12", "7", 2, true, kResultCodeFail));

  int status = 0;
  auto junk = QWTools::HTTPCommon::Parse("garbage POST / HTTP/1.1\r\nA: b\r\n\r\n", 0, &status);
  ASSERT_TRUE(junk && junk->IsJunkPacket());
  CXMLDoc junkDoc(std::move(junk));
  // A new document has nothing built yet, and its carrier no body to read.
  auto doc = NewDoc(1, kCmdKeepAlive);
  EXPECT_EQ(Join(junkDoc.GetCmdId(), junkDoc.GetCarrierKind(), doc->IsRequest(), doc->GetText()),
            Join(kCmdNone, kCarrierHttp, 1, ""));
  EXPECT_EQ(doc->deserialize(), kResultXmlParse);
}

}  // namespace
