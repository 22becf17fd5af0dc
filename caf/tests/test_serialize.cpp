// CVQCAFSerialize against the independent Python struct encoder (golden
// files in tests/data), the readers' refusals, and CVQCAFBuffer: content
// after each operation, loans and what they forbid, copies and the
// u64-length serialised form.

#include <numeric>

#include "support/vqcaf_test_stream.h"
#include "support/vqcaf_test_support.h"

namespace {

CVQCAFBuffer MakeBuffer(std::vector<u8> Bytes) {
  CVQCAFBuffer b(VQCAF_DEBUG_INFO);
  b.Set(static_cast<u32>(Bytes.size()), Bytes.data());
  return b;
}

std::vector<u8> Content(CVQCAFBuffer& b) {
  u8* p = b.GetData(__FILE__, __LINE__);
  std::vector<u8> v(p, p + b.GetSize());
  b.ReleaseData(__FILE__, __LINE__);
  return v;
}

TEST(Serialize, WriterMatchesTheIndependentEncoderAndItsOwnSizes) {
  using S = CVQCAFSerialize;
  CVQCAFTestStream s;
  CVQCAFBuffer b4 = MakeBuffer({0x00, 0x01, 0x02, 0xFF});
  CVQCAFBuffer b2 = MakeBuffer({0x10, 0x20});
  CVQCAFBuffer b1 = MakeBuffer({0x09});
  CVQCAFBuffer b12 = MakeBuffer({1, 2});
  IVQCAFSerializable& o2 = b2;  // the u64-length form
  IVQCAFSerializable& o12 = b12;
  CVQCAFString strTrace("trace"), strEmpty, strId("id");
  u8 un8 = 7;
  u16 un16 = 0xBEEF;
  u32 un32 = 0x0B080101;
  u64 un64 = 1;
  // Each item is written in the golden order, and its size function equals the bytes it took (all ones: failed).
  u64 un64Last = 0;
  auto W = [&](VQX_RESULT un32Result) {
    return un32Result != VQX_RESULT_OK ? ~0ull : s.GetCurrentSeek() - std::exchange(un64Last, s.GetCurrentSeek());
  };
  EXPECT_EQ(W(s.Write(u8{0xA5})), 1u);
  EXPECT_EQ(W(s.Write(u16{0x1234})), 2u);
  EXPECT_EQ(W(s.Write(u32{0xDEADBEEF})), S::SerializeSize(un32));
  EXPECT_EQ(W(s.Write(u64{0x0102030405060708ull})), S::SerializeSize(un64));
  EXPECT_EQ(W(s.Write(strTrace)), S::SerializeSize(strTrace));
  EXPECT_EQ(W(s.Write(strEmpty)), S::SerializeSize(strEmpty));
  EXPECT_EQ(W(s.Write(b4)), S::SerializeSize(b4));
  EXPECT_EQ(W(s.WriteWithIdAndSize(0x0B000001u, un32)), S::SerializeSizeWithIdAndSize(1u, un32));
  EXPECT_EQ(W(s.WriteWithIdAndSize(0x7CAF7002u, 3u, "abc")), S::SerializeSizeWithIdAndSize(1u, 3u, "abc"));
  EXPECT_EQ(W(s.Write(o2)), S::SerializeSize(o2));
  EXPECT_EQ(W(s.WriteWithIdAndSize(0x42u, strId)), S::SerializeSizeWithIdAndSize(1u, strId));
  EXPECT_EQ(W(s.WriteWithIdAndSize(0x43u, un8)), S::SerializeSizeWithIdAndSize(1u, un8));
  EXPECT_EQ(W(s.WriteWithIdAndSize(0x44u, un16)), S::SerializeSizeWithIdAndSize(1u, un16));
  EXPECT_EQ(W(s.WriteWithIdAndSize(0x45u, un64)), S::SerializeSizeWithIdAndSize(1u, un64));
  EXPECT_EQ(W(s.WriteWithIdAndSize(0x46u, b1)), S::SerializeSizeWithIdAndSize(1u, b1));
  EXPECT_EQ(W(s.WriteWithIdAndSize(0x47u, o12)), S::SerializeSizeWithIdAndSize(1u, o12));
  EXPECT_EQ(s.Str(), DataFile("serialize_golden.bin"));  // scripts/check_generated.py reruns its encoder
}

TEST(Serialize, BadInputIsRefusedAndTargetsLeftUnchangedOrEmpty) {
  ExpectRows("serialize_refusals.txt", 4, [](std::vector<std::string>& a) {
    std::vector<u8> Bytes;
    const size_t nPlus = a[2].find('+');
    for (size_t i = 0; i + 1 < std::min(nPlus, a[2].size()); i += 2) {
      Bytes.push_back(static_cast<u8>(std::stoul(a[2].substr(i, 2), nullptr, 16)));
    }
    const size_t nHeader = Bytes.size();
    for (size_t i = 0, n = nPlus == std::string::npos ? 0 : std::stoul(a[2].substr(nPlus + 1)); i < n; ++i) {
      Bytes.push_back(static_cast<u8>(i));
    }
    CVQCAFTestStream s(Bytes.data(), Bytes.size());  // of the bytes' exact size: AddressSanitizer sees a read past
    CVQCAFString str("previous");
    CVQCAFBuffer b = MakeBuffer({7, 7, 7});
    u32 un32 = 0x55;
    const VQX_RESULT un32Result = a[1] == "string"     ? s.Read(str)
                                  : a[1] == "buffer"   ? s.Read(b)
                                  : a[1] == "buffer64" ? b.Unserialize(s)
                                                       : s.Read(un32);
    a[3] = Hex(un32Result);
    // Refused: the string or buffer empty. Read whole: exactly the bytes after the length field.
    const std::vector<u8> Read = un32Result == VQX_RESULT_OK ? std::vector<u8>(Bytes.begin() + nHeader, Bytes.end())
                                                             : std::vector<u8>();
    auto Holds = [&](const std::vector<u8>& Got, bool fRead, const std::vector<u8>& Before) {
      const std::vector<u8>& Want = fRead ? Read : Before;
      return Got == Want ? "" : std::to_string(Got.size()) + " bytes, want " + std::to_string(Want.size());
    };
    EXPECT_EQ(Holds(std::vector<u8>(str.c_str(), str.c_str() + str.GetLength()), a[1] == "string",
                    {'p', 'r', 'e', 'v', 'i', 'o', 'u', 's'}),
              "")
        << a[0];
    EXPECT_EQ(Holds(Content(b), a[1] == "buffer" || a[1] == "buffer64", {7, 7, 7}), "") << a[0];
    EXPECT_EQ(un32, 0x55u) << a[0];
    EXPECT_TRUE(b.CheckInvariant()) << a[0];
  });
  std::vector<u8> Three = {1, 2, 3};
  CVQCAFTestStream s(Three.data(), Three.size());
  EXPECT_EQ(ThrownResult([&] { s.ReadU64(); }), VQX_RESULT_OUT_OF_RESOURCE);  // the stream's result, thrown
  EXPECT_EQ(s.ReadU16(), 0x0102);                                             // nothing read before
}

TEST(Serialize, OverlongBufferIsCutWithOneLine) {
  CDiagCapture Capture;
  CVQCAFBuffer b(VQCAF_DEBUG_INFO);
  ASSERT_EQ(b.SetSize(VQCAF_SERIALIZE_MAX_BUFFER_LENGTH + 10u, 0), VQX_RESULT_OK);
  u8* p = b.GetData(__FILE__, __LINE__);
  p[VQCAF_SERIALIZE_MAX_BUFFER_LENGTH - 1] = 0xEE;
  p[VQCAF_SERIALIZE_MAX_BUFFER_LENGTH] = 0xDD;
  b.ReleaseData(__FILE__, __LINE__);
  CVQCAFTestStream s;
  EXPECT_EQ(s.Write(b), VQX_RESULT_OK);
  ASSERT_EQ(s.Bytes().size(), 4u + VQCAF_SERIALIZE_MAX_BUFFER_LENGTH);
  EXPECT_EQ(std::vector<u8>(s.Bytes().begin(), s.Bytes().begin() + 4), std::vector<u8>({1, 0, 0, 0}));
  EXPECT_EQ(s.Bytes().back(), 0xEE);
  EXPECT_EQ(Capture.Texts(), std::vector<std::string>({"CVQCAFSerialize::Write(CVQCAFBuffer&) buffer length too big, "
                                                       "not supported (by protection). Will truncate\n"}));
  s.Seek(0);  // and it reads back at exactly the limit
  EXPECT_EQ(s.Read(b), VQX_RESULT_OK);
  EXPECT_EQ(b.GetSize(), VQCAF_SERIALIZE_MAX_BUFFER_LENGTH);
}

TEST(Buffer, SetAndSetSize) {
  CVQCAFBuffer b(VQCAF_DEBUG_INFO);
  const u8 aby[] = {1, 2, 3, 4, 5};
  EXPECT_EQ(b.Set(5, aby), VQX_RESULT_OK);
  EXPECT_EQ(b.SetSize(6, 1), VQX_RESULT_OK);  // kept, the new byte zero
  EXPECT_EQ(Content(b), std::vector<u8>({1, 2, 3, 4, 5, 0}));
  EXPECT_EQ(b.SetSize(3, 1), VQX_RESULT_OK);
  EXPECT_EQ(Content(b), std::vector<u8>({1, 2, 3}));
  EXPECT_EQ(b.SetSize(7, 0), VQX_RESULT_OK);  // a plain int: the 64-bit form
  EXPECT_EQ(b.SetSize(-1, 0), VQX_RESULT_INVALID_PARAM);
  EXPECT_THROW(b.SetSize(~0ull, 1), std::length_error);  // no process can hold it
  EXPECT_EQ(b.GetSize(), 7u);                            // each refusal kept the content
  EXPECT_TRUE(b.CheckInvariant());
  // Set from its own bytes: within the content it works, past it it is refused.
  ExpectRows("buffer_set_own_bytes.txt", 4, [&](std::vector<std::string>& a) {
    b.Set(3, aby + 2);
    u8* p = b.GetData(__FILE__, __LINE__);
    b.ReleaseData(__FILE__, __LINE__);
    a[2] = Hex(b.Set(static_cast<u32>(std::stoul(a[1], nullptr, 0)), p + std::stoul(a[0])));
    a[3].clear();
    for (u8 by : Content(b)) a[3] += Hex(by).substr(6);
  });
}

/* Resized with the keep flag, a buffer keeps its first min(old, new) bytes byte for byte and its new
 * bytes are zero: shrunk and grown again within its capacity it stays in place (a loan held throughout
 * stays valid) and what it gave up does not come back; grown past its capacity it moves, keeping them. */
TEST(Buffer, ShrunkAndGrownAgainKeepsItsBytes) {
  const struct {
    const char* pszWhat;
    std::vector<u32> aun32Sizes;  // successive SetSize(size, 1) from 16 bytes 1..16, capacity 16
    size_t nKept;
    bool fInPlace;
  } aRows[] = {{"shrink, grow within the capacity", {4, 12}, 4, true},
               {"shrink, grow to the capacity", {4, 16}, 4, true},
               {"shrink by one, grow by one", {15, 16}, 15, true},
               {"shrink to nothing, grow", {0, 9}, 0, true},
               {"shrink twice, grow", {10, 3, 16}, 3, true},
               {"shrink, grow past the capacity", {4, 40}, 4, false}};
  std::vector<u8> Start(16);
  std::iota(Start.begin(), Start.end(), 1);
  for (const auto& Row : aRows) {
    CVQCAFBuffer b = MakeBuffer(Start);
    u8* p = Row.fInPlace ? b.GetData(__FILE__, __LINE__) : nullptr;
    for (u32 un32Size : Row.aun32Sizes) {
      EXPECT_EQ(b.SetSize(un32Size, 1), VQX_RESULT_OK) << Row.pszWhat << ", " << un32Size;
    }
    std::vector<u8> Want(Start.begin(), Start.begin() + Row.nKept);
    Want.resize(Row.aun32Sizes.back(), 0);
    EXPECT_EQ(Content(b), Want) << Row.pszWhat;
    if (Row.fInPlace) {
      EXPECT_EQ(b.GetData(__FILE__, __LINE__), p) << Row.pszWhat;
      b.ReleaseData(__FILE__, __LINE__);
      b.ReleaseData(__FILE__, __LINE__);
    }
    EXPECT_TRUE(b.CheckInvariant()) << Row.pszWhat;
  }
}

TEST(Buffer, LoansForbidMovingTheBytes) {
  CDiagCapture Capture;
  CVQCAFBuffer b = MakeBuffer({9, 8, 7});
  CVQCAFBuffer Other = MakeBuffer({9, 8, 7});
  CVQCAFTestStream s;
  u8* p = b.GetData(__FILE__, __LINE__);
  EXPECT_EQ(b.GetData(__FILE__, __LINE__), p);  // a second loan, the same bytes
  EXPECT_EQ(b.SetSize(1000, 1), VQX_RESULT_INVALID_STATE);
  EXPECT_EQ(b.Clear(), VQX_RESULT_INVALID_STATE);
  EXPECT_EQ(b.Unserialize(s), VQX_RESULT_INVALID_STATE);
  EXPECT_EQ(ThrownResult([&] { b = Other; }), VQX_RESULT_INVALID_STATE);  // assignment while lent
  // In place changes are allowed and the lent pointer stays valid; one release too many is refused and reported.
  EXPECT_EQ(b.SetSize(2, 1), VQX_RESULT_OK);
  EXPECT_EQ(b.Set(3, Content(Other).data()), VQX_RESULT_OK);
  EXPECT_EQ(p[2], 7);
  EXPECT_EQ(b.ReleaseData(__FILE__, __LINE__), VQX_RESULT_OK);
  EXPECT_EQ(b.ReleaseData(__FILE__, __LINE__), VQX_RESULT_OK);
  EXPECT_EQ(b.ReleaseData(__FILE__, __LINE__), VQX_RESULT_INVALID_STATE);
  EXPECT_EQ(Capture.Texts().size(), 1u);
  EXPECT_EQ(b.SetSize(1000, 1), VQX_RESULT_OK);
}

TEST(Buffer, CopyIsIndependentAndTheU64FormRoundTrips) {
  std::vector<u8> Big(70000);  // more than one read chunk
  for (size_t i = 0; i < Big.size(); ++i) Big[i] = static_cast<u8>(i * 7);
  CVQCAFBuffer a = MakeBuffer(Big);
  CVQCAFBuffer c(a);
  a.SetSize(1, 1);
  CVQCAFTestStream s;
  EXPECT_EQ(c.Serialize(s), VQX_RESULT_OK);
  EXPECT_EQ(c.SerializeSize(), 70008u);
  EXPECT_EQ(std::vector<u8>(s.Bytes().begin(), s.Bytes().begin() + 8), std::vector<u8>({0, 0, 0, 0, 0, 1, 0x11, 0x70}));
  s.Seek(0);
  EXPECT_EQ(a.Unserialize(s), VQX_RESULT_OK);  // replaces what it held
  EXPECT_EQ(Content(a), Big);
  EXPECT_TRUE(a.CheckInvariant());
}

}  // namespace
