/*
 * test_wire.cpp - packet layouts byte for byte: every UDP kind, the batch
 * header and the TCP polls equal the golden images of tests/data, which are
 * what the independent Python struct encoder (check_wire.py) writes today.
 * Decoders round-trip, refuse short input without reading past it and
 * terminate texts; handles from names.
 */
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>

#include "gw_test_support.h"

using namespace vqxgw;

namespace {

VQX_GW_HOST_ADV SampleHostAdv() {
  VQX_GW_HOST_ADV a{0x484C5041, 2, 3, 0, 1, 40000, 0, {}};
  a.Info = {0x7F00000100000ABCull, 0,          2,          "testhost", "quellan", 0x1111222233334444ull,
            0x5555666677778888ull, "10.1.2.3", "10.1.3.3", 0x02070B04, 2,         {}};
  return a;
}

VQX_GW_ADAPTER_ADV SampleAdapterAdv() {
  VQX_GW_ADAPTER_ADV a{0x47575041, {}, 1, 5000, {}};
  a.Info = {{1, 2, 3},    "board-1",    "1A2B0C9D", 0x280, "127.0.0.1", "",
            {0, 0, 0, 1}, {0, 0, 0, 1}, 0x02070B04, 0x424, 0x428,       {}};
  return a;
}

std::vector<u8> ReadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::vector<u8>(std::istreambuf_iterator<char>(f), {});
}

template <size_t N>
std::vector<u8> V(const u8 (&b)[N]) {
  return std::vector<u8>(b, b + N);
}

/* n letters cycling through the alphabet from first, as check_wire.py's name() builds them. */
std::string Name(char first, size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; i++) s[i] = char('a' + (first - 'a' + int(i)) % 26);
  return s;
}

/* Copies a name into a record's text field: filled to its last byte when as long as the field, else
 * NUL-terminated. */
template <size_t N>
void SetName(char (&field)[N], const std::string& s) {
  std::memset(field, 0, N);
  std::memcpy(field, s.data(), std::min(s.size(), N));
}

/* The golden records' names: n letters in the 128-byte fields, m in the 64-byte ones. */
VQX_GW_HOST_ADV HostAdvNamed(size_t n, size_t m) {
  VQX_GW_HOST_ADV a = SampleHostAdv();
  SetName(a.Info.szHostName, Name('h', n));
  SetName(a.Info.szAppName, Name('a', n));
  SetName(a.Info.szIpAddress0, Name('p', m));
  SetName(a.Info.szIpAddress1, Name('q', m));
  return a;
}
VQX_GW_ADAPTER_ADV AdapterAdvNamed(size_t n, size_t m) {
  VQX_GW_ADAPTER_ADV a = SampleAdapterAdv();
  SetName(a.Info.szAdapterName, Name('n', n));
  SetName(a.Info.szSerialNumber, Name('s', n));
  SetName(a.Info.szIpAddress0, Name('p', m));
  SetName(a.Info.szIpAddress1, Name('q', m));
  return a;
}

/* "" when equal, else the first offset where got differs from want. */
std::string Diff(const std::vector<u8>& got, const std::vector<u8>& want) {
  const auto d = std::mismatch(got.begin(), got.end(), want.begin(), want.end());
  if (d.first == got.end() && d.second == want.end()) return "";
  char sz[96];
  snprintf(sz, sizeof(sz), "%zu bytes, golden %zu; first difference at %zd: 0x%02X, golden 0x%02X", got.size(),
           want.size(), d.first - got.begin(), d.first == got.end() ? 0u : *d.first,
           d.second == want.end() ? 0u : *d.second);
  return sz;
}

std::vector<u8> Golden(const std::string& kind) {
  const char* dir = std::getenv("VQX_TEST_DATA");
  return ReadFile(std::string(dir != nullptr ? dir : ".") + "/" + kind + ".bin");
}

}  // namespace

