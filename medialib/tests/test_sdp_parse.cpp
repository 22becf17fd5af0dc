/*
 * test_sdp_parse.cpp - the SDP parser: the corpus against its golden record
 * dumps (tests/data/sdp/<name>.dump, which also hold the generated text), a
 * second parse of every generated text, the error texts, and one row per
 * action and codec parameter case, each checked in the record's dump.
 */
#include "sdp_parse_internal.h"
#include "support/sdp_test.h"

namespace {

TEST(SdpParse, CorpusAgainstGoldenDumpsAndRegeneration) {
  for (const SdpFile& f : SdpCorpus()) {
    VQX_RESULT res, gres;
    std::string err;
    const VqxRecord r = ParseSdp(f.text, &res, &err);
    const std::string gen = GenerateSdp(*r, 0, &gres);
    char sz[64];
    snprintf(sz, sizeof sz, "parse %08x generate %08x\n", res, gres);
    ExpectGolden("sdp/" + f.name + ".dump", sz + err + DumpSdp(*r) + "--- generated\n" + gen);
    if (gres != VQX_RESULT_OK) continue;
    /* What the generator writes parses cleanly and comes out the same. */
    VQX_RESULT res2;
    const VqxRecord r2 = ParseSdp(gen, &res2, &err);
    EXPECT_EQ(res2, VQX_RESULT_OK) << f.name << ": " << err;
    EXPECT_EQ(GenerateSdp(*r2), gen) << f.name;
  }
}

/* Parsing into a record that held another text gives what a fresh record
 * gets, and parse, generate, parse, generate into that one record is stable
 * (the text of a number too large for its field once lost its H.263 sizes). */
TEST(SdpParse, ReparseIntoTheSameRecord) {
  const std::string head = "v=0\r\no=- 5 6 IN IP4 192.0.2.60\r\ns=-\r\nc=IN IP4 192.0.2.60\r\nt=0 0\r\n";
  const struct {
    const char* name;
    const char* before; /* body parsed into the record first */
    const char* body;   /* then this one */
  } rows[] = {
      {"H.263 sizes do not outlive their text", "m=video 9000 RTP/AVP 34\r\na=fmtp:34 CIF=4;SQCIF=1\r\na=framerate:10\r\n",
       "m=video 9000 RTP/AVP 34 100\r\na=rtpmap:34 H263/90000\r\n"},
      {"H.263 MPI beyond 64 bits", "m=audio 1 RTP/AVP 0\r\n",
       "m=video 9000 RTP/AVP 34 100\r\na=rtpmap:34 H263/90000\r\na=fmtp:34 QCIF:2000000000000le=3;`evel=408445\r\n"},
      {"IPv4 address count without TTL", "m=audio 1 RTP/AVP 0\r\nc=IN IP4 224.2.1.1/9/4\r\n",
       "m=audio 1 RTP/AVP 9\r\nc=IN IP6 192.0.2.1/300\r\n"},
      {"EVRC after an unknown codec", "m=audio 1 RTP/AVP 96\r\na=rtpmap:96 FOO/8000\r\na=fmtp:96 x=1\r\n",
       "m=audio 1 RTP/AVP 97\r\na=rtpmap:97 EVRC/8000\r\na=fmtp:97 maxinterleave=261\r\n"},
      {"event lists that yield no event", "m=audio 1 RTP/AVP 0\r\n", "m=audio 1 RTP/AVP 100 101\r\n"
       "a=rtpmap:100 X-NSE/8000\r\na=fmtp:100 x\r\na=rtpmap:101 telephone-event/8000\r\na=fmtp:101 -\r\n"},
  };
  for (const auto& row : rows) {
    const VqxRecord fresh = ParseSdp(head + row.body);
    VqxRecord r = ParseSdp(head + row.before);
    ASSERT_EQ(VQXMediaLibSdpParse((head + row.body).c_str(), r.get(), 0, nullptr), VQX_RESULT_OK) << row.name;
    EXPECT_EQ(DumpSdp(*r), DumpSdp(*fresh)) << row.name;
    EXPECT_EQ(std::memcmp(r.get(), fresh.get(), sizeof *r), 0) << row.name;
    for (const u32 flags : {0u, VQX_SDP_GEN_LF_ONLY | VQX_SDP_GEN_EXPLICIT | VQX_SDP_GEN_H263_1998 | VQX_SDP_GEN_NSE}) {
      const std::string first = GenerateSdp(*r, flags);
      ASSERT_EQ(VQXMediaLibSdpParse(first.c_str(), r.get(), 0, nullptr), VQX_RESULT_OK) << row.name << "\n" << first;
      EXPECT_EQ(GenerateSdp(*r, flags), first) << row.name << " flags " << flags;
    }
  }
}

TEST(SdpParse, ErrorTexts) {
  const struct {
    const char* text;
    const char* errors;
  } rows[] = {
      {"v=0\r\nm=audio 4000 RTP/AVP 0 0\r\n", "SDP parsing error at line 2. Last token was '\r'\n"},
      /* A run of empty lines is one line break. */
      {"v=0\r\n\r\n\r\nbogus\r\nv=0\n", "SDP parsing error at line 2. Last token was '\r'\n"},
      /* The last line without a line break is reported too. */
      {"v=0\nm=audio 65536 RTP/AVP 0", "SDP parsing error at line 2. Last token was '0'\n"},
      {"v=x\nv=0\n\nv= 1 2\n", "SDP parsing error at line 1. Last token was ''\nSDP parsing error at line 3. Last token was ''\n"},
      {"\r\n\r\nv=0", ""},
      /* An empty text, or one that starts with its NUL, describes nothing. */
      {"", "SDP parsing error at line 1. Last token was ''\n"},
      {"\0v=0\r\n", "SDP parsing error at line 1. Last token was ''\n"},
      /* A line type without a keyword: u=, e=, p= are skipped, others refused. */
      {"v=0\r\nu=http://h/\r\ne=a@h\r\nP=+1 555\r\nx=1\r\nfoo=1\r\nv=0\r\n",
       "SDP parsing error at line 5. Last token was '\r'\nSDP parsing error at line 6. Last token was '\r'\n"},
      {"v=0\nx=1", "SDP parsing error at line 2. Last token was '='\n"},
      {"v=0\r\nm=audio 1 RTP/AVP 101\r\na=rtpmap:101 telephone-event/70000\r\n",
       "SDP parsing error at line 3. Last token was '\r'\n"},
  };
  for (const auto& row : rows) {
    VQX_RESULT res;
    std::string err;
    ParseSdp(row.text, &res, &err);
    EXPECT_EQ(err, row.errors) << "row '" << row.text << "'";
    EXPECT_EQ(res, *row.errors ? VQX_RESULT_INVALID_CONFIG : VQX_RESULT_OK) << "row '" << row.text << "'";
  }
  /* The error text is bounded and terminated; the next line parses normally. */
  VqxRecord r = NewRecord();
  char sz[24];
  std::memset(sz, 'x', sizeof sz);
  EXPECT_EQ(VQXMediaLibSdpParse2("#\r\nm=audio 4000 RTP/AVP 0\r\n", r.get(), 0, sz, sizeof sz, nullptr),
            VQX_RESULT_INVALID_CONFIG);
  EXPECT_STREQ(sz, "SDP parsing error at li");
  EXPECT_EQ(r->aCapGroups[0].aSimultaneousCap[0].un16Port, 4000);
  EXPECT_EQ(VQXMediaLibSdpParse(nullptr, r.get(), 0, nullptr), VQX_RESULT_NULL_PARAM);
  EXPECT_EQ(VQXMediaLibSdpParse("v=0", nullptr, 0, nullptr), VQX_RESULT_NULL_PARAM);
}

TEST(SdpParse, ActionAndCodecRows) {
  const std::string head = "v=0\r\no=- 1 2 IN IP4 192.0.2.1\r\ns=-\r\nc=IN IP4 192.0.2.1\r\nt=0 0\r\n";
  const struct {
    const char* name;
    const char* body; /* after the session header */
    bool fFails;
    const char* dump; /* expected within DumpSdp */
  } rows[] = {
      {"static type kept over rtpmap name", "m=audio 1 RTP/AVP 8\r\na=rtpmap:8 PCMU/8000\r\n", false, "type 8:"},
      {"unknown name kept as a= lines", "m=audio 1 RTP/AVP 96\r\na=rtpmap:96 FOO/8000\r\nb=AS:1\r\na=fmtp:96 x=1\r\n"
       "m=audio 2 RTP/AVP 0\r\na=rtcp:5\r\n", false, "type 768: 'a=rtpmap:96 FOO/8000|a=fmtp:96 x=1'\n"},
      {"video not-parsed fmtp kept once", "m=video 1 RTP/AVP 96\r\na=rtpmap:96 VP8/90000\r\na=fmtp:96 max-fs=12\r\n", false,
       "type 769: 'a=rtpmap:96 VP8/90000|a=fmtp:96 max-fs=12'\n"},
      {"fmtp before its rtpmap", "m=video 1 RTP/AVP 96\r\na=fmtp:96 profile-level-id=4d401f\r\na=rtpmap:96 H264/90000\r\n",
       false, "type 122: ffff2047"},
      {"pending fmtp dropped at m=", "m=video 1 RTP/AVP 96\r\na=fmtp:96 profile-level-id=4d401f\r\nm=video 2 RTP/AVP 96\r\n"
       "a=rtpmap:96 H264/90000\r\n", false, "type 122: ffff400f"},
      {"ptime reaches later rtpmap formats", "m=audio 1 RTP/AVP 0\r\na=ptime:30\r\na=rtpmap:97 AMR/8000\r\n", false,
       "cap 1 dir 3 tr 1 pt 97 frames 1 ptime 30 type 104"},
      {"shared capability copied on write", "m=audio 1 RTP/AVP 0\r\nm=audio 2 RTP/AVP 0\r\na=sendonly\r\n", false,
       "cap 0 dir 3 tr 1 pt 0 frames 1 ptime 0 type 0: 00000000\ncap 1 dir 2 "},
      {"host name by offset, type 1", "m=audio 1 RTP/AVP 0\r\nc=IN IP4 host.example\r\n", false,
       "conn 1 'dns_off:    93' n 1 ttl 0 type 1"},
      {"H.264 profile-level-id not last", "m=video 1 RTP/AVP 96\r\na=rtpmap:96 H264/90000\r\n"
       "a=fmtp:96 profile-level-id=42e01f;packetization-mode=1\r\n", false, "type 122: ffff4047"},
      {"MPEG-4 config in either case", "m=video 1 RTP/AVP 96\r\na=rtpmap:96 MP4V-ES/90000\r\na=fmtp:96 profile-level-id=1;"
       "config=0a0B\r\n", false, "type 119: ffff0100 00020000 00000000 0a0b\n"},
      {"H.263 RFC 4629 sizes", "m=video 1 RTP/AVP 34\r\na=fmtp:34 CIF=4;QCIF=2\r\n", false, "type 34: 02020401"},
      {"H.263 first QCIF inside SQCIF", "m=video 1 RTP/AVP 34\r\na=fmtp:34 SQCIF:1;QCIF:2\r\n", false, "type 34: 01000001"},
      {"H.263 second fmtp keeps sizes", "m=video 1 RTP/AVP 34\r\na=fmtp:34 QCIF=3\r\na=fmtp:34 profile=0;level=10\r\n",
       false, "type 34: 03030001"},
      {"H.263 frame rate 10", "m=video 1 RTP/AVP 34\r\na=framerate:10\r\n", false, "type 34: 03030000"},
      {"H.263 framesize", "m=video 1 RTP/AVP 34\r\na=framesize:34 176-144\r\n", false, "type 34: 01010000"},
      {"H.263 frame rate above 30", "m=video 1 RTP/AVP 34\r\na=framerate:60\r\n", false, "type 34: 01010000"},
      {"H.263 unknown framesize keeps sizes", "m=video 1 RTP/AVP 34\r\na=framesize:34 640-480\r\n", false,
       "type 34: 02020000"},
      {"H.263 MPI 0 ignored", "m=video 1 RTP/AVP 34\r\na=fmtp:34 QCIF=0\r\n", false, "type 34: 02020000"},
      /* Numbers too large for their byte are not stored cut to it. */
      {"H.263 MPI beyond 64 bits ignored", "m=video 1 RTP/AVP 34\r\na=fmtp:34 QCIF:200000000000000000000\r\n", false,
       "type 34: 02020000"},
      {"H.263 MPI 257 ignored", "m=video 1 RTP/AVP 34\r\na=fmtp:34 CIF=257;QCIF=255\r\n", false, "type 34: ffff0001"},
      {"EVRC numbers beyond a byte ignored", "m=audio 1 RTP/AVP 97\r\na=rtpmap:97 EVRC/8000\r\n"
       "a=fmtp:97 maxinterleave=262;dtxmax=300\r\n", false, "type 111: 00040000 0501010c 20010000"},
      {"AMR crc beyond a byte ignored", "m=audio 1 RTP/AVP 97\r\na=rtpmap:97 AMR/8000\r\na=fmtp:97 crc=256\r\n", false,
       "type 104: c4040000 00000000 00010100"},
      {"AMR-WB mode-change-period beyond 16 bits", "m=audio 1 RTP/AVP 97\r\na=rtpmap:97 AMR-WB/16000\r\n"
       "a=fmtp:97 mode-change-period=65537\r\n", false, "type 126: 51090000 00000101 0000ff01"},
      /* A list replaces the events, also when it yields none. */
      {"event list without an event", "m=audio 1 RTP/AVP 101\r\na=rtpmap:101 telephone-event/8000\r\na=fmtp:101 x\r\n",
       false, "type 101: 401f0000 00000000 00000000"},
      {"empty NSE event list", "m=audio 1 RTP/AVP 100\r\na=rtpmap:100 X-NSE/8000\r\na=fmtp:100\r\n", false,
       "type 100: 01000000 00000000 00000000 00000000 00000000 00000000 00000000 00000000 00000000\n"},
      {"empty fmtp changes no other type", "m=audio 1 RTP/AVP 97\r\na=rtpmap:97 AMR/8000\r\na=fmtp:97 crc=1\r\n"
       "a=fmtp:97 \r\n", false, "type 104: c4040000 01000000 01000000"},
      /* A refused rtpmap line leaves its format untyped, with no text. */
      {"not-parsed text starts at its rtpmap", "m=audio 1 RTP/AVP 96 97\r\na=rtpmap:96 FOO/8000 x/\r\na=fmtp:96 y\r\n"
       "a=rtpmap:97 BAR/8000\r\n", true, "pt 96 frames 1 ptime 0 type 4294967295:\ncap 1 dir 3 tr 1 pt 97 frames 1 ptime 0 "
       "type 768: 'a=rtpmap:97 BAR/8000'"},
      /* Clocks: telephone-event's in 16 bits, RED's in 32; beyond, or 0, the line is refused. */
      {"telephone-event clock 65535", "m=audio 1 RTP/AVP 101\r\na=rtpmap:101 telephone-event/65535\r\n", false,
       "type 101: ffff0000 ffff0000"},
      {"telephone-event clock 65536", "m=audio 1 RTP/AVP 101\r\na=rtpmap:101 telephone-event/65536\r\n", true,
       "pt 101 frames 1 ptime 0 type 4294967295:"},
      {"telephone-event clock 70000", "m=audio 1 RTP/AVP 0\r\na=rtpmap:101 telephone-event/70000\r\n", true,
       "caps 1 groups 1"},
      {"telephone-event clock 0", "m=audio 1 RTP/AVP 101\r\na=rtpmap:101 telephone-event/0\r\n", true,
       "pt 101 frames 1 ptime 0 type 4294967295:"},
      {"RED clock 4294967295", "m=audio 1 RTP/AVP 96\r\na=rtpmap:96 RED/4294967295/2\r\n", false,
       "type 120: ffffffff 01000000"},
      {"RED clock 4294967296", "m=audio 1 RTP/AVP 96\r\na=rtpmap:96 RED/4294967296\r\n", true,
       "pt 96 frames 1 ptime 0 type 4294967295:"},
      {"RED clock 0", "m=audio 1 RTP/AVP 96\r\na=rtpmap:96 RED/0\r\n", true, "pt 96 frames 1 ptime 0 type 4294967295:"},
      {"H.263 video-resolution", "m=video 1 RTP/AVP 34\r\na=video-resolution:CIF=15\r\n", false, "type 34: 02020201"},
      /* Numbers 1..9 are bits 0..8; 0 and 10 add nothing. */
      {"AMR-WB mode-set numbers 1-9", "m=audio 1 RTP/AVP 97\r\na=rtpmap:97 AMR-WB/16000\r\n"
       "a=fmtp:97 mode-set=0,1,2\r\n", false, "type 126: 51090000 00000101 00000300 00"},
      {"AMR-WB mode-set 2, 8, 9, 10", "m=audio 1 RTP/AVP 97\r\na=rtpmap:97 AMR-WB/16000\r\n"
       "a=fmtp:97 mode-set=0,2,8,9,10\r\n", false, "type 126: 51090000 00000101 00008201 00"},
      {"AMR crc", "m=audio 1 RTP/AVP 97\r\na=rtpmap:97 AMR/8000\r\na=fmtp:97 crc=1\r\n", false,
       "type 104: c4040000 01000000 01000000"},
      {"events above 255 ignored", "m=audio 1 RTP/AVP 101\r\na=rtpmap:101 telephone-event/8000\r\n"
       "a=fmtp:101 0-15,250-300,999\r\n", false, "type 101: 401f0000 ffff0000 00000000 00000000 00000000 00000000 "
       "00000000 00000000 000000fc"},
      {"T.38 setter only into T.38", "m=audio 1 RTP/AVP 101\r\na=rtpmap:101 telephone-event/8000\r\na=T38FaxVersion:3\r\n",
       false, "type 101: 401f0000 ffff0000"},
      {"G.723 bitrate 5300", "m=audio 1 RTP/AVP 4\r\na=fmtp:4 bitrate=5300\r\n", false, "type 4: 00010101"},
      {"G.729 annexb blanks and case", "m=audio 1 RTP/AVP 18\r\na=fmtp:18 annexb = YES\r\n", false, "type 18: 01"},
      {"G.729 annexb=no", "m=audio 1 RTP/AVP 18\r\na=fmtp:18 annexb=no\r\n", false, "type 18: 00"},
      {"G.729 key inside a word", "m=audio 1 RTP/AVP 18\r\na=fmtp:18 xannexb=no\r\n", false, "type 18: 01"},
      {"EVRC keys", "m=audio 1 RTP/AVP 97\r\na=rtpmap:97 EVRC/8000\r\na=fmtp:97 maxinterleave=7;silencesupp=no;dtxmax=20\r\n",
       false, "type 111: 00040000 0701000c 14010000"},
      {"iLBC mode 20", "m=audio 1 RTP/AVP 97\r\na=rtpmap:97 iLBC/8000\r\na=fmtp:97 mode=20\r\n", false, "type 124: 0f000000"},

      {"names match whole", "m=audio 1 RTP/AVP 97 98 99 100 101\r\na=rtpmap:97 G7221/1\r\na=rtpmap:98 GSM-HR/1\r\n"
       "a=rtpmap:99 EVRCB/1\r\na=rtpmap:100 MPEG4-GENERIC/1\r\na=rtpmap:101 H264-SVC/1\r\n", false,
       "type 768: 'a=rtpmap:97 G7221/1'\ncap 1 dir 3 tr 1 pt 98 frames 1 ptime 0 type 768: 'a=rtpmap:98 GSM-HR/1'\n"
       "cap 2 dir 3 tr 1 pt 99 frames 1 ptime 0 type 768: 'a=rtpmap:99 EVRCB/1'\ncap 3 dir 3 tr 1 pt 100 frames 1 "
       "ptime 0 type 768: 'a=rtpmap:100 MPEG4-GENERIC/1'\ncap 4 dir 3 tr 1 pt 101 frames 1 ptime 0 type 768: "
       "'a=rtpmap:101 H264-SVC/1'"},
      {"b=AS saturates", "m=video 1 RTP/AVP 34\r\nb=AS:7000\r\n", false, "type 34: 02020000 feff"},
      {"b=TIAS ignored", "m=video 1 RTP/AVP 34\r\nb=TIAS:64000\r\n", false, "type 34: 02020000 ffff"},
      {"setup direction", "a=direction:both\r\nm=audio 1 RTP/AVP 0\r\nm=audio 2 RTP/AVP 8\r\na=direction:passive\r\n", false,
       "kind 1 port 1/1 conn 0/0 setup 3 choices 0\ndesc 0.1 kind 1 port 2/1 conn 0/0 setup 1"},
      /* A refused m= line leaves nothing, and its block's lines change nothing. */
      {"payload type above 127", "m=audio 1 RTP/AVP 0 128\r\na=sendonly\r\n", true, "caps 0 groups 0 conns 1\n"},
      {"duplicate format", "m=audio 1 RTP/AVP 8\r\nm=audio 2 RTP/AVP 0 0\r\nc=IN IP4 192.0.2.9\r\n", true,
       "caps 1 groups 1 conns 1\nconn 0 '192.0.2.1' n 1 ttl 0 type 0\ndesc 0.0 kind 1 port 1/1 conn 0/0 setup 0 choices 0\n"
       "cap 0 dir 3 tr 1 pt 8"},
      {"port above 65535", "m=audio 70000 RTP/AVP 0\r\n", true, "caps 0 groups 0 conns 1\n"},
      {"port count above 255", "m=audio 65535/300 RTP/AVP 0\r\n", true, "caps 0 groups 0 conns 1\n"},
      {"refused last line", "m=audio 1 RTP/AVP 0\r\nm=audio 65536 RTP/AVP 8", true, "caps 1 groups 1"},
      /* IPv6 has no TTL: its one suffix counts addresses (RFC 4566 5.7). */
      {"IPv6 address count", "m=audio 1 RTP/AVP 0\r\nc=IN IP6 FF15::101/3\r\n", false, "n 3 ttl 0 type 2\n"},
      {"IPv6 TTL refused", "m=audio 1 RTP/AVP 0\r\nc=IN IP6 ::1/5/6\r\n", true, "conns 1\n"},
      {"IPv4 TTL and count", "m=audio 1 RTP/AVP 0\r\nc=IN IP4 224.2.1.1/127/3\r\n", false, "n 3 ttl 127 type 0\n"},
      /* Every c= line of a block is added and becomes the description's. */
      {"every c= of a block added", "m=audio 1 RTP/AVP 0\r\nc=IN IP4 192.0.2.7\r\nc=IN IP4 192.0.2.8\r\n", false,
       "conns 3\nconn 0 '192.0.2.1' n 1 ttl 0 type 0\nconn 1 '192.0.2.7' n 1 ttl 0 type 0\nconn 2 '192.0.2.8' n 1 ttl 0 "
       "type 0\ndesc 0.0 kind 1 port 1/1 conn 2/0"},
      {"c= beyond 8 connections ignored", "m=audio 1 RTP/AVP 0\r\nc=IN IP4 192.0.2.2\r\nc=IN IP4 192.0.2.3\r\n"
       "c=IN IP4 192.0.2.4\r\nc=IN IP4 192.0.2.5\r\nm=audio 2 RTP/AVP 0\r\nc=IN IP4 192.0.2.6\r\nc=IN IP4 192.0.2.7\r\n"
       "c=IN IP4 192.0.2.8\r\nc=IN IP4 192.0.2.9\r\n", false,
       "conns 8\n" "conn 0 '192.0.2.1' n 1 ttl 0 type 0\nconn 1 '192.0.2.2' n 1 ttl 0 type 0\nconn 2 '192.0.2.3' n 1 ttl 0 "
       "type 0\nconn 3 '192.0.2.4' n 1 ttl 0 type 0\nconn 4 '192.0.2.5' n 1 ttl 0 type 0\nconn 5 '192.0.2.6' n 1 ttl 0 type 0\n"
       "conn 6 '192.0.2.7' n 1 ttl 0 type 0\nconn 7 '192.0.2.8' n 1 ttl 0 type 0\ndesc 0.0 kind 1 port 1/1 conn 4/0 setup 0 "
       "choices 0\ndesc 0.1 kind 1 port 2/1 conn 7/0"},
      {"TTL above 255", "m=audio 1 RTP/AVP 0\r\nc=IN IP4 224.2.1.1/256\r\n", true, "conns 1\n"},
      {"session id beyond 64 bits", "o=- 18446744073709551616 1 IN IP4 192.0.2.1\r\n", true, "session 1 2 "},
      {"second session c=", "c=IN IP4 192.0.2.2\r\n", true, "conn 0 '192.0.2.1'"},
      {"ninth m= line", "m=audio 1 RTP/AVP 0\r\nm=audio 2 RTP/AVP 0\r\nm=audio 3 RTP/AVP 0\r\nm=audio 4 RTP/AVP 0\r\n"
       "m=audio 5 RTP/AVP 0\r\nm=audio 6 RTP/AVP 0\r\nm=audio 7 RTP/AVP 0\r\nm=audio 8 RTP/AVP 0\r\nm=audio 9 RTP/AVP 8\r\n"
       "a=sendonly\r\n", true, "caps 1 groups 1"},
  };
  for (const auto& row : rows) {
    VQX_RESULT res;
    std::string err;
    const VqxRecord r = ParseSdp(head + row.body, &res, &err);
    EXPECT_EQ(res, row.fFails ? VQX_RESULT_INVALID_CONFIG : VQX_RESULT_OK) << row.name << ": " << err;
    EXPECT_NE(DumpSdp(*r).find(row.dump), std::string::npos) << row.name << "\n" << DumpSdp(*r);
  }
}

}  // namespace

