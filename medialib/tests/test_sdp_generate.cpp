/*
 * test_sdp_generate.cpp - the SDP generator: one row per flag and codec,
 * records made by the parser and adjusted where the row says, the texts
 * compared with the golden file tests/data/sdp/generate_rows.txt (CR shown
 * as "\r"); the compact-blob entry and a full buffer.
 */
#include <functional>

#include "support/sdp_test.h"

namespace {

using Tweak = std::function<void(_VQX_SDP_INFO&)>;
u8* Params(_VQX_SDP_INFO& r, u32 i) { return reinterpret_cast<u8*>(&r.aMediaCap[i]); }


TEST(SdpGenerate, RowsAgainstGoldenTexts) {
  const char* const av = "c=IN IP4 192.0.2.1\r\nm=audio 1 RTP/AVP 4 18 97 98 99 100 101 102 103 104 105\r\n"
                         "a=rtpmap:97 AMR/8000\r\na=rtpmap:98 AMR-WB/16000\r\na=rtpmap:99 EVRC/8000\r\n"
                         "a=rtpmap:100 SMV/8000\r\na=rtpmap:101 iLBC/8000\r\na=rtpmap:102 G726-40/8000\r\n"
                         "a=rtpmap:103 G729E/8000\r\na=rtpmap:104 GSM-EFR/8000\r\na=rtpmap:105 CLEARMODE/8000\r\n";
  const struct {
    const char* name;
    const char* sdp;
    u32 flags;
    Tweak tweak;
  } rows[] = {
      {"one PCMU description, no connection", "m=audio 0 RTP/AVP 0\r\n", 0, nullptr},
      {"explicit", "m=audio 0 RTP/AVP 0\r\n", VQX_SDP_GEN_EXPLICIT, nullptr},
      {"LF only", "m=audio 0 RTP/AVP 0\r\n", VQX_SDP_GEN_LF_ONLY, nullptr},
      {"no groups", "c=IN IP4 192.0.2.1/8/2\r\n", 0, nullptr},
      {"group without description", "c=IN IP4 192.0.2.1\r\n", 0, [](_VQX_SDP_INFO& r) { r.un8NbCapabilityGroups = 1; }},
      {"user indication skipped", "m=application 1 RTP/AVP 96\r\nm=audio 2 RTP/AVP 0\r\n", 0,
       [](_VQX_SDP_INFO& r) { r.aMediaCap[0].Encoding.MediaType = VQX_MEDIA_TYPE_USER_INDICATION; }},
      {"H.263 SQCIF 1 QCIF 2", "m=video 5 RTP/AVP 34\r\n", VQX_SDP_GEN_H263_FRAMES,
       [](_VQX_SDP_INFO& r) { Params(r, 0)[28] = 1, Params(r, 0)[29] = 2, Params(r, 0)[30] = 0; }},
      {"H.263 SQCIF 2 QCIF 2", "m=video 5 RTP/AVP 34\r\n", 0, nullptr},
      {"H.263+ as 1998 with frames", "m=video 1 RTP/AVP 96\r\na=rtpmap:96 H263-1998/90000\r\na=framerate:15\r\n",
       VQX_SDP_GEN_H263_1998 | VQX_SDP_GEN_H263_FRAMES, nullptr},
      /* Sizes other than the baseline ones follow profile and level. */
      {"H.263-1998 offer with CIF and QCIF", "m=video 1 RTP/AVP 96\r\na=rtpmap:96 H263-1998/90000\r\n"
       "a=fmtp:96 CIF=1;QCIF=1\r\n", VQX_SDP_GEN_H263_1998, nullptr},
      {"H.263-2000 profile 3 level 40 SQCIF", "m=video 1 RTP/AVP 96\r\na=rtpmap:96 H263-2000/90000\r\n"
       "a=fmtp:96 profile=3;level=40;SQCIF=1\r\n", 0, nullptr},
      {"H.264 42801E", "m=video 1 RTP/AVP 96\r\na=rtpmap:96 H264/90000\r\n", 0,
       [](_VQX_SDP_INFO& r) { Params(r, 0)[30] = 0x40, Params(r, 0)[31] = 64; }},
      {"telephone-event 0-15", "m=audio 1 RTP/AVP 101\r\na=rtpmap:101 telephone-event/8000\r\n", 0, nullptr},
      {"telephone-event 0-15 explicit", "m=audio 1 RTP/AVP 101\r\na=rtpmap:101 telephone-event/8000\r\n",
       VQX_SDP_GEN_EXPLICIT, nullptr},
      {"telephone-event 0-16", "m=audio 1 RTP/AVP 101\r\na=rtpmap:101 telephone-event/8000\r\na=fmtp:101 0-16\r\n", 0,
       nullptr},
      {"telephone-event without events", "m=audio 1 RTP/AVP 101\r\na=rtpmap:101 telephone-event/8000\r\n"
       "a=fmtp:101 x\r\n", 0, nullptr},
      {"NSE without events", "m=audio 1 RTP/AVP 100\r\na=rtpmap:100 X-NSE/8000\r\na=fmtp:100 x\r\n", 0, nullptr},
      {"NSE", "m=audio 1 RTP/AVP 100\r\na=rtpmap:100 X-NSE/8000\r\n", VQX_SDP_GEN_NSE, nullptr},
      {"X-NSE", "m=audio 1 RTP/AVP 100\r\na=rtpmap:100 X-NSE/8000\r\n", 0, nullptr},
      {"ptime per description", "c=IN IP4 192.0.2.1\r\nm=audio 1 RTP/AVP 0\r\na=ptime:40\r\nm=audio 2 RTP/AVP 8\r\n", 0,
       nullptr},
      {"b=AS before the a= lines", "c=IN IP4 192.0.2.1\r\nm=video 1 RTP/AVP 34\r\nb=AS:128\r\na=sendonly\r\n", 0, nullptr},
      {"media connections", "c=IN IP4 224.2.1.1/5/2\r\nm=audio 1 RTP/AVP 0\r\nm=audio 2 RTP/AVP 8\r\n"
       "c=IN IP4 192.0.2.2\r\na=inactive\r\na=direction:active\r\n", VQX_SDP_GEN_MEDIA_CONNECTIONS, nullptr},
      {"address count without TTL", "c=IN IP6 192.0.2.1/3\r\nm=audio 1 RTP/AVP 0\r\nc=IN IP4 224.2.1.1/0/2\r\n", 0,
       nullptr},
      {"IPv6 session refused", "c=IN IP6 2001:db8::1\r\nm=audio 1 RTP/AVP 0\r\n", 0, nullptr},
      {"host name in a block refused", "c=IN IP4 192.0.2.1\r\nm=audio 1 RTP/AVP 0\r\nc=IN IP4 media.example\r\n", 0, nullptr},
      {"static codecs on other numbers", "m=audio 1 RTP/AVP 89 97 98\r\na=rtpmap:89 G729/8000\r\na=rtpmap:97 G722/8000\r\n"
       "a=rtpmap:98 L16/44100/2\r\n", 0, nullptr},
      {"format without rtpmap keeps its media word", "m=video 1 RTP/AVP 96\r\n", 0, nullptr},
      {"audio codecs", av, 0, nullptr},
      {"audio codecs explicit", av, VQX_SDP_GEN_EXPLICIT, nullptr},
      /* G.723 annex A and G.729 annex B off, AMR-WB mode-set 1, 3, 9 and mode-change-neighbor, EVRC silence
       * suppression off, SMV maxinterleave 3, iLBC 20 ms. */
      {"audio codecs changed", av, 0, [](_VQX_SDP_INFO& r) {
         Params(r, 0)[30] = Params(r, 1)[28] = Params(r, 4)[34] = 0, Params(r, 3)[40] = 1, Params(r, 5)[32] = 3;
         VqxStore16(Params(r, 3) + 38, 0x105), VqxStore32(Params(r, 6) + 28, 15);
       }},
      {"T.38 and MPEG-4", "c=IN IP4 192.0.2.1\r\nm=image 1 udptl t38\r\na=T38FaxMaxBuffer:200\r\nm=video 2 RTP/AVP 96\r\n"
       "a=rtpmap:96 MP4V-ES/90000\r\na=fmtp:96 profile-level-id=1;config=00ff\r\n", 0, nullptr},
  };
  std::string golden;
  for (const auto& row : rows) {
    VQX_RESULT res;
    std::string err;
    VqxRecord r = ParseSdp(row.sdp, &res, &err);
    ASSERT_EQ(res, VQX_RESULT_OK) << row.name << ": " << err;
    if (row.tweak) row.tweak(*r);
    const std::string text = GenerateSdp(*r, row.flags, &res);
    char sz[160];
    golden += std::string(sz, snprintf(sz, sizeof sz, "== %s, flags %u: %08x\n", row.name, row.flags, res));
    for (char ch : text) golden += ch == '\r' ? std::string("\\r") : std::string(1, ch);
  }
  ExpectGolden("sdp/generate_rows.txt", golden);
}

/* The picture sizes, profile and level of every H.263 capability are what
 * parsing the generated text gives back, and that text generates itself. */
TEST(SdpGenerate, H263ParametersSurviveTheRoundTrip) {
  const struct {
    const char* name;
    const char* sdp;
    bool fSizesKept = true;
  } rows[] = {
      {"1998 CIF=1;QCIF=1", "m=video 1 RTP/AVP 96\r\na=rtpmap:96 H263-1998/90000\r\na=fmtp:96 CIF=1;QCIF=1\r\n"},
      {"2000 CIF:4;QCIF:2;SQCIF:1", "m=video 1 RTP/AVP 96\r\na=rtpmap:96 H263-2000/90000\r\na=fmtp:96 CIF:4;QCIF:2;SQCIF:1\r\n"},
      {"1998 profile 3 level 40 QCIF", "m=video 1 RTP/AVP 96\r\na=rtpmap:96 H263-1998/90000\r\n"
       "a=fmtp:96 profile=3;level=40;QCIF=1\r\n"},
      {"1998 fmtp before rtpmap", "m=video 1 RTP/AVP 96\r\na=fmtp:96 QCIF=3\r\na=rtpmap:96 H263-1998/90000\r\n"},
      {"1998 frame rate only", "a=framerate:30\r\nm=video 1 RTP/AVP 96\r\na=rtpmap:96 H263-1998/90000\r\n"},
      {"1998 baseline sizes given", "m=video 1 RTP/AVP 96\r\na=rtpmap:96 H263-1998/90000\r\na=fmtp:96 QCIF=2\r\n"},
      {"1998 defaults", "m=video 1 RTP/AVP 96\r\na=rtpmap:96 H263-1998/90000\r\n"},
      /* SQCIF at a larger MPI than QCIF is left out and reads back at QCIF's:
       * the baseline sizes, which profile and level alone give. */
      {"1998 SQCIF slower than QCIF", "m=video 1 RTP/AVP 96\r\na=rtpmap:96 H263-1998/90000\r\n"
       "a=fmtp:96 profile=3;level=40;QCIF=2;SQCIF=3\r\n", false},
      {"H.263 and H.263+ side by side", "m=video 1 RTP/AVP 34 96\r\na=fmtp:34 CIF=2\r\n"
       "a=rtpmap:96 H263-2000/90000\r\na=fmtp:96 profile=0;level=10;CIF=1\r\n"},
  };
  auto sizes = [](const _VQX_SDP_INFO& r) {
    std::string s;
    for (u32 i = 0; i < r.un8NbMediaCapabilities; ++i) {
      const _VQX_MEDIA_PARAMS_H263& h = r.aMediaCap[i].Encoding.H263;
      const u32 t = r.aMediaCap[i].Encoding.MediaType;
      if (t != VQX_MEDIA_TYPE_H263 && t != VQX_MEDIA_TYPE_H263_PLUS) continue;
      char sz[80];
      s += std::string(sz, snprintf(sz, sizeof sz, "%u: MPI %u %u %u profile %u level %u; ", t, h.un8SqcifMpi, h.un8QcifMpi,
                                    h.un8CifMpi, h.un8Profile, h.un8Level));
    }
    return s;
  };
  for (const auto& row : rows)
    for (const u32 flags : {0u, VQX_SDP_GEN_H263_1998}) {
      VQX_RESULT res;
      std::string err;
      const VqxRecord r = ParseSdp(row.sdp, &res, &err);
      ASSERT_EQ(res, VQX_RESULT_OK) << row.name << ": " << err;
      ASSERT_NE(sizes(*r), "") << row.name;
      const std::string text = GenerateSdp(*r, flags, &res);
      ASSERT_EQ(res, VQX_RESULT_OK) << row.name;
      const VqxRecord back = ParseSdp(text, &res, &err);
      ASSERT_EQ(res, VQX_RESULT_OK) << row.name << ": " << err;
      if (row.fSizesKept) {
        EXPECT_EQ(sizes(*back), sizes(*r)) << row.name << " flags " << flags << "\n" << text;
      }
      EXPECT_EQ(GenerateSdp(*back, flags), text) << row.name << " flags " << flags;
    }
}

/* A host name or an IPv6 address is kept by its offset in the parsed text,
 * which the generator does not have: a connection it would write in such a
 * form fails the generation, and the text stops before the line that would
 * carry it. Such a record has no compact blob either: the offset's text does
 * not fit the blob's 8 characters (the text would arrive cut). */
TEST(SdpGenerate, ConnectionsTheTextCannotCarryAreRefused) {
  const std::string head = "v=0\r\no=- 0 0 IN IP4 192.0.2.1\r\ns=-\r\nc=IN IP4 192.0.2.1\r\nt=0 0\r\n";
  const struct {
    const char* name;
    const char* sdp;
    u32 flags;
    std::string text;
  } rows[] = {
      {"host name session", "c=IN IP4 host.example\r\nm=audio 1 RTP/AVP 0\r\n", 0, ""},
      {"IPv6 session, media connections", "c=IN IP6 2001:db8::1\r\nm=audio 1 RTP/AVP 0\r\n",
       VQX_SDP_GEN_MEDIA_CONNECTIONS, ""},
      {"IPv6 block", "c=IN IP4 192.0.2.1\r\nm=audio 1 RTP/AVP 0\r\nc=IN IP6 ::1\r\n", 0, head},
      {"host name second block", "c=IN IP4 192.0.2.1\r\nm=audio 1 RTP/AVP 0\r\nm=audio 2 RTP/AVP 8\r\nc=IN IP4 h.example\r\n",
       0, head + "m=audio 1 RTP/AVP 0\r\n"},
  };
  std::vector<u64> blob(2048);
  for (const auto& row : rows) {
    const VqxRecord r = ParseSdp(row.sdp);
    VQX_RESULT res;
    EXPECT_EQ(GenerateSdp(*r, row.flags, &res), row.text) << row.name;
    EXPECT_EQ(res, VQX_RESULT_INVALID_PARAM) << row.name;
    EXPECT_EQ(VQXMediaLibSdpInfoCompact(r.get(), blob.size() * 8, reinterpret_cast<_VQX_SDP_INFO_COMPACT*>(blob.data())),
              VQX_RESULT_INVALID_PARAM) << row.name;
    EXPECT_EQ(VqxMediaCompactSize(blob.data()), VQX_MEDIA_BLOB_HEADER) << row.name;
  }
}

TEST(SdpGenerate, CompactBlobFullBufferAndMissingArguments) {
  const VqxRecord r = ParseSdp(SdpCorpus()[0].text);
  const std::string text = GenerateSdp(*r);
  std::vector<u64> blob(2048);
  ASSERT_EQ(VQXMediaLibSdpInfoCompact(r.get(), blob.size() * 8, reinterpret_cast<_VQX_SDP_INFO_COMPACT*>(blob.data())),
            VQX_RESULT_OK);
  std::vector<char> buf(4096);
  u16 len = u16(buf.size());
  EXPECT_EQ(VQXMediaLibSdpGenerate(blob.data(), buf.data(), &len, 0), VQX_RESULT_OK);
  EXPECT_EQ(std::string(buf.data(), len), text);
  /* A full buffer cuts the text, terminated, and is not an error. */
  len = 20;
  EXPECT_EQ(VQXMediaLibSdpGenerate(r.get(), buf.data(), &len, 0), VQX_RESULT_OK);
  EXPECT_EQ(std::string(buf.data()), text.substr(0, 19));
  EXPECT_EQ(len, 19);
  len = 20;
  EXPECT_EQ(VQXMediaLibSdpExpandedGenerate(nullptr, buf.data(), &len, 0), VQX_RESULT_NULL_PARAM);
  EXPECT_EQ(len, 19); /* what the buffer holds */
  EXPECT_EQ(VQXMediaLibSdpExpandedGenerate(r.get(), nullptr, &len, 0), VQX_RESULT_NULL_PARAM);
  EXPECT_EQ(len, 0);
}

}  // namespace