TEST(GwWire, EveryImageMatchesItsGoldenFileAndTheGeneratorStillWritesIt) {
  const PollFields poll = {0x0102030405060708ull, 4500, 10000, 2000, 1};
  u8 d[kDiscoverySize], s[kSpecificSize], p[kPollSize], h[kHostAdvSize], a[kAdapterAdvSize];
  u8 b[kBatchHeaderSize], hp[kBatchHeaderSize], hr[kBatchHeaderSize], ap[kAdapterPollSize];
  const u32 sizes[3] = {100, 200, 0x400000};
  EncodeDiscovery(kAdaptersDiscoveryId, d);
  EncodeSpecificDiscovery(0x484C4453, 1, "hostA", "appB", s);
  EncodeUdpPoll(0x484C5049, poll, p);
  EncodeHostAdv(SampleHostAdv(), h);
  EncodeAdapterAdv(SampleAdapterAdv(), a);
  EncodeBatchHeader(3, sizes, b);
  EncodeHostPoll(hp);
  EncodeHostPollReply(hr);
  EncodeAdapterPoll(poll, ap);
  const struct {
    const char* kind;
    std::vector<u8> bytes;
  } images[] = {{"discovery", V(d)},  {"specific", V(s)},         {"udp_poll", V(p)},
                {"host_adv", V(h)},   {"adapter_adv", V(a)},      {"batch_header", V(b)},
                {"host_poll", V(hp)}, {"host_poll_reply", V(hr)}, {"adapter_poll", V(ap)}};
  const char* dir = std::getenv("VQX_TEST_DATA");
  ASSERT_NE(dir, nullptr);
  char tmp[] = "/tmp/gwwireXXXXXX";
  ASSERT_NE(mkdtemp(tmp), nullptr);
  const std::string cmd = "python3 " + gwtest::SourcePath("gwlib/tests/check_wire.py") + " " + tmp;
  ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
  for (auto& im : images) {
    const std::vector<u8> golden = Golden(im.kind);
    EXPECT_EQ(im.bytes, golden) << im.kind;
    EXPECT_EQ(ReadFile(std::string(tmp) + "/" + im.kind + ".bin"), golden) << im.kind << ": regenerate tests/data";
  }
  std::system(("rm -rf " + std::string(tmp)).c_str());
}

TEST(GwWire, DecodersRoundTripAndRefuseShortPackets) {
  u8 h[kHostAdvSize], a[kAdapterAdvSize], bh[kBatchHeaderSize];
  const VQX_GW_HOST_ADV hin = SampleHostAdv();
  const VQX_GW_ADAPTER_ADV ain = SampleAdapterAdv();
  const u32 sizes[2] = {5, 9};
  EncodeHostAdv(hin, h);
  EncodeAdapterAdv(ain, a);
  EncodeBatchHeader(2, sizes, bh);
  VQX_GW_HOST_ADV hout;
  VQX_GW_ADAPTER_ADV aout;
  ASSERT_TRUE(DecodeHostAdv(VqxGwCursor(h, sizeof(h)), hout));
  EXPECT_EQ(0, std::memcmp(&hin, &hout, sizeof(hin)));
  ASSERT_TRUE(DecodeAdapterAdv(VqxGwCursor(a, sizeof(a)), aout, false));
  EXPECT_EQ(0, std::memcmp(&ain, &aout, sizeof(ain)));
  /* each row: a decoder given exactly len bytes of a packet, in a buffer of
   * that size (AddressSanitizer sees any read past them) */
  struct Row {
    const char* what;
    const u8* pkt;
    size_t len;
    int kind;  // 0 host adv, 1 adapter adv, 2 specific, 3 UDP poll, 4 adapter poll, 5 batch header,
               // 6 adapter adv holding its build number
    bool ok;
  } const rows[] = {{"host adv 439", h, kHostAdvSize - 1, 0, false},
                    {"host adv 440", h, kHostAdvSize, 0, true},
                    {"adapter adv 419", a, kAdapterAdvMinSize - 1, 1, false},
                    {"adapter adv 420", a, kAdapterAdvMinSize, 1, true},
                    {"adapter adv 423", a, kAdapterAdvMinSize + 3, 1, true},
                    {"adapter adv 424", a, kAdapterAdvMinSize + 4, 6, true},
                    {"specific 263", h, kSpecificSize - 1, 2, false},
                    {"specific 264", h, kSpecificSize, 2, true},
                    {"poll 31", h, kPollSize - 1, 3, false},
                    {"poll 32", h, kPollSize, 3, true},
                    {"adapter poll 91", h, kAdapterPollSize - 1, 4, false},
                    {"adapter poll 92", h, kAdapterPollSize, 4, true},
                    {"batch header 11", bh, 11, 5, false},
                    {"batch header 12", bh, 12, 5, true}};
  for (const Row& r : rows) {
    std::vector<u8> buf(r.pkt, r.pkt + r.len);
    buf.shrink_to_fit();
    VqxGwCursor c(buf.data(), buf.size());
    SpecificDiscovery sd;
    PollFields pf;
    BatchHeader b;
    bool ok = false;
    switch (r.kind) {
      case 0: ok = DecodeHostAdv(c, hout); break;
      /* 420 bytes carry every field up to the gw1 flag; a word cut short reads as 0 */
      case 1: ok = DecodeAdapterAdv(c, aout, false) && aout.Info.un32BuildNumber == 0; break;
      case 6:
        ok = DecodeAdapterAdv(c, aout, false) && aout.Info.un32BuildNumber == ain.Info.un32BuildNumber &&
             aout.Info.un32Info424 == 0;
        break;
      case 2: ok = DecodeSpecificDiscovery(c, sd); break;
      case 3: ok = DecodeUdpPoll(c, pf); break;
      case 4: ok = DecodeAdapterPoll(c, pf); break;
      default: ok = DecodeBatchHeader(c, b) && b.un32Count == 2 && b.aun32Sizes[1] == 9; break;
    }
    EXPECT_EQ(ok, r.ok) << r.what;
  }
  /* a host name filling its whole field is cut at its last byte */
  std::memset(h + kHostAdvOffInfo + kHostInfoOffHostName, 'x', kNameLen);
  ASSERT_TRUE(DecodeHostAdv(VqxGwCursor(h, sizeof(h)), hout));
  EXPECT_EQ(std::strlen(hout.Info.szHostName), kNameLen - 1);
  /* an empty adapter name takes the gw0 address, except over a link, where
   * the words at 280 and 428 also stay raw */
  std::memset(a + kAdapterAdvOffInfo + kAdapterInfoOffName, 0, kNameLen);
  ASSERT_TRUE(DecodeAdapterAdv(VqxGwCursor(a, sizeof(a)), aout, false));
  EXPECT_STREQ(aout.Info.szAdapterName, "127.0.0.1");
  ASSERT_TRUE(DecodeAdapterAdv(VqxGwCursor(a, sizeof(a)), aout, true));
  EXPECT_STREQ(aout.Info.szAdapterName, "");
  EXPECT_EQ(aout.Info.un32Info280, __builtin_bswap32(0x280u));
  EXPECT_EQ(aout.Info.un32Info428, __builtin_bswap32(0x428u));
}