namespace {

/* A host name is kept by its offset, "%s%6u" into 16 bytes: padded below six
 * digits, cut after seven. */
TEST(SdpParse, HostNameOffsetsAsTheFieldHoldsThem) {
  const struct {
    size_t offset;
    const char* field;
  } rows[] = {{20, "dns_off:    20"}, {999999, "dns_off:999999"}, {1234567, "dns_off:1234567"},
              {10000005, "dns_off:1000000"}};
  for (const auto& row : rows) {
    const std::string text = "v=0\r\ns=" + std::string(row.offset - 18, 'x') + "\r\nc=IN IP4 h.example\r\n";
    ASSERT_EQ(text.find("h.example"), row.offset);
    VQX_RESULT res;
    const VqxRecord r = ParseSdp(text, &res);
    EXPECT_EQ(res, VQX_RESULT_OK) << row.offset;
    EXPECT_EQ(std::memcmp(r->aConnections[0].szAddress, row.field, std::strlen(row.field) + 1), 0) << row.offset;
  }
}

/* Result, error text and every record byte of one parse. */
std::string Outcome(const std::string& text, u32 flags) {
  VqxRecord r = NewRecord();
  char szErr[2048];
  const VQX_RESULT res = VQXMediaLibSdpParse2(text.c_str(), r.get(), flags, szErr, sizeof szErr, nullptr);
  return std::to_string(res) + "\n" + szErr + "\n" + DumpSdp(*r) +
         std::string(reinterpret_cast<const char*>(r.get()), sizeof *r);
}

/* Common lines reach the grammar whole (one token per line); the outcome is
 * the one of the same text fed token by token, on the corpus and on lines
 * that stand at the edges of each form: blanks where the grammar allows or
 * refuses them, keywords where a word stands, values that do not fit, lines
 * with no break. */
TEST(SdpParse, LineFormsAgreeWithTheTokenGrammar) {
  const std::string head = "v=0\r\no=- 1 2 IN IP4 192.0.2.1\r\ns=-\r\nc=IN IP4 192.0.2.1\r\nt=0 0\r\n";
  std::string many = "m=audio 1 RTP/AVP";
  for (int i = 0; i < 45; ++i) many += " " + std::to_string(i + 50);
  /* An m= form keeps as many formats as its views hold (a line with one more
   * is left to the grammar), after a shorter m= line: a view past the end
   * would reach the record saved for the line, which that line filled. */
  std::string atViews = "m=audio 2 RTP/AVP";
  for (u32 i = 3; i < VQX_SDP_FORM_VIEWS; ++i) atViews += " " + std::to_string(i + 60);
  const std::string pastViews = atViews + " 59", shorter = "m=audio 1 RTP/AVP 0 8\r\n";
  for (const auto& [line, fForm] : {std::pair{atViews, true}, std::pair{pastViews, false}}) {
    VqxSdpLineForm form;
    const std::string text = line + "\r\n";
    ASSERT_EQ(VqxSdpMatchLineForm(VQX_SDP_MEDIAKEYWORD, VqxSdpTokenValue{2, text.c_str()}, text.c_str() + text.size(), &form),
              fForm) << line;
    if (!fForm) continue;
    EXPECT_EQ(form.un32NbViews, VQX_SDP_FORM_VIEWS) << line;
    EXPECT_EQ(form.aView[form.un32NbViews - 1].View(), std::to_string(VQX_SDP_FORM_VIEWS - 1 + 60)) << line;
  }
  const std::string rows[] = {
      "o=s=x 1 2 IN IP4 h\r\n", "o=a b 1 2 IN IP4 h\r\n", "o=- 1 2 IN IP4 1.2.3.4 x\r\n", "o=-\t1 2 IN IP4 h \r\n",
      "o=- 18446744073709551616 1 IN IP4 h\r\n", "o=audio 1 2 IN IP4 h\r\n", "o=- 1 2 ab IP4 h\r\n", "o=1 2 3 IN IP4 x\r\n",
      "o=- 1 2 IN IP4 2001:db8::1\r\n", "o=- 1 2 IN IP4 h:1-2\r\n",
      "m=audio 1 RTP/AVP 0\r\nc=IN IP4 224.2.1.1/127/3\r\n", "m=audio 1 RTP/AVP 0\r\nc=IN IP4 224.2.1.1 / 127 / 3 \r\n",
      "m=audio 1 RTP/AVP 0\r\nc=IN IP4 1.2.3.4/1/2/3\r\n", "m=audio 1 RTP/AVP 0\r\nc=IN ab 1.2.3.4\r\n",
      "m=audio 1 RTP/AVP 0\r\nc=IN IP4 setup:x\r\n", "m=audio 1 RTP/AVP 0\r\nc=IN IP6 ::1/5/6\r\n",
      "m=audio 1 RTP/AVP 0\r\nc=IN IP4 alt:1.2:x\r\n", "m=audio 1 RTP/AVP 0\r\nc=IN IP4 host-1.example\r\n",
      "c=IN IP4 192.0.2.2\r\n", "m=audio 1 RTP/AVP 0 8 t38 foo\r\n", "m=audio 1/2 RTP/AVP 0\r\n",
      "m=audio 1 / 2 RTP/AVP 0\r\n", "m=audio 1/ 2 RTP/AVP 0\r\n", "m=audio 1 RTP /AVP 0\r\n", "m=audio 1 RTP/ AVP 0\r\n",
      "m=audio 1 RTP/AVP\r\n", "m=audio 1 RTP/AVP \r\n", "m=audio 1 RTP/AVP 0 0\r\n", "m=video 70000 RTP/AVP 0\r\n",
      "m=image 1 udptl t38\r\n", "m=image 1 UDP/UDPTL t38\r\n", "m=foo 1 TCP x\r\n", "m=audio 1 RTP/AVP 128\r\n",
      "m=audio 1 RTP/AVP 1.5\r\n", "m= audio 1 RTP/AVP 0\r\n", "m=audio 1 RTP/AVP 0 a=sendonly\r\n", "m=audio1 RTP/AVP 0\r\n",
      many + "\r\n", shorter + atViews + "\r\n", shorter + pastViews + "\r\n", shorter + atViews,
      "m=audio 1 RTP/AVP 96\r\na=rtpmap:96 telephone-event/8000\r\n",
      "m=audio 1 RTP/AVP 96\r\na=rtpmap : 96 X / 8000 / 2 3 \r\n", "m=audio 1 RTP/AVP 96\r\na=rtpmap:96 audio/8000\r\n",
      "m=audio 1 RTP/AVP 96\r\na=rtpmap:96 X/8000/\r\n", "m=audio 1 RTP/AVP 96\r\na=rtpmap:96X/8000\r\n",
      "m=audio 1 RTP/AVP 96\r\na=rtpmap:300 X/1\r\n", "m=audio 1 RTP/AVP 96\r\na=rtpmap:96 X/8000 x\r\n",
      "m=audio 1 RTP/AVP 96\r\na=rtpmap:96 ab/8000/2/2\r\n", "m=audio 1 RTP/AVP 96\r\na=rtpmap:96 H263-1998/90000 \r\n",
      "m=audio 1 RTP/AVP 96\r\na=fmtp:96 x=1\r\na=rtpmap:96 FOO/8000\r\na=fmtp:96 y\r\na=foo:1\r\n",
      "m=audio 1 RTP/AVP 96\r\na=fmtp:96\r\na=fmtp : 96  mode=30\r\na=fmtp:96x\r\na=fmtp:1.5 x\r\n",
      "m=audio 1 RTP/AVP 0\r\na=ptime:20 \r\na=ptime:x\r\na=ptime:1.5\r\n", "a=sendonly x\r\nm=audio 1 RTP/AVP 0\r\n",
      " a=recvonly\r\n", "a=inactive\r\nm=audio 1 RTP/AVP 0\r\na=recvonly \r\na=sendrecv\r\n",
      "m=video 1 RTP/AVP 34\r\nb=AS:64\r\nb=AS : 64 x\r\nb=TIAS:64000\r\nb=ab:1\r\nb=CT:\r\n", "v=0 1\r\nt=0 0 0\r\nt=1-2 0\r\n",
      "a=setup:active\r\na=connection:new\r\na=alt:1 2:x y\r\na=ice-ufrag:x\r\n", "m=audio 1 RTP/AVP 0\n\nb=AS:64\n",
      "m=audio 1 RTP/AVP 0\r\nm=audio 65536 RTP/AVP 0  ", "m=audio 1 RTP/AVP 0\r\na=fmtp:0 x", "t=0 x", "a=rtpmap:0 PCMU/8000 ",
      "m=image 1 udptl t38\r\na=T38FaxVersion:3\r\na=T38MaxBitRate : 9600 \r\na=T38FaxFillBitRemoval\r\n"
      "a=T38FaxTranscodingMMR:1\r\na=T38FaxTranscodingJBIG \r\na=T38FaxRateManagement:localTCF\r\n"
      "a=T38FaxMaxBuffer:200\r\na=T38FaxMaxDatagram:72\r\na=T38FaxUdpEC:t38UDPFEC\r\n",
      "m=image 1 udptl t38\r\na=T38FaxVersion\r\na=T38MaxBitRate:x\r\na=T38FaxRateManagement:TCF\r\n"
      "a=T38FaxUdpEC:t38UDPRedundancy x\r\na=T38FaxMaxBuffer:99999999999\r\na=T38FaxFillBitRemoval:0 0\r\n",
      "m=video 1 RTP/AVP 34\r\na=framerate:15\r\na=framerate : 0\r\na=framerate:1.5\r\na=framerate:x\r\n",
      "a=setup: active \r\na=setup:active x\r\na=alt:1 2:x \r\na=alt:1 2:x\r\r\na=alt:1 2 : y", "s=\r\ni=x y\r\nk= z\r\n",
  };
  int nRows = 0;
  for (const SdpFile& f : SdpCorpus()) {
    EXPECT_EQ(Outcome(f.text, 0), Outcome(f.text, VQX_SDP_PARSE_TOKENS)) << f.name;
    ++nRows;
  }
  for (const std::string& row : rows) {
    for (const std::string& text : {head + row, row}) {
      EXPECT_EQ(Outcome(text, 0), Outcome(text, VQX_SDP_PARSE_TOKENS)) << "row '" << text << "'";
      ++nRows;
    }
  }
  EXPECT_GE(nRows, 100);
}

/* Encoding names (whole, either case, the first row that matches) and whole
 * numbers within their bound, as the actions read them. */
TEST(SdpParse, NamesAndNumbersTheActionsRead) {
  const struct {
    const char* name;
    u32 type, param;
  } names[] = {
      {"pcmu", 0, 0}, {"PCMA", 8, 0}, {"h263-1998", 121, 0}, {"H263", 34, 0}, {"g729ab", 18, 0}, {"G729E", 103, 0},
      {"G729", 18, 0}, {"g726-24", 125, 24}, {"G726", 125, 32}, {"telephone-EVENT", 101, 0}, {"x-nse", 100, 0},
      {"NSE", 100, 0}, {"amr-wb", 126, 0}, {"red", 120, 0}, {"Ilbc", 124, 0}, {"GSM-EFR", 105, 0}, {"cn", 13, 0},
      {"", VQX_MEDIA_TYPE_INVALID, 0}, {"G7", VQX_MEDIA_TYPE_INVALID, 0}, {"PCMUX", VQX_MEDIA_TYPE_INVALID, 0},
      {"ZZZ", VQX_MEDIA_TYPE_INVALID, 0}, {"-", VQX_MEDIA_TYPE_INVALID, 0},
  };
  for (const auto& row : names) {
    u32 param = 7;
    EXPECT_EQ(VqxMediaStringToType(row.name, &param), row.type) << row.name;
    EXPECT_EQ(param, row.param) << row.name;
  }
  const struct {
    const char* text;
    u64 max;
    bool fOk;
    u64 value;
  } numbers[] = {
      {"0", 127, true, 0}, {"127", 127, true, 127}, {"128", 127, false, 0}, {"65535", 0xFFFF, true, 65535},
      {"65536", 0xFFFF, false, 0}, {"9999999999999999999", ~0ull, true, 9999999999999999999ull},
      {"18446744073709551615", ~0ull, true, ~0ull}, {"18446744073709551616", ~0ull, false, 0},
      {"99999999999999999999", ~0ull, false, 0}, {"0000000000000000000001", 1, true, 1}, {"12a", ~0ull, false, 0},
      {"1 ", ~0ull, false, 0}, {"", ~0ull, false, 0}, {"-1", ~0ull, false, 0},
  };
  for (const auto& row : numbers) {
    u64 v = 12345;
    const VqxSdpTokenValue t{static_cast<u32>(std::strlen(row.text)), row.text};
    EXPECT_EQ(VqxSdpTokenNumber(t, row.max, &v), row.fOk) << row.text;
    EXPECT_EQ(v, row.fOk ? row.value : 12345u) << row.text;
  }
}

/* A refused m= or rtpmap line puts back every record byte it changed, fed
 * whole or token by token: also when its formats made the full table merge a
 * twin capability (the second description's PCMU became the first one's by
 * its a=sendonly), and after a syntax error inside the line; a refused rtpmap
 * line also leaves the pending fmtp lines for the next one (`after`, parsed
 * with and without the refused line). */
TEST(SdpParse, RefusedLinesPutBackTheRecord) {
  const std::string head = "v=0\r\no=- 1 2 IN IP4 192.0.2.1\r\ns=-\r\nc=IN IP4 192.0.2.1\r\nt=0 0\r\n";
  std::string full = head + "m=audio 1 RTP/AVP 0\r\na=sendonly\r\nm=audio 2 RTP/AVP 0";
  for (int pt = 96; pt < 126; ++pt) full += " " + std::to_string(pt);
  full += "\r\na=sendonly\r\n";
  const std::string av = head + "m=audio 1 RTP/AVP 0 8\r\nm=audio 2 RTP/AVP 0 96\r\n";
  std::string sharedFull = head + "m=audio 1 RTP/AVP 0 126\r\nm=audio 2 RTP/AVP";
  for (int pt = 96; pt < 126; ++pt) sharedFull += " " + std::to_string(pt);
  sharedFull += "\r\n";
  std::string twinsFull =
      head + "m=audio 1 RTP/AVP 0 8\r\na=sendonly\r\nm=audio 2 RTP/AVP 0 8\r\na=sendonly\r\nm=audio 3 RTP/AVP";
  for (int pt = 96; pt < 124; ++pt) twinsFull += " " + std::to_string(pt);
  twinsFull += "\r\n";
  const struct {
    std::string before, refused, after;
  } rows[] = {
      {full, "m=audio 3 RTP/AVP 8 128\r\n", ""},
      {full, "m=audio 3 RTP/AVP 8 128", ""},
      {full, "m=audio 3 RTP/AVP 8 9 x a=sendonly\r\n", ""},
      {head + "m=audio 1 RTP/AVP 0 8\r\na=rtpmap:0 PCMU/8000\r\n", "m=audio 2 RTP/AVP 0 96 x a=ptime:30\r\n", ""},
      {head + "m=audio 1 RTP/AVP 0 8\r\n", "m=audio 2 RTP/AVP 18 0 8 200\r\na=sendonly\r\n", ""},
      /* rtpmap lines: a format it added (a shared static one too), the capability it changed. */
      {av, "a=rtpmap:101 telephone-event/70000\r\n", ""},
      {av, "a=rtpmap:8 PCMA/8000 x\r\n", "a=sendonly\r\n"},
      {av, "a=rtpmap:96 FOO/8000 x/\r\n", "a=rtpmap:97 AMR/8000\r\n"},
      {av, "a=rtpmap:96 RED/0\r\n", "a=rtpmap:96 RED/8000\r\n"},
      {av + "a=fmtp:96 crc=1\r\n", "a=rtpmap:96 AMR/8000 x\r\n", "a=rtpmap:96 AMR/8000\r\n"},
      {av + "a=fmtp:97 0-3\r\na=rtpmap:96 FOO/1\r\n", "a=rtpmap:97 telephone-event/0\r\n",
       "a=foo\r\na=rtpmap:97 telephone-event/8000\r\n"},
      /* In a full table: the twin merged to make room comes back. */
      {full, "a=rtpmap:126 AMR/8000 x\r\n", "a=ptime:30\r\n"},
      {full, "a=rtpmap:126 telephone-event/0\r\n", ""},
      /* A line taken whole that fills the table: its format shares the first description's, whose copy finds no room. */
      {sharedFull, "a=rtpmap:126 AMR/8000\r\n", "a=sendonly\r\n"},
      /* The merge also renumbers another description's choices (its twins of the first one's). */
      {twinsFull, "a=rtpmap:126 AMR/8000 x\r\n", "a=ptime:30\r\n"},
      /* An m= line run after the rtpmap line's syntax error: the record goes back to before both, the
       * description the rtpmap line added a format to too, with and without a merge. */
      {av, "a=rtpmap:97 FOO/8000 x m=audio 3 RTP/AVP 0\r\n", ""},
      {twinsFull, "a=rtpmap:126 AMR/8000 x m=audio 4 RTP/AVP 0\r\n", ""},
  };
  for (const auto& row : rows) {
    for (const u32 flags : {0u, VQX_SDP_PARSE_TOKENS}) {
      VqxRecord a = NewRecord(), b = NewRecord();
      ASSERT_EQ(VQXMediaLibSdpParse((row.before + row.after).c_str(), a.get(), flags, nullptr), VQX_RESULT_OK)
          << row.refused;
      ASSERT_EQ(VQXMediaLibSdpParse((row.before + row.refused + row.after).c_str(), b.get(), flags, nullptr),
                VQX_RESULT_INVALID_CONFIG)
          << row.refused;
      EXPECT_EQ(DumpSdp(*b), DumpSdp(*a)) << row.refused << " flags " << flags;
      EXPECT_EQ(std::memcmp(a.get(), b.get(), sizeof *a), 0) << row.refused << " flags " << flags;
    }
  }
  /* The first row does fill the table: without its refused line it takes a
   * 33rd capability by merging the twin. */
  VQX_RESULT res;
  const VqxRecord r = ParseSdp(full + "m=audio 3 RTP/AVP 8\r\n", &res);
  EXPECT_EQ(res, VQX_RESULT_OK);
  EXPECT_NE(DumpSdp(*r).find("caps 32 "), std::string::npos) << DumpSdp(*r);
  EXPECT_NE(DumpSdp(*ParseSdp(full)).find("caps 32 "), std::string::npos);
}

}  // namespace
