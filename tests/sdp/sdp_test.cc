#include <gtest/gtest.h>

#include <sstream>
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
  return error.IsError() ? testing::AssertionFailure() << error.ToString() << " parsing " << text
                         : testing::AssertionSuccess();
}

// The values with a '|' after each, so that one comparison shows every difference.
template <class... T>
std::string Join(const T&... values) {
  std::ostringstream out;
  ((out << values << '|'), ...);
  return out.str();
}

std::string Printed(CQwSdp& sdp) {
  std::string text;
  return sdp.Print(&text).IsError() ? "<print failed>" : text;
}

const char kCamera[] =
    "v=0\r\no=- 1733400000 1 IN IP4 10.0.0.5\r\ns=Live Stream\r\nc=IN IP4 0.0.0.0\r\n"
    "b=AS:2048\r\nt=0 0\r\na=tool:camera firmware 2.1\r\nm=video 0 RTP/AVP 96\r\n"
    "a=control:trackID=1\r\na=rtpmap:96 H264/90000\r\n"
    "a=fmtp:96 packetization-mode=1;profile-level-id=42e01f\r\nm=audio 0 RTP/AVP 97\r\n"
    "b=AS:64\r\na=rtpmap:97 MPEG4-GENERIC/44100/2\r\na=framerate:25\r\n";

TEST(SdpParseTest, SessionMediaAndTypedFields) {
  CQwSdp sdp;
  ASSERT_TRUE(Parses(sdp, kCamera));
  CSDPMedia *video = sdp.GetMedia(0), *audio = sdp.GetMedia(1);
  const CSDPGenerDescribe *rtpmap = video->FindAttribute("rtpmap"),
                          *fmtp = video->FindAttribute("fmtp");
  ASSERT_TRUE(sdp.MediaCount() == 2 && video->FindRtpMap(96) && audio->FindRtpMap(97) &&
              video->Fmtps().size() == 1u && rtpmap && fmtp);
  const CSDPRtpMapAttribute *h264 = video->FindRtpMap(96), *aac = audio->FindRtpMap(97);
  // The session lines (7) end at the first "m="; a two-letter bandwidth modifier is taken as the
  // item name; the generic split of name, extra and value.
  EXPECT_EQ(
      Join(sdp.Origin().SessionId(), sdp.Origin().Address(), sdp.SessionName(),
           sdp.Connection().Address(), sdp.Bandwidth().ValueKbps(), sdp.Items().size(),
           video->MediaLine().MediaType(), audio->MediaLine().MediaType(),
           video->MediaLine().Formats(), audio->Bandwidth().ValueKbps(), !sdp.GetMedia(2),
           h264->EncodingName(), h264->ClockRate(), aac->EncodingParameters(),
           !video->FindRtpMap(97), video->Fmtps()[0].Parameters(), sdp.Items()[4]->Name(),
           sdp.Items()[4]->Value(), rtpmap->Extra(), rtpmap->Value(), fmtp->Extra(), fmtp->Value()),
      Join("1733400000", "10.0.0.5", "Live Stream", "0.0.0.0", 2048, 7, CSDPMediaType::kVideo,
           CSDPMediaType::kAudio, "96", 64, true, "H264", 90000, 2, true,
           "packetization-mode=1;profile-level-id=42e01f", "AS", "2048\r\n", "",
           "96 H264/90000\r\n", "96 packetization-mode=1", "profile-level-id=42e01f\r\n"));
  int rate = 0, bad_rate = 0;
  std::string control, range;
  EXPECT_EQ(Join(audio->GetIntAttribute("framerate", &rate).Code(),
                 video->GetTextAttribute("control", &control).Code(), rate, control,
                 video->GetIntAttribute("control", &bad_rate).Code(),
                 video->GetTextAttribute("range", &range).Code()),
            Join(0, 0, 25, "trackID=1", kSdpErrAttributeValue, kSdpErrAttributeNotFound));

  // A ':' before line position 4 does not make a name.
  ASSERT_TRUE(Parses(sdp, "v=0\r\nx=a:b\r\n"));
  EXPECT_STREQ(sdp.Items()[1]->Name(), "");
  // Typed items read their standard forms.
  ASSERT_TRUE(Parses(sdp,
                     "v=0\r\no=alice 2890844526 2890842807 IN IP6 fe80::1\r\n"
                     "c=IN IP6 ff15::101\r\nb=CT:99999999999\r\n"
                     "t=3034423619 3042462419\r\n"
                     "m=data 9 TCP/RTP/AVP 100 101 102\r\n"
                     "m=application 9 UDP/BFCP *\r\n") &&
              sdp.MediaCount() == 2);
  // Only the name spelt "applicattion" counts as kind 3.
  EXPECT_EQ(Join(sdp.Origin().Address(), sdp.Connection().Address(), sdp.Bandwidth().ValueKbps(),
                 sdp.Time().Start(), sdp.Time().Stop(), sdp.GetMedia(0)->MediaLine().MediaType(),
                 sdp.GetMedia(0)->MediaLine().Formats(), sdp.GetMedia(1)->MediaLine().MediaType()),
            Join("fe80::1", "ff15::101", 2147483647, 3034423619, 3042462419, CSDPMediaType::kData,
                 "100 101 102", CSDPMediaType::kUndefined));
}

