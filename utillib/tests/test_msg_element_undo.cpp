// Undo of appends: a composer marks the message, appends an element and texts into it and into an outer set, and
// on a later failure undoes them; the message must be byte for byte what it was at the mark, in both layouts.
#include "support/vqx_test_support.h"
#include "vqx_msg_element.h"

namespace {

class MsgElementUndo : public ::testing::TestWithParam<u32> {};

TEST_P(MsgElementUndo, RestoresTheMessageAtTheMark) {
  VqxTestMsg msg(512);
  ASSERT_EQ(VqxMsgElementInitLayout(msg.Msg(), 8, GetParam()), VQX_RESULT_OK);
  void* p = nullptr;
  ASSERT_EQ(VQXMsgElementStringAdd(msg.Msg(), msg.Set(0), "kept"), VQX_RESULT_OK);
  // Rows: how many elements set A and set B had before the mark (B empty or not).
  struct Row { const char* name; bool fOuterB; };
  for (const Row& row : {Row{"B empty", false}, Row{"B with one", true}}) {
    if (row.fOuterB) {
      ASSERT_EQ(VQXMsgElementStringAdd(msg.Msg(), msg.Set(4), "b0"), VQX_RESULT_OK);
    }
    const std::vector<u8> before = msg.Bytes();
    const u32 mark = VqxMsgElementMark(msg.Msg());
    ASSERT_EQ(VQXMsgElementAlloc(msg.Msg(), msg.Set(0), 16, &p), VQX_RESULT_OK);  // the new element ...
    ASSERT_EQ(VQXMsgElementStringAdd(msg.Msg(), p, "inner"), VQX_RESULT_OK);     // ... a text inside it
    ASSERT_EQ(VQXMsgElementStringAdd(msg.Msg(), msg.Set(4), "b1"), VQX_RESULT_OK);
    void* apSets[] = {msg.Set(0), msg.Set(4)};
    EXPECT_EQ(VqxMsgElementUndo(msg.Msg(), mark, apSets, 2), VQX_RESULT_OK) << row.name;
    EXPECT_EQ(msg.Bytes(), before) << row.name;
    EXPECT_EQ(VqxMsgElementCheckSet(msg.Msg(), msg.Set(0)), VQX_RESULT_OK) << row.name;
    EXPECT_EQ(VQXMsgElementCount(msg.Set(4)), row.fOuterB ? 1 : 0) << row.name;
    // Appending again works from the restored end.
    EXPECT_EQ(VQXMsgElementStringAdd(msg.Msg(), msg.Set(0), "again"), VQX_RESULT_OK) << row.name;
    EXPECT_EQ(VQXMsgElementCount(msg.Set(0)), 2) << row.name;
    void* apA[] = {msg.Set(0)};
    EXPECT_EQ(VqxMsgElementUndo(msg.Msg(), mark, apA, 1), VQX_RESULT_OK);
  }
}

TEST_P(MsgElementUndo, RefusalsWriteNothing) {
  VqxTestMsg msg(256);
  ASSERT_EQ(VqxMsgElementInitLayout(msg.Msg(), 8, GetParam()), VQX_RESULT_OK);
  const u32 mark = VqxMsgElementMark(msg.Msg());
  void* p = nullptr;
  ASSERT_EQ(VQXMsgElementAlloc(msg.Msg(), msg.Set(0), 8, &p), VQX_RESULT_OK);
  const std::vector<u8> after = msg.Bytes();
  void* apInner[] = {p};            // a set word inside a dropped element
  void* apA[] = {msg.Set(0)};
  struct Row { const char* name; void* pMsg; u32 mark; void* const* sets; u32 n; VQX_RESULT r; };
  const Row rows[] = {
      {"null message", nullptr, mark, apA, 1, VQX_RESULT_NULL_PARAM},
      {"null set list", msg.Msg(), mark, nullptr, 1, VQX_RESULT_NULL_PARAM},
      {"mark past the used payload", msg.Msg(), msg.Used() + 8, apA, 1, VQX_RESULT_INVALID_PARAM},
      {"mark not a multiple of 8", msg.Msg(), mark + 4, apA, 1, VQX_RESULT_INVALID_PARAM},
      {"mark below the end marker", msg.Msg(), 0, apA, 1, VQX_RESULT_INVALID_PARAM},
      {"set after the mark", msg.Msg(), mark, apInner, 1, VQX_RESULT_MISMATCH},
  };
  for (const Row& r : rows) {
    EXPECT_EQ(VqxMsgElementUndo(r.pMsg, r.mark, r.sets, r.n), r.r) << r.name;
    EXPECT_EQ(msg.Bytes(), after) << r.name;
  }
}

INSTANTIATE_TEST_SUITE_P(BothLayouts, MsgElementUndo, ::testing::Values(VQX_MSG_ELEMENT_LAYOUT_32,
                                                                         VQX_MSG_ELEMENT_LAYOUT_16));

}  // namespace
