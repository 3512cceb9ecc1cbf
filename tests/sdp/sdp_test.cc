#include <gtest/gtest.h>

#include <string>

#include "sdp/src/qw_sdp.h"

namespace {

SDPErrors ParseText(CQwSdp& sdp, const std::string& text) {
  return sdp.Parse(text.data(), static_cast<int>(text.size()));
}

const char kCamera[] =
    "v=0\r\n"
    "o=- 1733400000 1 IN IP4 10.0.0.5\r\n"
    "s=Live Stream\r\n"
    "c=IN IP4 0.0.0.0\r\n"
    "b=AS:2048\r\n"
    "t=0 0\r\n"
    "a=tool:camera firmware 2.1\r\n"
    "m=video 0 RTP/AVP 96\r\n"
    "a=control:trackID=1\r\n"
    "a=rtpmap:96 H264/90000\r\n"
    "a=fmtp:96 packetization-mode=1;profile-level-id=42e01f\r\n"
    "m=audio 0 RTP/AVP 97\r\n"
    "b=AS:64\r\n"
    "a=rtpmap:97 MPEG4-GENERIC/44100/2\r\n"
    "a=framerate:25\r\n";

TEST(SdpErrorsTest, CatalogueAndPrintedForm) {
  EXPECT_EQ(SDPErrors::Count(), 105);
  EXPECT_STREQ(SDPErrors::MessageOf(0), "No error");
  EXPECT_STREQ(SDPErrors::MessageOf(29), "Parse error in bandwith item");
  EXPECT_STREQ(SDPErrors::MessageOf(104), "error with parameter");
  for (int outside : {105, -1})
    EXPECT_STREQ(SDPErrors::MessageOf(outside), "Error in ErrMsg library");

  SDPErrors none;
  EXPECT_FALSE(none.IsError());
  EXPECT_EQ(none.ToString(), "NoErrMsg");

  int user = 0;
  SDPErrors error(46, "/build/sdp/src/qw_sdp.cc", 77, &user);
  EXPECT_STREQ(error.Message(), "attribute value is wrong");
  EXPECT_EQ(error.ToString(), "Class: SDPErrors, Code: 46, File: qw_sdp.cc, Line: 77\n");
  EXPECT_EQ(error.UserData(), &user);
  ErrMsgBase& base = error;
  EXPECT_STREQ(base.ClassName(), "SDPErrors");
}

TEST(SdpParseTest, SessionAndMediaFieldsOfACameraDescription) {
  CQwSdp sdp;
  SDPErrors error = ParseText(sdp, kCamera);
  ASSERT_FALSE(error.IsError()) << error.ToString();
  EXPECT_STREQ(sdp.Origin().SessionId(), "1733400000");
  EXPECT_STREQ(sdp.Origin().Address(), "10.0.0.5");
  EXPECT_STREQ(sdp.SessionName(), "Live Stream");
  EXPECT_STREQ(sdp.Connection().Address(), "0.0.0.0");
  EXPECT_EQ(sdp.Bandwidth().ValueKbps(), 2048);
  ASSERT_EQ(sdp.Items().size(), 7u);  // the session lines only
  EXPECT_STREQ(sdp.Items()[6]->Name(), "tool");

  // Two sections, in order.
  ASSERT_EQ(sdp.MediaCount(), 2);
  CSDPMedia* video = sdp.GetMedia(0);
  CSDPMedia* audio = sdp.GetMedia(1);
  EXPECT_EQ(sdp.GetMedia(2), nullptr);
  EXPECT_EQ(sdp.GetMedia(-1), nullptr);
  EXPECT_EQ(video->MediaLine().MediaType(), CSDPMediaType::kVideo);
  EXPECT_STREQ(video->MediaLine().Formats(), "96");
  EXPECT_EQ(audio->MediaLine().MediaType(), CSDPMediaType::kAudio);
  EXPECT_EQ(audio->Bandwidth().ValueKbps(), 64);

  // rtpmap H264/90000 filed with its three values.
  const CSDPRtpMapAttribute* h264 = video->FindRtpMap(96);
  ASSERT_NE(h264, nullptr);
  EXPECT_STREQ(h264->EncodingName(), "H264");
  EXPECT_EQ(h264->ClockRate(), 90000);
  EXPECT_EQ(h264->EncodingParameters(), 0);
  ASSERT_NE(audio->FindRtpMap(97), nullptr);
  EXPECT_EQ(audio->FindRtpMap(97)->EncodingParameters(), 2);
  EXPECT_EQ(video->FindRtpMap(97), nullptr);

  // fmtp keeps its parameters whole, ";" included.
  ASSERT_EQ(video->Fmtps().size(), 1u);
  EXPECT_STREQ(video->Fmtps()[0].Parameters(), "packetization-mode=1;profile-level-id=42e01f");

  int rate = 0;
  EXPECT_FALSE(audio->GetIntAttribute("framerate", &rate).IsError());
  EXPECT_EQ(rate, 25);
  std::string control;
  EXPECT_FALSE(video->GetTextAttribute("control", &control).IsError());
  EXPECT_EQ(control, "trackID=1");
  EXPECT_EQ(video->GetIntAttribute("control", &rate).Code(), kSdpErrAttributeValue);
  EXPECT_EQ(video->GetTextAttribute("range", &control).Code(), kSdpErrAttributeNotFound);
  EXPECT_EQ(video->GetTextAttribute("control", nullptr).Code(), kSdpErrParameter);
}

TEST(SdpParseTest, GenericSplitOfNameExtraAndValue) {
  CQwSdp sdp;
  ASSERT_FALSE(ParseText(sdp, kCamera).IsError());
  CSDPMedia* video = sdp.GetMedia(0);
  // "a=rtpmap:96 H264/90000": the name ends at the ':' and the value keeps the line end.
  const CSDPGenerDescribe* rtpmap = video->FindAttribute("rtpmap");
  ASSERT_NE(rtpmap, nullptr);
  EXPECT_STREQ(rtpmap->Value(), "96 H264/90000\r\n");
  EXPECT_STREQ(rtpmap->Extra(), "");
  // A ';' after the name ends an extra part.
  const CSDPGenerDescribe* fmtp = video->FindAttribute("fmtp");
  ASSERT_NE(fmtp, nullptr);
  EXPECT_STREQ(fmtp->Extra(), "96 packetization-mode=1");
  EXPECT_STREQ(fmtp->Value(), "profile-level-id=42e01f\r\n");
  // A two-letter bandwidth modifier is taken as the item name.
  const CSDPGenerDescribe* bandwidth = sdp.Items()[4].get();
  EXPECT_STREQ(bandwidth->Name(), "AS");
  EXPECT_STREQ(bandwidth->Value(), "2048\r\n");
  // A ':' before line position 4 does not make a name.
  ASSERT_FALSE(ParseText(sdp, "v=0\r\nx=a:b\r\n").IsError());
  EXPECT_STREQ(sdp.Items()[1]->Name(), "");
  EXPECT_STREQ(sdp.Items()[1]->Value(), "a:b\r\n");
}

TEST(SdpParseTest, LinesBeforeVersionAreSkipped) {
  const std::string text = "a=leftover:1\r\nq=junk\r\nv=0\r\ns=After\r\n";
  CQwSdp sdp;
  ASSERT_FALSE(ParseText(sdp, text).IsError());
  ASSERT_EQ(sdp.Items().size(), 2u);
  EXPECT_EQ(sdp.Items()[0]->Type(), 'v');
  EXPECT_STREQ(sdp.SessionName(), "After");
  EXPECT_EQ(sdp.FindAttribute("leftover"), nullptr);
  EXPECT_EQ(sdp.Consumed(), static_cast<int>(text.size()));
}

TEST(SdpParseTest, MalformedDescriptionsGiveTheirCodes) {
  CQwSdp sdp;
  EXPECT_EQ(sdp.Parse(nullptr, 10).Code(), kSdpErrActivation);
  EXPECT_EQ(sdp.Parse("", 0).Code(), kSdpErrActivation);
  EXPECT_EQ(ParseText(sdp, "v=0\r\ns=x\r\nthis line has no equals\r\n").Code(),
            kSdpErrMissingDescribeWord);
  EXPECT_EQ(ParseText(sdp, "v=0\r\ns\r\n").Code(), kSdpErrMissingDescribeWord);
  EXPECT_EQ(ParseText(sdp, "v=0\r\ns=x\r\nx").Code(), kSdpErrMissingDescribeWord);
  EXPECT_EQ(ParseText(sdp, "s=no version\r\n").Code(), kSdpErrMissingVersion);
  EXPECT_EQ(ParseText(sdp, "v=zero\r\n").Code(), kSdpErrInvalidVersion);
  EXPECT_EQ(ParseText(sdp, "v=1x\r\n").Code(), kSdpErrInvalidVersion);
  // A name with nothing after it (not even a line end).
  EXPECT_EQ(ParseText(sdp, "v=0\r\na=rtpmap:").Code(), kSdpErrAttributeValue);
  EXPECT_EQ(ParseText(sdp, "v=0\r\na=fmtp:96;").Code(), kSdpErrAttributeValue);
  // A broken line inside a media section fails the whole parse with 45.
  SDPErrors error = ParseText(sdp, "v=0\r\nm=video 0 RTP/AVP 96\r\nbroken\r\n");
  EXPECT_EQ(error.Code(), kSdpErrMediaNotFound);
  EXPECT_STREQ(error.Message(), "SDP media is not found");
  EXPECT_EQ(sdp.MediaCount(), 0);
}

TEST(SdpParseTest, LineEndsAndTheEndOfTheDescription) {
  CQwSdp sdp;
  // LF alone, CR alone, no line end on the last line.
  ASSERT_FALSE(ParseText(sdp, "v=0\ns=lf\rm=video 5 RTP/AVP 96\na=rtpmap:96 H264/90000").IsError());
  EXPECT_STREQ(sdp.SessionName(), "lf");
  ASSERT_EQ(sdp.MediaCount(), 1);
  EXPECT_EQ(sdp.GetMedia(0)->MediaLine().Port(), 5);
  EXPECT_EQ(sdp.GetMedia(0)->RtpMaps().size(), 1u);
  // An empty line ends the description: what follows is not read.
  ASSERT_FALSE(ParseText(sdp, "v=0\r\ns=a\r\n\r\nm=video 0 RTP/AVP 96\r\n").IsError());
  EXPECT_EQ(sdp.MediaCount(), 0);
  ASSERT_FALSE(
      ParseText(sdp, "v=0\r\nm=video 0 RTP/AVP 96\r\n\r\nm=audio 0 RTP/AVP 0\r\n").IsError());
  EXPECT_EQ(sdp.MediaCount(), 1);
  // A parse replaces what was there.
  ASSERT_FALSE(ParseText(sdp, "v=2\r\n").IsError());
  EXPECT_EQ(sdp.Version(), 2);
  EXPECT_STREQ(sdp.SessionName(), "");
  EXPECT_EQ(sdp.MediaCount(), 0);
  // Length 0 reads up to the NUL.
  ASSERT_FALSE(sdp.Parse("v=0\r\ns=nul\r\n\0s=hidden\r\n", 0).IsError());
  EXPECT_STREQ(sdp.SessionName(), "nul");
}

TEST(SdpParseTest, OverlongTextsAreCutToTheirFields) {
  const std::string long_name(300, 'N');
  const std::string long_attribute(200, 'k');
  const std::string long_value(3000, 'v');
  CQwSdp sdp;
  ASSERT_FALSE(ParseText(sdp, "v=0\r\ns=" + long_name + "\r\na=" + long_attribute + ":" +
                                  long_value + "\r\na=zz:" + long_attribute + ";x\r\n")
                   .IsError());
  EXPECT_EQ(std::string(sdp.SessionName()), long_name.substr(0, 128));
  const CSDPGenerDescribe* attribute = sdp.Items()[2].get();
  EXPECT_EQ(std::string(attribute->Name()), long_attribute.substr(0, 128));
  EXPECT_EQ(std::string(attribute->Value()), long_value.substr(0, 2048));
  EXPECT_EQ(std::string(sdp.Items()[3]->Extra()), long_attribute.substr(0, 128));
  // The cut value has lost its line end; the printed line gets one.
  std::string printed;
  ASSERT_FALSE(sdp.Print(&printed).IsError());
  EXPECT_NE(printed.find(long_value.substr(0, 2048) + "\r\na=zz:"), std::string::npos);
}

TEST(SdpParseTest, TypedItemsReadTheirStandardForms) {
  CQwSdp sdp;
  ASSERT_FALSE(ParseText(sdp,
                         "v=0\r\no=alice 2890844526 2890842807 IN IP6 fe80::1\r\n"
                         "c=IN IP6 ff15::101\r\nb=CT:99999999999\r\n"
                         "t=3034423619 3042462419\r\n"
                         "m=data 9 TCP/RTP/AVP 100 101 102\r\n"
                         "m=application 9 UDP/BFCP *\r\n")
                   .IsError());
  EXPECT_STREQ(sdp.Origin().Address(), "fe80::1");
  EXPECT_STREQ(sdp.Connection().Address(), "ff15::101");
  EXPECT_EQ(sdp.Bandwidth().ValueKbps(), 2147483647);
  EXPECT_EQ(sdp.Time().Start(), 3034423619);
  EXPECT_EQ(sdp.Time().Stop(), 3042462419);
  ASSERT_EQ(sdp.MediaCount(), 2);
  EXPECT_EQ(sdp.GetMedia(0)->MediaLine().MediaType(), CSDPMediaType::kData);
  EXPECT_STREQ(sdp.GetMedia(0)->MediaLine().Formats(), "100 101 102");
  // Only the name spelt "applicattion" counts as kind 3.
  EXPECT_EQ(sdp.GetMedia(1)->MediaLine().MediaType(), CSDPMediaType::kUndefined);
  EXPECT_FALSE(sdp.GetMedia(1)->MediaLine().IsValid());
}

TEST(SdpPrintTest, ParsedDescriptionPrintsTypedLinesFirst) {
  CQwSdp sdp;
  ASSERT_FALSE(ParseText(sdp, kCamera).IsError());
  std::string printed;
  ASSERT_FALSE(sdp.Print(&printed).IsError());
  // The input with the video's control line moved behind its rtpmap and fmtp.
  std::string expected = kCamera;
  const std::string control = "a=control:trackID=1\r\n";
  expected.erase(expected.find(control), control.size());
  expected.insert(expected.find("m=audio"), control);
  EXPECT_EQ(printed, expected);
  EXPECT_EQ(sdp.GetMedia(1)->Text(), expected.substr(expected.find("m=audio")));
  // Printing is stable: what was printed parses and prints the same.
  CQwSdp again;
  ASSERT_FALSE(ParseText(again, printed).IsError());
  std::string twice;
  ASSERT_FALSE(again.Print(&twice).IsError());
  EXPECT_EQ(twice, printed);
}

TEST(SdpPrintTest, InvalidTypedLinesPrintAsReceived) {
  CQwSdp sdp;
  const std::string text = "v=0\nc=IN IP4\nt=-1 0\nm=application 9 UDP/BFCP *\na=rtpmap:x\n";
  ASSERT_FALSE(ParseText(sdp, text).IsError());
  EXPECT_FALSE(sdp.Connection().IsValid());
  std::string printed;
  ASSERT_FALSE(sdp.Print(&printed).IsError());
  EXPECT_EQ(printed, "v=0\r\nc=IN IP4\nt=-1 0\nm=application 9 UDP/BFCP *\na=rtpmap:x\n");
}

TEST(SdpPrintTest, LinesThatYieldNoTextFailThePrint) {
  CQwSdp sdp;
  // A property attribute has no name, and such an attribute prints nothing.
  ASSERT_FALSE(ParseText(sdp, "v=0\r\nm=video 0 RTP/AVP 96\r\na=recvonly\r\n").IsError());
  std::string printed = "untouched";
  EXPECT_EQ(sdp.Print(&printed).Code(), kSdpErrAppendBuffer);
  EXPECT_EQ(printed, "untouched");
  EXPECT_EQ(sdp.Print(nullptr).Code(), kSdpErrParameter);

  // A typed item made invalid by its setter has no received line to fall back on.
  CQwSdp built;
  built.Connection().Set("IN", "", "10.0.0.1");
  EXPECT_EQ(built.Print(&printed).Code(), kSdpErrAppendBuffer);
}

TEST(SdpBuildTest, BuiltDescriptionPrints) {
  CQwSdp sdp;
  sdp.Origin().Set("kvr", "42", "1", "IN", "IP4", "192.168.1.2");
  EXPECT_TRUE(sdp.SetSessionName("  Recording \r\n"));
  EXPECT_FALSE(sdp.SetInformation(std::string(200, 'i')));  // cut
  sdp.Time().Set(0, 0);
  CSDPMedia* media = nullptr;
  ASSERT_FALSE(sdp.AddMedia(&media, CSDPMediaType::kVideo, 0, "RTP/AVP", "96").IsError());
  ASSERT_NE(media, nullptr);
  media->Connection().Set("IN", "IP4", "0.0.0.0");
  media->AddRtpMap(96, "H264", 90000);
  media->AddFmtp("96", "packetization-mode=1");
  auto control = std::make_unique<CSDPGenerDescribe>('a');
  control->SetName("control");
  control->SetValue("trackID=0");
  EXPECT_FALSE(media->AddItem(std::move(control)).IsError());
  EXPECT_EQ(media->AddItem(nullptr).Code(), kSdpErrParameter);
  ASSERT_FALSE(sdp.AddMedia(nullptr, CSDPMediaType::kAudio, 0, "RTP/AVP", "0").IsError());

  constexpr int kBad = kSdpErrParameter;
  EXPECT_EQ(sdp.AddMedia(nullptr, CSDPMediaType::kUndefined, 0, "RTP/AVP", "0").Code(), kBad);
  EXPECT_EQ(sdp.AddMedia(nullptr, CSDPMediaType::kVideo, -1, "RTP/AVP", "0").Code(), kBad);
  EXPECT_EQ(sdp.AddMedia(nullptr, CSDPMediaType::kVideo, 0, "", "0").Code(), kBad);
  EXPECT_EQ(sdp.MediaCount(), 2) << "refused sections are not added";

  std::string printed;
  ASSERT_FALSE(sdp.Print(&printed).IsError());
  EXPECT_EQ(printed,
            "v=0\r\no=kvr 42 1 IN IP4 192.168.1.2\r\ns=Recording\r\ni=" + std::string(128, 'i') +
                "\r\nt=0 0\r\n"
                "m=video 0 RTP/AVP 96\r\nc=IN IP4 0.0.0.0\r\n"
                "a=rtpmap:96 H264/90000\r\na=fmtp:96 packetization-mode=1\r\n"
                "a=control:trackID=0\r\n"
                "m=audio 0 RTP/AVP 0\r\n");
}

TEST(SdpItemTest, GenericItemPrintAndValidity) {
  CSDPGenerDescribe item('a');
  item.SetValue("sendonly");
  EXPECT_FALSE(item.IsValid());
  EXPECT_EQ(item.ToText(), "");
  item.SetName("range");
  item.SetExtra("npt");
  item.SetValue("0-\n");
  EXPECT_TRUE(item.IsValid());
  EXPECT_EQ(item.ToText(), "a=range:npt;0-\n");
  CSDPGenerDescribe empty('x');
  EXPECT_FALSE(empty.IsValid());

  char field[4];
  EXPECT_TRUE(CopySdpField(field, "abc"));
  EXPECT_FALSE(CopySdpField(field, "abcd"));
  EXPECT_STREQ(field, "abc");
  EXPECT_FALSE(CopySdpText(field, "ab cd"));
  EXPECT_STREQ(field, "ab");  // a cut never leaves a trailing blank
}

TEST(SdpItemTest, TypedValidityRules) {
  CSDPRtpMapAttribute rtpmap;
  for (auto [payload, rate] : {std::pair{96, 0}, {-1, 90000}}) {
    rtpmap.Set(payload, "H264", rate);
    EXPECT_FALSE(rtpmap.IsValid()) << payload << " " << rate;
  }
  rtpmap.Set(0, "PCMU", 8000);
  EXPECT_EQ(rtpmap.ToText(), "a=rtpmap:0 PCMU/8000\r\n");
  CSDPBandwidth bandwidth;
  bandwidth.Set("AS", 0);
  EXPECT_FALSE(bandwidth.IsValid());
  CSDPTime time;
  time.Set(0, -1);
  EXPECT_FALSE(time.IsValid());
  CSDPFmtpAttribute fmtp;
  fmtp.Set("96", "");
  EXPECT_FALSE(fmtp.IsValid());

  CSDPMediaType line;
  line.Set(CSDPMediaType::kApplication, 9, "UDP", "*");
  EXPECT_EQ(line.ToText(), "m=applicattion 9 UDP *\r\n");
  line.Set(6, 9, "UDP", "*");
  EXPECT_FALSE(line.IsValid());
}

}  // namespace
