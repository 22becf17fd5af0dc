/*
 * Attributes through the stand-in server (testing/cmcsim) and back: a
 * CALL_LEG_CREATE with leg and protocol attributes, a PLAY whose play
 * attribute grew past its first room and an EVENT_PLAY are handed to the core
 * library by the typed wrappers; the stand-in's decoder reads the values that
 * were set, and its leg present, profile changed and digit collected carry
 * them back to the same attribute classes.
 */
#include <mutex>

#include "cmc_test_support.h"
#include "vqcmc_attributes.h"
#include "vqcmc_leg_attributes.h"
#include "vqcmc_media_attributes.h"
#include "vqcmc_message.h"
#include "vqcmc_protocol_attribute.h"

namespace {

std::mutex g_Guard;
std::vector<VQX_MSG_HANDLE> g_aMsgs;  // taken from the library's callbacks, released at the end

void Keep(VQCMC_LIB_HANDLE, void*, VQX_MSG_HANDLE* ph) {
  std::lock_guard Lock(g_Guard);
  g_aMsgs.push_back(*ph);
  *ph = nullptr;
}

/* The first message of that id received, or null after 20 s. */
VQX_MSG_HANDLE Await(u32 un32Id) {
  VQX_MSG_HANDLE h = nullptr;
  cmcpeer::WaitUntil(
      [&] {
        std::lock_guard Lock(g_Guard);
        for (VQX_MSG_HANDLE m : g_aMsgs)
          if (m->un32MsgId == un32Id) h = m;
        return h != nullptr;
      },
      20000);
  return h;
}

template <class T>
T* At(const VQX_MSG_HANDLE h, u32 un32Offset) {
  return reinterpret_cast<T*>(VQXMsgPayload(h) + un32Offset);
}

void Fill(VQX_MSG_HANDLE h, u32 un32Version, u32 un32Leg) {
  *At<u32>(h, 24) = un32Version;
  *At<u32>(h, 28) = un32Leg;
}

TEST(CmcRoundTripIt, AttributesThroughTheStandIn) {
  CmcServerRun Run;
  Run.Open("cmc_roundtrip_it", Keep, [] { return Await(VQCMC_APP_MSG_NOTIF_READY) != nullptr; });
  _VQCMC_LIB_LEG_PARAMS Leg{};
  Leg.Callback = {Keep, nullptr, &g_Guard};
  Leg.LegType = VQCMC_LEG_TYPE_CALL;
  ASSERT_EQ(VQCmcLibLegCreate(Run.mhCmc, &Leg), VQX_RESULT_OK);
  const u32 un32Leg = Leg.EntityId;
  {
    CVQCMC_CALL_LEG_ATTRIBUTE Attr;
    Attr.GetCalledNumber() = "5551234";
    Attr.GetCallingDisplay() = "Alice";
    Attr.GetProtocolType() = 2;
    ASSERT_EQ(Attr.GetProfile().SetByProfileName("leg profile"), VQX_RESULT_OK);
    CVQCMC_PROTOCOL_ATTRIBUTE Proto;
    ASSERT_EQ(Proto.SetSipStatusCode(180, 1) | Proto.SetSipSuppInfoTransId(0x4321) | Proto.SetChargeNumber(3, 4),
              VQX_RESULT_OK);
    CVQCMCMessage<_VQCMC_MSG_CMD_CALL_LEG_CREATE, VQCMC_MSG_CMD_CALL_LEG_CREATE> Create(4096u);
    VQX_MSG_HANDLE h = Create.GetMsg();
    Fill(h, 1, un32Leg);
    *At<u32>(h, 32) = VQCMC_LEG_TYPE_CALL;
    ASSERT_EQ(Attr.CopyTo(h, At<_VQCMC_CALL_LEG_ATTRIBUTE>(h, 36)), VQX_RESULT_OK);
    ASSERT_EQ(Proto.CopyTo(h, At<_VQCMC_PROTOCOL_ATTRIBUTE>(h, 732)), VQX_RESULT_OK);
    ASSERT_EQ(Create.LegMsgProcess(un32Leg, 0), VQX_RESULT_OK);
    ASSERT_NE(Await(VQCMC_MSG_CMD_CALL_LEG_CREATE), nullptr);
    const std::string strCreate = Run.Server.Command("fields CALL_LEG_CREATE");
    for (const char* psz : {"\"5551234\"", "\"Alice\"", "\"protocol_type\": 2,", "\"profile_name\": \"leg profile\"",
                            "\"status\": 180,", "\"status_arg\": 1,", "\"trans_id\": 17185",
                            "\"generic_headers\": [\"0200000003040000\"]"})
      EXPECT_NE(strCreate.find(psz), std::string::npos) << psz << " in " << strCreate;
    // Back in a leg present (to the library's callback), read by the same classes.
    ASSERT_EQ(Run.Server.Command("echo present 0 0x5009"), "ok");
    VQX_MSG_HANDLE hPresent = Await(VQCMC_MSG_NOTIF_CALL_LEG_PRESENT);
    ASSERT_NE(hPresent, nullptr);
    CVQCMC_CALL_LEG_ATTRIBUTE In;
    CVQCMC_PROTOCOL_ATTRIBUTE InProto;
    ASSERT_EQ(In.CopyFrom(hPresent, At<_VQCMC_CALL_LEG_ATTRIBUTE>(hPresent, 40)), VQX_RESULT_OK);
    ASSERT_EQ(InProto.CopyFrom(hPresent, At<_VQCMC_PROTOCOL_ATTRIBUTE>(hPresent, 736)), VQX_RESULT_OK);
    u8 aun8Charge[2] = {};
    EXPECT_EQ(InProto.GetChargeNumber(aun8Charge[0], aun8Charge[1]), VQX_RESULT_OK);
    const u8* pbyProto = reinterpret_cast<const u8*>(InProto.GetPayload());
    EXPECT_EQ(std::make_tuple(std::string(In.GetCalledNumber().c_str()), std::string(In.GetCallingDisplay().c_str()),
                              In.GetProtocolType(), In.GetProfile().GetProfileName() == "leg profile",
                              aun8Charge[0], aun8Charge[1], *reinterpret_cast<const u16*>(pbyProto + 116),
                              pbyProto[118], *reinterpret_cast<const u32*>(pbyProto + 124)),
              std::make_tuple(std::string("5551234"), std::string("Alice"), 2u, true, u8{3}, u8{4}, u16{180}, u8{1},
                              0x4321u));
    ASSERT_EQ(Run.Server.Command("echo profile " + std::to_string(un32Leg)), "ok");
    VQX_MSG_HANDLE hChanged = Await(VQCMC_MSG_NOTIF_MEDIA_PROFILE_CHANGED);
    ASSERT_NE(hChanged, nullptr);
    CVQCMC_MEDIA_PROFILE Changed;
    ASSERT_EQ(Changed.CopyFrom(hChanged, At<_VQCMC_MEDIA_PROFILE>(hChanged, 40)), VQX_RESULT_OK);
    EXPECT_EQ(std::string(Changed.GetProfileName().c_str()), "leg profile");
  }
  {
    // A play attribute grown past its first room: three paths of 400 characters.
    CVQCMC_PLAY_ATTRIBUTE Play;
    const std::string strLong(400, 'x');
    for (u32 i = 0; i < 3; ++i)
      ASSERT_EQ(Play.AddPlayFilePath(("/m/" + std::to_string(i) + strLong).c_str(), i, 2, 3), VQX_RESULT_OK);
    reinterpret_cast<u8*>(Play.GetPayload())[15] = 2;
    const u32 un32Extra = Play.GetMsg()->un32PayloadLength - 20;
    ASSERT_GT(un32Extra, 1200u);
    CVQCMCMessage<_VQCMC_MSG_CMD_PLAY, VQCMC_MSG_CMD_PLAY> Msg(un32Extra);
    Fill(Msg.GetMsg(), 2, un32Leg);
    ASSERT_EQ(Play.CopyTo(Msg.GetMsg(), At<_VQCMC_PLAY_ATTRIBUTE>(Msg.GetMsg(), 32)), VQX_RESULT_OK);
    ASSERT_EQ(Msg.LegMsgProcess(un32Leg, 0), VQX_RESULT_OK);
    ASSERT_NE(Await(VQCMC_MSG_CMD_PLAY), nullptr);
    std::string strWant = "{\"index\": 2, \"paused\": 0, \"files\": [";
    for (u32 i = 0; i < 3; ++i)
      strWant += (i ? ", [" : "[") + std::to_string(i) + ", 2, 3, \"file:///m/" + std::to_string(i) + strLong + "\"]";
    EXPECT_EQ(Run.Server.Command("fields PLAY"), strWant + "]}");
  }
  {
    CVQCMC_EVENT_ATTRIBUTE Event;
    Event.SetInterToneTimeout(90);
    ASSERT_EQ(Event.AddToneString("123#") | Event.AddToneString("*9"), VQX_RESULT_OK);
    CVQCMCMessage<_VQCMC_MSG_CMD_EVENT_PLAY, VQCMC_MSG_CMD_EVENT_PLAY> Msg(4096u);
    Fill(Msg.GetMsg(), 1, un32Leg);
    ASSERT_EQ(Event.CopyTo(Msg.GetMsg(), At<_VQCMC_EVENT_ATTRIBUTE>(Msg.GetMsg(), 32)), VQX_RESULT_OK);
    ASSERT_EQ(Msg.LegMsgProcess(un32Leg, 0), VQX_RESULT_OK);
    ASSERT_NE(Await(VQCMC_MSG_CMD_EVENT_PLAY), nullptr);
    EXPECT_EQ(Run.Server.Command("fields EVENT_PLAY"), "{\"tones\": [\"123#\", \"*9\"], \"inter_tone\": 90}");
    ASSERT_EQ(Run.Server.Command("echo digits " + std::to_string(un32Leg)), "ok");
    VQX_MSG_HANDLE hDigits = Await(VQCMC_MSG_NOTIF_DIGIT_COLLECTED);
    ASSERT_NE(hDigits, nullptr);
    CVQCMC_COLLECTED_DIGIT_ATTRIBUTE Digits;
    ASSERT_EQ(Digits.CopyFrom(At<_VQCMC_MSG_NOTIF_DIGIT_COLLECTED>(hDigits, 0), hDigits->un32PayloadLength),
              VQX_RESULT_OK);
    EXPECT_EQ(std::string(Digits.GetCollectedDigits().c_str()), "123#*9");
  }
  EXPECT_EQ(Run.Server.Violations(), 0);
  Run.Close([] {
    for (VQX_MSG_HANDLE& h : g_aMsgs) VQXReleaseMsgEx(CVQCAFComm::GetHostLibInstance(), &h);
    CVQCAFComm::ReleaseHostLibInstance();  // the reference just taken
  });
}

}  // namespace
