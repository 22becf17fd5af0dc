/*
 * The payloads the library sends to a server and its own notifications,
 * byte for byte against tests/data/to_server_payloads.txt, written by the
 * stand-in's encoder (testing/cmcsim/cmcsim_wire.py).
 */
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "support/cmc_fixture.h"

namespace {

std::map<std::string, std::string> Golden() {
  std::map<std::string, std::string> rows;
  const char* pszDir = getenv("VQX_TEST_DATA");
  std::ifstream in(std::string(pszDir != nullptr ? pszDir : "tests/data") + "/to_server_payloads.txt");
  std::string line;
  while (std::getline(in, line)) {
    const size_t n = line.rfind(": ");
    if (n != std::string::npos) rows[line.substr(0, n)] = line.substr(n + 2);
  }
  return rows;
}

std::string Hex(const std::vector<u8>& bytes) {
  std::ostringstream out;
  for (u8 b : bytes) out << "0123456789abcdef"[b >> 4] << "0123456789abcdef"[b & 15];
  return out.str();
}

using Golden_ = CmcTest;

TEST_F(Golden_, ToServerPayloadsAndNotifications) {
  const std::map<std::string, std::string> golden = Golden();
  ASSERT_EQ(golden.size(), 10u);
  ASSERT_EQ(Open(), VQX_RESULT_OK);
  Intake({AddServer(0x100, 1)});
  Intake({Msg(VQCMC_SRV_READY, 0x100, VQX_MSG_TYPE_EVENT, 20)});  /* short: the library builds the notification */
  Intake({AddServer(0x200, 2)});
  Advance(1001);
  _VQCMC_ENTITY_CTX* pLeg = Leg(0x1234, 0x100, nullptr, nullptr, nullptr);
  pLeg->MappingId = 0x5001;
  _VQCMC_LIB_ENTITY_PARAMS mixer{};
  mixer.EntityId = 0x2222;
  _VQCMC_ENTITY_CTX* pMixer = nullptr;
  VqxMutexGet(mhCmc->hThreadSem);
  ASSERT_EQ(VqCmcLibEntityCreate(mhCmc, Host(0x100), VQCMC_ENTITY_TYPE_MIXER, &mixer, &pMixer), VQX_RESULT_OK);
  pMixer->MappingId = 0x6001;
  EXPECT_EQ(VqCmcHostSendSetLegOwnership(mhCmc, Host(0x100), pLeg), VQX_RESULT_OK);
  EXPECT_EQ(VqCmcHostSendSetLinkOwnership(mhCmc, Host(0x100), 0x1234, 0x1235), VQX_RESULT_OK);
  EXPECT_EQ(VqCmcHostSendSetMixerOwnership(mhCmc, Host(0x100), pMixer), VQX_RESULT_OK);
  EXPECT_EQ(VqCmcHostSendSetMixerLinkOwnership(mhCmc, Host(0x100), 0x2222, 0x1234), VQX_RESULT_OK);
  VqxMutexGive(mhCmc->hThreadSem);
  Intake();
  Intake({Msg(VQCMC_SRV_NOT_READY, 0x100, VQX_MSG_TYPE_EVENT, 32)});
  struct Row {
    const char* pszName;
    u32 un32Id;
    size_t nIndex;
  };
  const Row aRows[] = {
      {"LibRegister lib 7777 flags 01 00 00 09 none ready", VQCMC_SRV_LIB_REGISTER, 0},
      {"LibRegister lib 7777 flags 01 00 00 09 one ready", VQCMC_SRV_LIB_REGISTER, 1},
      {"HostStatesGet", VQCMC_SRV_HOST_STATES_GET, 0},
      {"SyncCompleted", VQCMC_SRV_SYNC_COMPLETED, 0},
      {"SetLegOwnership map 0x5001 leg 0x1234", VQCMC_SRV_SET_LEG_OWNERSHIP, 0},
      {"SetLinkOwnership 0x1234 0x1235", VQCMC_SRV_SET_LINK_OWNERSHIP, 0},
      {"SetMixerOwnership map 0x6001 mixer 0x2222", VQCMC_SRV_SET_MIXER_OWNERSHIP, 0},
      {"SetMixerLinkOwnership 0x2222 0x1234", VQCMC_SRV_SET_MIXER_LINK_OWNERSHIP, 0},
  };
  for (const Row& row : aRows) {
    SCOPED_TRACE(row.pszName);
    const std::vector<SentMsg> sent = SentOf(row.un32Id);
    ASSERT_GT(sent.size(), row.nIndex);
    EXPECT_EQ(sent[row.nIndex].un32Type, VQX_MSG_TYPE_REQUEST);
    EXPECT_EQ(sent[row.nIndex].un64Uc1, 0u);
    EXPECT_EQ(Hex(sent[row.nIndex].Payload), golden.at(row.pszName));
  }
  ASSERT_EQ(mNotifPayloads.size(), 2u);
  EXPECT_EQ(Hex(mNotifPayloads[0]), golden.at("Ready notification built by the library"));
  EXPECT_EQ(Hex(mNotifPayloads[1]), golden.at("Not-ready notification"));
  VqxMutexGet(mhCmc->hThreadSem);
  VqCmcLibEntityDestroy(mhCmc, pLeg);
  VqCmcLibEntityDestroy(mhCmc, pMixer);
  VqxMutexGive(mhCmc->hThreadSem);
}

}  // namespace
