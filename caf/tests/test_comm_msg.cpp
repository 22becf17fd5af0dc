/*
 * test_comm_msg.cpp - the framework message buffer: envelope and buffer
 * member (and the sig-trace and configuration-management messages) byte for
 * byte against the independent Python encoder's golden files
 * (and its decoder run on what C++ wrote), what a reader accepts and
 * refuses, growth, seeks and reads at the limits.
 */
#include "comm_test_support.h"
#include "vqcafmsgsigtrace.h"
#include "vqcafservicecmmgmtclient.h"
#include "vqcafserviceinfo.h"

namespace {

const std::string kData = getenv("VQX_TEST_DATA") != nullptr ? getenv("VQX_TEST_DATA") : "caf/tests/data";
const std::string kDecoder = std::string(getenv("VQX_SOURCE_DIR") != nullptr ? getenv("VQX_SOURCE_DIR") : ".") +
                             "/testing/golden/caf/comm_golden.py";

std::string Bytes(const std::string& strName) { return ReadFile(kData + "/" + strName); }

/* The payload of a framework message object as C++ writes it. */
std::string PayloadOf(CVQCAFMsg& Msg) {
  CVQCAFMsgBuffer b;
  EXPECT_EQ(b.SerializeFromMsg(Msg, nullptr), VQX_RESULT_OK);
  return CommTest::Payload(b);
}

/* The service information of the golden case, as C++ writes it. */
std::string SampleServiceInfoBytes() {
  CVQCAFServiceInfo Info;
  Info.mun32ServiceId = 0x0B0D0100;
  Info.maun32DetectedRemoteServiceId[0] = 0x0B0D0200;
  Info.mbufServiceUserContext.Set(2, "ab");
  strcpy(Info.mHostInfo.szApplicationName, "app");
  CVQCAFTestStream s;
  EXPECT_EQ(Info.Serialize(s), VQX_RESULT_OK);
  return s.Str();
}

TEST_F(CommTest, GoldenEnvelopeAndBufferMember) {
  CTempDir Dir;
  CWordsMsg Framework(0x0B030100, 10), Plain(0x08250001, 3);
  CVQCAFMsgBuffer b1, b2;
  ASSERT_EQ(b1.SerializeFromMsg(Framework, nullptr), VQX_RESULT_OK);
  EXPECT_EQ(b1.GetMsgHandle(0)->un32PayloadMaxLength, 152u) << "128 + the 24-byte envelope";
  ASSERT_EQ(b2.SerializeFromMsg(Plain, nullptr), VQX_RESULT_OK);
  CVQCAFMsgSigtraceRegister Register;
  strcpy(Register.mInfo.szName, "mgc1");
  strcpy(Register.mInfo.szDescription, "gateway one");
  CVQCAFMsgSigtraceData Data;
  Data.mInfo.un32Type = 1;
  strcpy(Data.mInfo.szName, "mgc1");
  Data.mInfo.un32Direction = 0;
  memcpy(Data.mInfo.abyData, "\x01\x02\x03", 3);
  Data.mInfo.un32DataLength = 3;
  CVQCAFMsgCmMgmt Validate(VQCAF_MSG_CM_OP_VALIDATE), Answer(VQCAF_MSG_CM_OP_VALIDATE + VQCAF_MSG_CM_ANSWER_OFFSET);
  Validate.mun32Number = Answer.mun32Number = 1;
  Validate.maun32Word[0] = 7, Validate.maun32Word[1] = 9, Validate.mastrText[0] = "quellan.xml";
  Answer.maun32Word[0] = VQX_RESULT_OK;
  CVQCAFMsgBuffer Member(HostMsg(mhLib, 0x0B000100, "hello"));
  VQXMsgPayload(Member.GetMsgHandle(0))[7] = 'X';  // a stale byte past the length in use
  CVQCAFTestStream Out;
  ASSERT_EQ(Member.Serialize(Out), VQX_RESULT_OK);
  EXPECT_EQ(Member.SerializeSize(), Out.Str().size());
  const std::pair<const char*, std::string> files[] = {{"comm_envelope_0b030100.bin", Payload(b1)},
                                                       {"comm_plain_08250001.bin", Payload(b2)},
                                                       {"comm_buffer_member.bin", Out.Str()},
                                                       {"comm_service_info.bin", SampleServiceInfoBytes()},
                                                       {"comm_sigtrace_register.bin", PayloadOf(Register)},
                                                       {"comm_sigtrace_data.bin", PayloadOf(Data)},
                                                       {"comm_cm_validate.bin", PayloadOf(Validate)},
                                                       {"comm_cm_answer.bin", PayloadOf(Answer)}};
  for (const auto& [pszName, strGot] : files) {
    EXPECT_EQ(strGot, Bytes(pszName)) << pszName;
    std::ofstream(Dir.Path(pszName), std::ios::binary) << strGot;
  }
  EXPECT_EQ(system(("python3 " + kDecoder + " check " + Dir.Path("")).c_str()), 0);
}

TEST_F(CommTest, EnvelopeReaderAcceptsAndRefuses) {
  const std::string strHead = "\x11\x22\x33\x44\x55\x66\x77\x88", strEnd = Be32(0x0B0000FF);
  const std::string strBody = Be32(0) + Be32(0x01010101);
  const struct {
    const char* pszRow;
    u32 un32Id;
    std::string strPayload;
    VQX_RESULT Expected;
  } rows[] = {
      {"header not checked", 0x0B030100, strHead + Be32(0x0B000001) + Be32(4) + Be32(0x0B030100) + strEnd + strBody,
       VQX_RESULT_OK},
      {"unknown member skipped", 0x0B030100,
       strHead + Be32(0x0B000077) + Be32(3) + "abc" + Be32(0x0B000001) + Be32(4) + Be32(0x0B030100) + strEnd + strBody,
       VQX_RESULT_OK},
      {"longer id member", 0x0B030100,
       strHead + Be32(0x0B000001) + Be32(8) + Be32(0x0B030100) + "zzzz" + strEnd + strBody, VQX_RESULT_OK},
      {"id member below 4", 0x0B030100, strHead + Be32(0x0B000001) + Be32(2) + "\x0B\x03" + strEnd + strBody,
       VQX_RESULT_INVALID_MESSAGE},
      {"no id member", 0x0B030100, strHead + strEnd + strBody, VQX_RESULT_INVALID_MESSAGE},
      {"other id", 0x0B030100, strHead + Be32(0x0B000001) + Be32(4) + Be32(0x0B030200) + strEnd + strBody,
       VQX_RESULT_INVALID_MESSAGE},
      {"member past the end", 0x0B030100, strHead + Be32(0x0B000077) + Be32(999) + "abc", VQX_RESULT_OUT_OF_RESOURCE},
      {"body short", 0x0B030100, strHead + Be32(0x0B000001) + Be32(4) + Be32(0x0B030100) + strEnd + Be32(0),
       VQX_RESULT_OUT_OF_RESOURCE},
      {"plain group", 0x08250001, strBody, VQX_RESULT_OK},
  };
  for (const auto& row : rows) {
    CVQCAFMsgBuffer b(HostMsg(mhLib, row.un32Id, row.strPayload));
    CWordsMsg Msg(row.un32Id, 2);
    EXPECT_EQ(b.UnserializeToMsg(Msg, nullptr), row.Expected) << row.pszRow;
    if (row.Expected == VQX_RESULT_OK) {
      EXPECT_EQ(Msg.maun32Read, std::vector<u32>({0, 0x01010101})) << row.pszRow;
    }
  }
  EXPECT_EQ(Logged("MsgId mismatch. Serialized data is for MsgId 0x0B030200, object is for MsgId 0x0B030100!"), 1u);
  CVQCAFMsgBuffer Empty;
  CWordsMsg Msg(0x0B030100, 1);
  EXPECT_EQ(Empty.UnserializeToMsg(Msg, nullptr), VQX_RESULT_NOT_INITIALIZED);
}

TEST_F(CommTest, SigtraceRecordsReadFromAPeerAreChecked) {
  VQCAF_SIGTRACE_DATA_INFO Info;
  memset(&Info, 'n', sizeof(Info));
  Info.un32DataLength = 10240;
  const std::string strHead = std::string(8, '\xCC') + Be32(0x0B000001) + Be32(4) + Be32(0x0B0D0400) + Be32(0x0B0000FF);
  for (u32 un32Length : {10240u, 10241u}) {
    Info.un32DataLength = un32Length;
    CVQCAFMsgBuffer b(HostMsg(mhLib, 0x0B0D0400, strHead + std::string(reinterpret_cast<char*>(&Info), sizeof(Info))));
    CVQCAFMsgSigtraceData Data;
    const VQX_RESULT Expected = un32Length == 10240 ? VQX_RESULT_OK : VQX_RESULT_INVALID_PARAM;
    EXPECT_EQ(b.UnserializeToMsg(Data, nullptr), Expected) << un32Length;
    EXPECT_EQ(strlen(Data.mInfo.szName), 31u) << "terminated within its field";
  }
  VQCAF_SIGTRACE_REGISTER_INFO Reg;
  memset(&Reg, 'd', sizeof(Reg));
  CVQCAFMsgBuffer c(HostMsg(mhLib, 0x0B0D0100, strHead.substr(0, 16) + Be32(0x0B0D0100) + Be32(0x0B0000FF) +
                                                    std::string(reinterpret_cast<char*>(&Reg), sizeof(Reg))));
  CVQCAFMsgSigtraceRegister Full;
  EXPECT_EQ(c.UnserializeToMsg(Full, nullptr), VQX_RESULT_OK);
  EXPECT_EQ(strlen(Full.mInfo.szDescription), 255u);
}

TEST_F(CommTest, StreamGrowthSeekAndRead) {
  VQX_MSG_HANDLE h = nullptr;
  ASSERT_EQ(VQXGetMsg(mhLib, 128, &h), VQX_RESULT_API_OK);
  h->un32MsgId = 0x0B030100;
  h->MsgType = VQX_MSG_TYPE_RESPONSE;  // not the type a new message gets
  h->un64UserContext1 = 11;
  h->un64UserContext2 = 22;
  CVQCAFMsgBuffer b(h);
  const std::string strFirst(125, 'a');
  ASSERT_EQ(b.Write(125, strFirst.data()), VQX_RESULT_OK);
  ASSERT_EQ(b.Write(10, "0123456789"), VQX_RESULT_OK);
  EXPECT_EQ(b.GetMsgHandle(0)->un32PayloadMaxLength, 256u);
  EXPECT_EQ(b.GetMsgHandle(0)->un32MsgId, 0x0B030100u);
  EXPECT_EQ(b.GetMsgType(), static_cast<u32>(VQX_MSG_TYPE_RESPONSE));
  EXPECT_EQ(Payload(b), strFirst + "0123456789");
  EXPECT_EQ(std::make_pair(b.GetUserContext1(), b.GetUserContext2()), std::make_pair(u64{11}, u64{22})) << "kept by growth";
  char ac[8];
  ExpectSteps({{"seek past capacity", b.Seek(257), VQX_RESULT_OUT_OF_RANGE},
               {"offset kept", b.GetCurrentSeek(), 135u},
               {"seek to capacity", b.Seek(256), VQX_RESULT_OK},
               {"seek back", b.Seek(130), VQX_RESULT_OK},
               {"read 5", b.Read(5, ac), VQX_RESULT_OK},
               {"read past in use", b.Read(1, ac), VQX_RESULT_OUT_OF_RESOURCE},
               {"seek back to 2", b.Seek(2), VQX_RESULT_OK},
               {"write over", b.Write(3, "xyz"), VQX_RESULT_OK},
               {"length kept", b.GetMsgHandle(0)->un32PayloadLength, 135u}});
  EXPECT_EQ(Payload(b), "aaxyz" + strFirst.substr(5) + "0123456789");
  CVQCAFMsgBuffer Empty;
  ExpectSteps({{"empty seek 0", Empty.Seek(0), VQX_RESULT_OK},
               {"empty seek 1", Empty.Seek(1), VQX_RESULT_NOT_INITIALIZED},
               {"empty read", Empty.Read(1, ac), VQX_RESULT_NOT_INITIALIZED},
               {"empty write", Empty.Write(1, ac), VQX_RESULT_NOT_INITIALIZED},
               {"empty member", Empty.Serialize(Empty), VQX_RESULT_NOT_INITIALIZED},
               {"empty size", Empty.SerializeSize(), 0u}});
}

TEST_F(CommTest, BufferMembersInAStream) {
  auto Member = [](u32 un32Id, const std::string& strData) { return Be32(un32Id) + Be32(strData.size()) + strData; };
  const std::string strMagic = Member(0x7CAF7001, Be32(0x1234CAFE)), strEnd = Be32(0x7CAF70FF);
  const struct {
    const char* pszRow;
    std::string strStream;
    std::vector<std::pair<VQX_RESULT, std::string>> reads;  // per Unserialize: result, payload
    u64 un64Left;                                           // bytes left for the caller
  } rows[] = {
      {"two buffers", strMagic + Member(0x7CAF7002, "one") + strEnd + strMagic + Member(0x7CAF7002, "two") + strEnd,
       {{VQX_RESULT_OK, "one"}, {VQX_RESULT_OK, "two"}}, 0},
      {"other data follows", strMagic + Member(0x7CAF7002, "one") + strEnd + Be32(0x42) + "rest",
       {{VQX_RESULT_OK, "one"}}, 8},
      {"unknown member skipped", strMagic + Member(0x7CAF7055, "zz") + Member(0x7CAF7002, "x") + strEnd,
       {{VQX_RESULT_OK, "x"}}, 0},
      {"second data member", strMagic + Member(0x7CAF7002, "a") + Member(0x7CAF7002, "b") + strEnd,
       {{VQX_RESULT_INVALID_MESSAGE, "a"}}, 5},
      {"data larger than a message", strMagic + Be32(0x7CAF7002) + Be32(0xA00000) + "x",
       {{VQX_RESULT_OUT_OF_RANGE, ""}}, 1},
      {"data past the stream", strMagic + Be32(0x7CAF7002) + Be32(100) + "x", {{VQX_RESULT_OUT_OF_RESOURCE, ""}}, 1},
      {"largest data in a short stream", strMagic + Be32(0x7CAF7002) + Be32(VQX_MSG_MAX_PAYLOAD_SIZE),
       {{VQX_RESULT_OUT_OF_RESOURCE, ""}}, 0},
      {"no magic member", Member(0x7CAF7002, "a"), {{VQX_RESULT_FAIL, ""}}, 1},
      {"wrong magic", Member(0x7CAF7001, Be32(0x1234CAFF)), {{VQX_RESULT_FAIL, ""}}, 0},
      {"magic inside", strMagic + strMagic, {{VQX_RESULT_INVALID_MESSAGE, ""}}, 4},
  };
  _VQX_LIB_STATS St{};
  auto Allocs = [&] {
    return VQX_RESULT_FAILED(VQXLibGetStats(mhLib, &St)) ? 0 : St.un64BufPoolHit + St.un64BufPoolMissAlloc;
  };
  for (const auto& row : rows) {
    CVQCAFTestStream In(row.strStream);
    CVQCAFMsgBuffer b;
    u64 un64Allocs = Allocs();
    for (const auto& [Expected, strPayload] : row.reads) {
      EXPECT_EQ(b.Unserialize(In), Expected) << row.pszRow;
      EXPECT_EQ(Payload(b), strPayload) << row.pszRow;
      un64Allocs += !strPayload.empty();
    }
    EXPECT_EQ(Allocs(), un64Allocs) << row.pszRow << ": a message is taken only for data in the stream";
    EXPECT_EQ(In.Bytes().size() - In.GetCurrentSeek(), row.un64Left) << row.pszRow;
  }
}

}  // namespace
