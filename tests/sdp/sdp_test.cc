#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "sdp/src/qw_sdp.h"

namespace {

SDPErrors ParseText(CQwSdp& sdp, const std::string& text) {
  return sdp.Parse(text.data(), static_cast<int>(text.size()));
}

testing::AssertionResult Parses(CQwSdp& sdp, const std::string& text) {
  SDPErrors error = ParseText(sdp, text);
  if (!error.IsError()) return testing::AssertionSuccess();
  return testing::AssertionFailure() << error.ToString() << " parsing " << text;
}

std::string Printed(CQwSdp& sdp) {
  std::string text;
  SDPErrors error = sdp.Print(&text);
  EXPECT_FALSE(error.IsError()) << error.ToString();
  return text;
}

const char kCamera[] =
    "v=0\r\no=- 1733400000 1 IN IP4 10.0.0.5\r\ns=Live Stream\r\nc=IN IP4 0.0.0.0\r\n"
    "b=AS:2048\r\nt=0 0\r\na=tool:camera firmware 2.1\r\nm=video 0 RTP/AVP 96\r\n"
    "a=control:trackID=1\r\na=rtpmap:96 H264/90000\r\n"
    "a=fmtp:96 packetization-mode=1;profile-level-id=42e01f\r\nm=audio 0 RTP/AVP 97\r\n"
    "b=AS:64\r\na=rtpmap:97 MPEG4-GENERIC/44100/2\r\na=framerate:25\r\n";

TEST(SdpErrorsTest, CatalogueAndPrintedForm) {
  EXPECT_EQ(SDPErrors::Count(), 105);
  EXPECT_STREQ(SDPErrors::MessageOf(0), "No error");
  EXPECT_STREQ(SDPErrors::MessageOf(29), "Parse error in bandwith item");
  EXPECT_STREQ(SDPErrors::MessageOf(104), "error with parameter");
  for (int outside : {105, -1})
    EXPECT_STREQ(SDPErrors::MessageOf(outside), "Error in ErrMsg library");
  EXPECT_EQ(SDPErrors().ToString(), "NoErrMsg");
  int user = 0;
  SDPErrors error(46, "/build/sdp/src/qw_sdp.cc", 77, &user);
  EXPECT_EQ(error.ToString(), "Class: SDPErrors, Code: 46, File: qw_sdp.cc, Line: 77\n");
  EXPECT_EQ(error.UserData(), &user);
}

TEST(SdpParseTest, SessionAndMediaFieldsOfACameraDescription) {
  CQwSdp sdp;
  ASSERT_TRUE(Parses(sdp, kCamera));
  EXPECT_EQ(std::string(sdp.Origin().SessionId()) + "|" + sdp.Origin().Address() + "|" +
                sdp.SessionName() + "|" + sdp.Connection().Address(),
            "1733400000|10.0.0.5|Live Stream|0.0.0.0");
  EXPECT_EQ(sdp.Bandwidth().ValueKbps(), 2048);
  EXPECT_EQ(sdp.Items().size(), 7u);  // the session lines end at the first "m="

  ASSERT_EQ(sdp.MediaCount(), 2);
  CSDPMedia *video = sdp.GetMedia(0), *audio = sdp.GetMedia(1);
  EXPECT_EQ(sdp.GetMedia(2), nullptr);
  EXPECT_EQ(std::tuple(video->MediaLine().MediaType(), audio->MediaLine().MediaType()),
            std::tuple(CSDPMediaType::kVideo, CSDPMediaType::kAudio));
  EXPECT_STREQ(video->MediaLine().Formats(), "96");
  EXPECT_EQ(audio->Bandwidth().ValueKbps(), 64);

  const CSDPRtpMapAttribute* h264 = video->FindRtpMap(96);
  ASSERT_NE(h264, nullptr);
  EXPECT_EQ(std::string(h264->EncodingName()) + "/" + std::to_string(h264->ClockRate()),
            "H264/90000");
  ASSERT_TRUE(audio->FindRtpMap(97) != nullptr && video->FindRtpMap(97) == nullptr);
  EXPECT_EQ(audio->FindRtpMap(97)->EncodingParameters(), 2);
  ASSERT_EQ(video->Fmtps().size(), 1u);
  EXPECT_STREQ(video->Fmtps()[0].Parameters(), "packetization-mode=1;profile-level-id=42e01f");

  int rate = 0;
  std::string control;
  EXPECT_TRUE(!audio->GetIntAttribute("framerate", &rate).IsError() && rate == 25);
  EXPECT_TRUE(!video->GetTextAttribute("control", &control).IsError() && control == "trackID=1");
  EXPECT_EQ(video->GetIntAttribute("control", &rate).Code(), kSdpErrAttributeValue);
  EXPECT_EQ(video->GetTextAttribute("range", &control).Code(), kSdpErrAttributeNotFound);

  // The generic split of name, extra and value.
  for (auto [name, extra, value] :
       {std::tuple{"rtpmap", "", "96 H264/90000\r\n"},
        {"fmtp", "96 packetization-mode=1", "profile-level-id=42e01f\r\n"}}) {
    const CSDPGenerDescribe* item = video->FindAttribute(name);
    ASSERT_NE(item, nullptr) << name;
    EXPECT_EQ(std::string(item->Extra()) + "|" + item->Value(), std::string(extra) + "|" + value);
  }
  // A two-letter bandwidth modifier is taken as the item name.
  EXPECT_EQ(std::string(sdp.Items()[4]->Name()) + "|" + sdp.Items()[4]->Value(), "AS|2048\r\n");
  // A ':' before line position 4 does not make a name.
  ASSERT_TRUE(Parses(sdp, "v=0\r\nx=a:b\r\n"));
  EXPECT_STREQ(sdp.Items()[1]->Name(), "");
}

TEST(SdpParseTest, VersionLineAndBrokenLines) {
  for (auto [text, version] : {std::pair{"v=0 \r\ns=x\r\n", 0}, {"v= \t2\t\r\n", 2}}) {
    CQwSdp sdp;
    ASSERT_TRUE(Parses(sdp, text));
    EXPECT_EQ(sdp.Version(), version) << text;
  }
  const std::pair<int, std::vector<std::string>> failures[] = {
      {kSdpErrActivation, {""}},
      {kSdpErrMissingVersion, {"s=no version\r\n"}},
      {kSdpErrInvalidVersion, {"v=zero\r\n", "v=1 x\r\n", "v=\r\n"}},
      {kSdpErrMissingDescribeWord, {"v=0\r\ns=x\r\nno equals\r\n", "v=0\r\ns\r\n"}},
      {kSdpErrAttributeValue, {"v=0\r\na=rtpmap:", "v=0\r\na=fmtp:96;"}},
      {kSdpErrMediaNotFound, {"v=0\r\nm=video 0 RTP/AVP 96\r\nbroken\r\n"}}};
  for (const auto& [code, texts] : failures) {
    for (const std::string& text : texts) {
      CQwSdp sdp;
      EXPECT_EQ(ParseText(sdp, text).Code(), code) << text;
    }
  }
  CQwSdp sdp;
  EXPECT_EQ(sdp.Parse(nullptr, 10).Code(), kSdpErrActivation);
}

TEST(SdpParseTest, LineEndsTheEndOfTheDescriptionAndLeadingLines) {
  CQwSdp sdp;
  ASSERT_TRUE(Parses(sdp, "v=0\ns=lf\rm=video 5 RTP/AVP 96\na=rtpmap:96 H264/90000"));
  EXPECT_STREQ(sdp.SessionName(), "lf");
  ASSERT_EQ(sdp.MediaCount(), 1);
  EXPECT_EQ(std::tuple(sdp.GetMedia(0)->MediaLine().Port(), sdp.GetMedia(0)->RtpMaps().size()),
            std::tuple(5, 1u));
  // An empty line ends the description.
  ASSERT_TRUE(Parses(sdp, "v=0\r\nm=video 0 RTP/AVP 96\r\n\r\nm=audio 0 RTP/AVP 0\r\n"));
  EXPECT_EQ(sdp.MediaCount(), 1);
  // A parse replaces what was there.
  ASSERT_TRUE(Parses(sdp, "v=2\r\n"));
  EXPECT_TRUE(*sdp.SessionName() == '\0' && sdp.MediaCount() == 0);
  // Length 0 reads up to the NUL.
  ASSERT_FALSE(sdp.Parse("v=0\r\ns=nul\r\n\0s=hidden\r\n", 0).IsError());
  EXPECT_STREQ(sdp.SessionName(), "nul");
  // Lines before the version are skipped, yet counted as read.
  const std::string text = "a=leftover:1\r\nq=junk\r\nv=0\r\ns=After\r\n";
  ASSERT_TRUE(Parses(sdp, text));
  EXPECT_EQ(sdp.Items().size(), 2u);
  EXPECT_EQ(sdp.Consumed(), static_cast<int>(text.size()));
}

TEST(SdpParseTest, TypedItemsReadTheirStandardForms) {
  CQwSdp sdp;
  ASSERT_TRUE(Parses(sdp,
                     "v=0\r\no=alice 2890844526 2890842807 IN IP6 fe80::1\r\n"
                     "c=IN IP6 ff15::101\r\nb=CT:99999999999\r\n"
                     "t=3034423619 3042462419\r\n"
                     "m=data 9 TCP/RTP/AVP 100 101 102\r\n"
                     "m=application 9 UDP/BFCP *\r\n"));
  EXPECT_EQ(std::string(sdp.Origin().Address()) + " " + sdp.Connection().Address(),
            "fe80::1 ff15::101");
  EXPECT_EQ(std::tuple(sdp.Bandwidth().ValueKbps(), sdp.Time().Start(), sdp.Time().Stop()),
            std::tuple(2147483647, 3034423619, 3042462419));
  ASSERT_EQ(sdp.MediaCount(), 2);
  EXPECT_EQ(sdp.GetMedia(0)->MediaLine().MediaType(), CSDPMediaType::kData);
  EXPECT_STREQ(sdp.GetMedia(0)->MediaLine().Formats(), "100 101 102");
  // Only the name spelt "applicattion" counts as kind 3.
  EXPECT_EQ(sdp.GetMedia(1)->MediaLine().MediaType(), CSDPMediaType::kUndefined);
}

TEST(SdpPrintTest, ParsedDescriptionPrintsEveryLineAsReceived) {
  const std::string sprop =
      "a=fmtp:96 packetization-mode=1;sprop-parameter-sets=" + std::string(300, 'Z') +
      "==,aM4G4g==\r\n";
  const std::string long_value = "a=x-long:" + std::string(3000, 'v') + "\r\n";
  const std::string cases[] = {
      kCamera,
      // Repeated lines of kinds with one field, an over-long fmtp, a property
      // attribute, lines the typed fields do not hold, blanks around the version.
      "v=0 \r\ns=Two\r\nc=IN IP4 10.0.0.1\r\nc=IN IP4 10.0.0.2\r\nb=AS:512\r\nb=RR:800\r\n"
      "t=0 0\r\nt=3034423619 3042462419\r\na=recvonly\r\nm=video 0 RTP/AVP 96\r\n"
      "c=IN IP4 10.0.0.3\r\nc=IN IP4 10.0.0.4\r\nb=AS:1\r\nb=TIAS:2\r\n" +
          sprop + "a=rtpmap:96  H264/90000\r\n",
      "v=0\ns=" + std::string(300, 'N') + "\nc=IN IP4\nt=-1 0\nm=application 9 UDP/BFCP *\n" +
          "a=rtpmap:x\n" + long_value,
  };
  for (const std::string& text : cases) {
    CQwSdp sdp;
    ASSERT_TRUE(Parses(sdp, text));
    EXPECT_EQ(Printed(sdp), text);
  }
  // The first of repeated lines fills the field; a text too long for its
  // field is cut there (and only there).
  CQwSdp sdp;
  ASSERT_TRUE(Parses(sdp, cases[1]));
  EXPECT_EQ(std::string(sdp.Connection().Address()) + " " + sdp.GetMedia(0)->Connection().Address(),
            "10.0.0.1 10.0.0.3");
  EXPECT_EQ(sdp.Time().Stop(), 0);
  ASSERT_TRUE(Parses(sdp, cases[2]));
  EXPECT_EQ(sdp.SessionName(), std::string(128, 'N'));
}

TEST(SdpPrintTest, ChangedFieldsPrintFromTheirValuesInPlace) {
  CQwSdp sdp;
  ASSERT_TRUE(Parses(sdp,
                     "v=0\r\no=- 1 1 IN IP4 10.0.0.5\r\ns=Old\r\ni=gone\r\n"
                     "c=IN IP4 0.0.0.0\r\nc=IN IP4 0.0.0.9\r\nt=0 0\r\n"
                     "m=video 0 RTP/AVP 96\r\na=rtpmap:96 H264/90000\r\n"));
  sdp.SetVersion(1);
  sdp.SetSessionName("New");
  sdp.SetInformation("");
  sdp.SetPhone("+1 555");  // no line for it: it goes where a phone line belongs
  sdp.Connection().Set("IN", "IP4", "10.1.1.1");
  sdp.GetMedia(0)->AddRtpMap(97, "PCMA", 8000);
  EXPECT_EQ(Printed(sdp),
            "v=1\r\no=- 1 1 IN IP4 10.0.0.5\r\ns=New\r\np=+1 555\r\nc=IN IP4 10.1.1.1\r\n"
            "c=IN IP4 0.0.0.9\r\nt=0 0\r\nm=video 0 RTP/AVP 96\r\n"
            "a=rtpmap:96 H264/90000\r\na=rtpmap:97 PCMA/8000\r\n");
}

TEST(SdpBuildTest, BuiltDescriptionPrintsInTheStandardOrderOrFailsWhole) {
  CQwSdp sdp;
  sdp.Time().Set(0, 0);
  sdp.Origin().Set("kvr", "42", "1", "IN", "IP4", "192.168.1.2");
  EXPECT_TRUE(sdp.SetSessionName("  Recording \r\n"));
  EXPECT_FALSE(sdp.SetInformation(std::string(200, 'i')));  // cut
  CSDPMedia* media = nullptr;
  ASSERT_FALSE(sdp.AddMedia(&media, CSDPMediaType::kVideo, 0, "RTP/AVP", "96").IsError());
  ASSERT_NE(media, nullptr);
  media->AddFmtp("96", "packetization-mode=1");
  media->Connection().Set("IN", "IP4", "0.0.0.0");
  media->AddRtpMap(96, "H264", 90000);
  ASSERT_FALSE(sdp.AddMedia(nullptr, CSDPMediaType::kAudio, 0, "RTP/AVP", "0").IsError());
  for (auto [type, port, transport] : {std::tuple{CSDPMediaType::kUndefined, 0, "RTP/AVP"},
                                       {CSDPMediaType::kVideo, -1, "RTP/AVP"},
                                       {CSDPMediaType::kVideo, 0, ""}}) {
    EXPECT_EQ(sdp.AddMedia(nullptr, type, port, transport, "0").Code(), kSdpErrParameter);
  }
  EXPECT_EQ(sdp.MediaCount(), 2) << "refused sections are not added";

  EXPECT_EQ(Printed(sdp),
            "v=0\r\no=kvr 42 1 IN IP4 192.168.1.2\r\ns=Recording\r\ni=" + std::string(128, 'i') +
                "\r\nt=0 0\r\nm=video 0 RTP/AVP 96\r\n"
                "c=IN IP4 0.0.0.0\r\na=rtpmap:96 H264/90000\r\n"
                "a=fmtp:96 packetization-mode=1\r\nm=audio 0 RTP/AVP 0\r\n");

  // Lines that yield no text fail the print and leave the output alone.
  std::string printed = "untouched";
  sdp.Connection().Set("IN", "", "10.0.0.1");
  EXPECT_EQ(sdp.Print(&printed).Code(), kSdpErrAppendBuffer);
  sdp.Connection().Set("IN", "IP4", "10.0.0.1");
  auto nameless = std::make_unique<CSDPGenerDescribe>('a');
  nameless->SetValue("sendonly");
  ASSERT_FALSE(sdp.AddItem(std::move(nameless)).IsError());
  EXPECT_EQ(sdp.Print(&printed).Code(), kSdpErrAppendBuffer);
  EXPECT_EQ(printed, "untouched");
  EXPECT_EQ(sdp.Print(nullptr).Code(), kSdpErrParameter);
}

TEST(SdpItemTest, ValidityRulesOfBuiltItems) {
  CSDPGenerDescribe item('a');
  item.SetName("range");
  item.SetExtra("npt");
  item.SetValue("0-\n");
  EXPECT_EQ(item.ToText(), "a=range:npt;0-\n");

  CSDPRtpMapAttribute rtpmap;
  for (auto [payload, rate] : {std::pair{96, 0}, {-1, 90000}}) {
    rtpmap.Set(payload, "H264", rate);
    EXPECT_FALSE(rtpmap.IsValid()) << payload << " " << rate;
  }
  CSDPBandwidth bandwidth;
  CSDPTime time;
  CSDPFmtpAttribute fmtp;
  bandwidth.Set("AS", 0);
  time.Set(0, -1);
  fmtp.Set("96", "");
  EXPECT_FALSE(bandwidth.IsValid() || time.IsValid() || fmtp.IsValid());
  CSDPMediaType line;
  line.Set(CSDPMediaType::kApplication, 9, "UDP", "*");
  EXPECT_EQ(line.ToText(), "m=applicattion 9 UDP *\r\n");
  line.Set(6, 9, "UDP", "*");
  EXPECT_FALSE(line.IsValid());

  char field[4];
  EXPECT_FALSE(CopySdpText(field, "ab cd"));
  EXPECT_STREQ(field, "ab");  // a cut never leaves a trailing blank
}

}  // namespace