TEST(GwWire, HandlesFromNames) {
  const struct {
    const char* name;
    bool fSerial;
    u32 handle;
  } rows[] = {{"12345678", true, 0xCA345678},  // the eight characters read, one fewer, one more
              {"1234567", true, 0xCA345670},
              {"123456789", true, 0xCA345678},
              {"1A2B0C9D", true, 0xCA200090},  // characters other than 1..9 count as 0
              {"12", true, 0xCA000000},
              {"", true, 0xCA000000},
              {"99999999ABC", true, 0xCA999999},
              {"VQ500_1234", true, 1234},
              {"VQ500_0x0C000010", true, 0x0C000010},
              {"VQ500_017", true, 15},
              {"VQ500_0", true, 0xCA000000},
              // numbers in the local, group or broadcast ranges stay in our own
              {"VQ500_0xDA000010", true, 0xCA000010},
              {"VQ500_0xDA00FFFF", true, 0xCA00FFFF},
              {"VQ500_0xEA123456", true, 0xCA123456},
              {"VQ500_0xFFFFFFFF", true, 0xCAFFFFFF},
              {"VQ500_0xDA010000", true, 0xDA010000},  // just past the local range
              // a host name is never a number: its handle stays in the base
              {"VQ500_0xCB345678", false, 0xCA500000},
              {"VQ500_12", false, 0xCA500012}};
  for (auto& r : rows) {
    EXPECT_EQ(HandleFromName(0xCA, r.name, r.fSerial), r.handle) << r.name;
    EXPECT_FALSE(HandleIsReserved(HandleFromName(0xCA, r.name, r.fSerial))) << r.name;
  }
}

/* Every name field of the UDP packets and the link handshake blocks with a name one shorter than the
 * field, exactly as long and one longer: the encoders write at most the field's size less one and a
 * NUL (the golden images of check_wire.py's NAMES), whatever the output buffer held before. A
 * record's field holds no longer name: its "one longer" is the full field followed by the next
 * field's letters. Decoders given fields filled to their last byte (NAMES_FULL), in buffers of the
 * packet's exact size, cut each at its last byte and leave the fields after it whole. */