TEST(SdpParseTest, VersionLineEndsLeadingLinesAndBrokenLines) {
  // One description parsed row after row, so each parse must replace what was there.
  // Outcome: version|session name|media count|session items|first port|its rtpmaps.
  const std::pair<std::string, std::string> rows[] = {
      {"v=0\ns=lf\rm=video 5 RTP/AVP 96\na=rtpmap:96 H264/90000", "0|lf|1|2|5|1|"},
      {"v=0 \r\ns=x\r\n", "0|x|0|2|-1|0|"},
      {"v= \t2\t\r\n", "2||0|1|-1|0|"},
      // An empty line ends the description.
      {"v=0\r\nm=video 0 RTP/AVP 96\r\n\r\nm=audio 0 RTP/AVP 0\r\n", "0||1|1|0|0|"},
      // Lines before the version are skipped, yet counted as read.
      {"a=leftover:1\r\nq=junk\r\nv=0\r\ns=After\r\n", "0|After|0|2|-1|0|"}};
  CQwSdp sdp;
  for (const auto& [text, want] : rows) {
    ASSERT_TRUE(Parses(sdp, text));
    CSDPMedia* m = sdp.GetMedia(0);
    EXPECT_EQ(Join(sdp.Version(), sdp.SessionName(), sdp.MediaCount(), sdp.Items().size(),
                   m ? m->MediaLine().Port() : -1, m ? m->RtpMaps().size() : 0),
              want)
        << text;
  }
  EXPECT_EQ(sdp.Consumed(), 36);
  // Length 0 reads up to the NUL.
  ASSERT_FALSE(sdp.Parse("v=0\r\ns=nul\r\n\0s=hidden\r\n", 0).IsError());
  EXPECT_STREQ(sdp.SessionName(), "nul");

  const std::pair<int, std::vector<std::string>> failures[] = {
      {kSdpErrActivation, {""}},
      {kSdpErrMissingVersion, {"s=no version\r\n"}},
      {kSdpErrInvalidVersion, {"v=zero\r\n", "v=1 x\r\n", "v=\r\n"}},
      {kSdpErrMissingDescribeWord, {"v=0\r\ns=x\r\nno equals\r\n", "v=0\r\ns\r\n"}},
      {kSdpErrAttributeValue, {"v=0\r\na=rtpmap:", "v=0\r\na=fmtp:96;"}},
      {kSdpErrMediaNotFound, {"v=0\r\nm=video 0 RTP/AVP 96\r\nbroken\r\n"}}};
  for (const auto& [code, texts] : failures)
    for (const std::string& text : texts) EXPECT_EQ(ParseText(sdp, text).Code(), code) << text;
  EXPECT_EQ(sdp.Parse(nullptr, 10).Code(), kSdpErrActivation);
}

TEST(SdpPrintTest, ParsedDescriptionPrintsEveryLineAsReceivedAndChangedOnesInPlace) {
  const std::string cases[] = {
      kCamera,
      // Repeated lines of kinds with one field, an over-long fmtp, a property
      // attribute, lines the typed fields do not hold, blanks around the version.
      "v=0 \r\ns=Two\r\nc=IN IP4 10.0.0.1\r\nc=IN IP4 10.0.0.2\r\nb=AS:512\r\nb=RR:800\r\n"
      "t=0 0\r\nt=3034423619 3042462419\r\na=recvonly\r\nm=video 0 RTP/AVP 96\r\n"
      "c=IN IP4 10.0.0.3\r\nc=IN IP4 10.0.0.4\r\nb=AS:1\r\nb=TIAS:2\r\n"
      "a=fmtp:96 packetization-mode=1;sprop-parameter-sets=" +
          std::string(300, 'Z') + "==,aM4G4g==\r\na=rtpmap:96  H264/90000\r\n",
      "v=0\ns=" + std::string(300, 'N') + "\nc=IN IP4\nt=-1 0\nm=application 9 UDP/BFCP *\n" +
          "a=rtpmap:x\na=x-long:" + std::string(3000, 'v') + "\r\n",
  };
  CQwSdp sdp;  // reused, so a parse that kept old lines would print them
  for (const std::string& text : cases) {
    ASSERT_TRUE(Parses(sdp, text));
    EXPECT_EQ(Printed(sdp), text);
  }
  // The first of repeated lines fills the field; a text too long for its
  // field is cut there (and only there).
  ASSERT_TRUE(Parses(sdp, cases[1]));
  EXPECT_EQ(std::string(sdp.Connection().Address()) + " " +
                sdp.GetMedia(0)->Connection().Address() + " " + std::to_string(sdp.Time().Stop()),
            "10.0.0.1 10.0.0.3 0");
  ASSERT_TRUE(Parses(sdp, cases[2]));
  EXPECT_EQ(sdp.SessionName(), std::string(128, 'N'));
  // Changed fields print from their values, in place.
  ASSERT_TRUE(Parses(sdp,
                     "v=0\r\no=- 1 1 IN IP4 10.0.0.5\r\ns=Old\r\ni=gone\r\n"
                     "c=IN IP4 0.0.0.0\r\nc=IN IP4 0.0.0.9\r\nt=0 0\r\n"
                     "m=video 0 RTP/AVP 96\r\na=rtpmap:96 H264/90000\r\n"));
  // A phone has no line: it goes where a phone line belongs.
  sdp.SetVersion(1), sdp.SetSessionName("New"), sdp.SetInformation(""), sdp.SetPhone("+1 555");
  sdp.Connection().Set("IN", "IP4", "10.1.1.1");
  sdp.GetMedia(0)->AddRtpMap(97, "PCMA", 8000);
  EXPECT_EQ(Printed(sdp),
            "v=1\r\no=- 1 1 IN IP4 10.0.0.5\r\ns=New\r\np=+1 555\r\nc=IN IP4 10.1.1.1\r\n"
            "c=IN IP4 0.0.0.9\r\nt=0 0\r\nm=video 0 RTP/AVP 96\r\n"
            "a=rtpmap:96 H264/90000\r\na=rtpmap:97 PCMA/8000\r\n");
}

}  // namespace