TEST(GwWire, NamesAsLongAsTheirFieldsAreCutAtTheirLastByte) {
  const std::vector<u8> specific = Golden("names_specific"), host = Golden("names_host_adv"),
                        adapter = Golden("names_adapter_adv");
  ASSERT_EQ(specific.size(), kSpecificSize);
  ASSERT_EQ(host.size(), kHostAdvSize);
  ASSERT_EQ(adapter.size(), kAdapterAdvSize);
  for (size_t n : {kNameLen - 1, kNameLen, kNameLen + 1}) {
    u8 s[kSpecificSize];
    std::memset(s, 0xAA, sizeof(s));
    EncodeSpecificDiscovery(0x484C4453, 1, Name('h', n).c_str(), Name('a', n).c_str(), s);
    EXPECT_EQ(Diff(V(s), specific), "") << "specific discovery, names of " << n;
  }
  for (size_t n : {kNameLen - 1, kNameLen}) {
    const size_t m = n / 2; /* 63 or 64: the address texts' fields are half as long */
    u8 h[kHostAdvSize], a[kAdapterAdvSize];
    std::memset(h, 0xAA, sizeof(h));
    std::memset(a, 0xAA, sizeof(a));
    EncodeHostAdv(HostAdvNamed(n, m), h);
    EncodeAdapterAdv(AdapterAdvNamed(n, m), a);
    EXPECT_EQ(Diff(V(h), host), "") << "host advertisement, names of " << n << " and " << m;
    EXPECT_EQ(Diff(V(a), adapter), "") << "adapter advertisement, names of " << n << " and " << m;
  }

  /* What each decoder must give back for both images: the names cut to 127 and 63 letters. */
  const VQX_GW_HOST_ADV hwant = HostAdvNamed(kNameLen - 1, 63);
  const VQX_GW_ADAPTER_ADV awant = AdapterAdvNamed(kNameLen - 1, 63);
  for (const char* suffix : {"", "_full"}) {
    const std::string tag = suffix;
    std::vector<u8> b = Golden("names_specific" + tag);
    b.shrink_to_fit();
    SpecificDiscovery sd;
    ASSERT_TRUE(DecodeSpecificDiscovery(VqxGwCursor(b.data(), b.size()), sd)) << tag;
    EXPECT_EQ(sd.un32Request, 1u) << tag;
    EXPECT_EQ(std::string(sd.szHost), Name('h', kNameLen - 1)) << "specific" << tag;
    EXPECT_EQ(std::string(sd.szApp), Name('a', kNameLen - 1)) << "specific" << tag;

    b = Golden("names_host_adv" + tag);
    b.shrink_to_fit();
    VQX_GW_HOST_ADV hout;
    ASSERT_TRUE(DecodeHostAdv(VqxGwCursor(b.data(), b.size()), hout)) << tag;
    EXPECT_EQ(0, std::memcmp(&hout, &hwant, sizeof(hout))) << "host advertisement" << tag << ": "
                                                           << hout.Info.szHostName;

    b = Golden("names_adapter_adv" + tag);
    b.shrink_to_fit();
    VQX_GW_ADAPTER_ADV aout;
    ASSERT_TRUE(DecodeAdapterAdv(VqxGwCursor(b.data(), b.size()), aout, false)) << tag;
    EXPECT_EQ(0, std::memcmp(&aout, &awant, sizeof(aout))) << "adapter advertisement" << tag << ": "
                                                           << aout.Info.szAdapterName;
    /* the handshake block of a link: the same texts */
    ASSERT_TRUE(DecodeAdapterAdv(VqxGwCursor(b.data(), b.size()), aout, true)) << tag;
    for (auto [got, want] : {std::pair{aout.Info.szAdapterName, awant.Info.szAdapterName},
                             {aout.Info.szSerialNumber, awant.Info.szSerialNumber},
                             {aout.Info.szIpAddress0, awant.Info.szIpAddress0},
                             {aout.Info.szIpAddress1, awant.Info.szIpAddress1}})
      EXPECT_EQ(std::string(got), std::string(want)) << "adapter handshake block" << tag;
  }
}
