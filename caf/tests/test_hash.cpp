// Hash keys, CVQCAFHashList (insertion order, borrowed pointers) and
// CVQCAFHash (address keys).
#include <gtest/gtest.h>

#include <vector>

#include "vqcafhash.h"
#include "vqcafhashkey.h"
#include "vqcafhashlist.h"

using namespace VQCAF;

TEST(HashKey, StringEqualityAndHashAgreePerMode) {
  struct Row {
    const char* a;
    const char* b;
    bool fSensitive;
    bool fInsensitive;
  } aRows[] = {{"ss7", "ss7", true, true}, {"SS7", "ss7", false, true}, {"ss7", "ss8", false, false},
               {"ss7", "ss7 ", false, false}, {"", "", true, true}, {"a-Z", "A-z", false, true}};
  for (const Row& r : aRows) {
    CVQCAFHashKeyString a(r.a), b(r.b);
    EXPECT_EQ(a.Equals(b, true), r.fSensitive) << r.a << "/" << r.b;
    EXPECT_EQ(a.Equals(b, false), r.fInsensitive) << r.a << "/" << r.b;
    if (r.fSensitive) {
      EXPECT_EQ(a.Hash(true), b.Hash(true));
    }
    if (r.fInsensitive) {
      EXPECT_EQ(a.Hash(false), b.Hash(false));
    }
  }
  CVQCAFHashKeyString n(static_cast<const char*>(nullptr));
  EXPECT_STREQ(n.c_str(), "");
  CVQCAFHashKeyUInt64 k(0xFFFFFFFF00000001ull);
  EXPECT_EQ(k.Get(), 0xFFFFFFFF00000001ull);
  EXPECT_FALSE(k == CVQCAFHashKeyUInt64(1));
}

TEST(HashList, InsertFindRemoveInOrder) {
  int a = 1, b = 2, c = 3;
  CVQCAFHashList<int, unsigned int> List(16);
  EXPECT_EQ(List.Insert(30, &c), VQX_RESULT_OK);
  EXPECT_EQ(List.Insert(10, &a), VQX_RESULT_OK);
  EXPECT_EQ(List.Insert(20, &b), VQX_RESULT_OK);
  EXPECT_EQ(List.Insert(10, &b), VQX_RESULT_ACCESS_DENIED);  // key present, value kept
  EXPECT_EQ(List.Find(10), &a);
  EXPECT_EQ(List.Find(99), nullptr);
  std::vector<int*> Order;
  for (int* p = List.First(); p != nullptr; p = List.Next(p)) Order.push_back(p);
  EXPECT_EQ(Order, std::vector<int*>({&c, &a, &b}));
  EXPECT_EQ(List.Remove(10), VQX_RESULT_OK);
  EXPECT_TRUE(VQX_RESULT_FAILED(List.Remove(10)));
  EXPECT_EQ(List.Remove(10), VQX_RESULT_NOT_FOUND);
  EXPECT_EQ(List.GetCount(), 2u);
  Order.clear();
  for (int* p = List.First(); p != nullptr; p = List.Next(p)) Order.push_back(p);
  EXPECT_EQ(Order, std::vector<int*>({&c, &b}));
  // Many entries: beyond the bucket count.
  std::vector<int> Values(500);
  CVQCAFHashList<int> Big(16);
  for (unsigned i = 0; i < Values.size(); ++i) ASSERT_EQ(Big.Insert(i * 7919u, &Values[i]), VQX_RESULT_OK);
  for (unsigned i = 0; i < Values.size(); ++i) ASSERT_EQ(Big.Find(i * 7919u), &Values[i]);
}

TEST(HashList, DestructorNeverDeletesTheObjects) {
  int* p = new int(5);
  {
    CVQCAFHashList<int> List(16);
    List.Insert(1, p);
  }
  EXPECT_EQ(*p, 5);  // still ours (ASan would flag a free)
  delete p;
}

TEST(Hash, AddressKeys) {
  int a = 0, b = 0;
  double x = 1.0;
  CVQCAFHash<double> Hash;
  EXPECT_EQ(Hash.Insert(&a, &x), VQX_RESULT_OK);
  EXPECT_EQ(Hash.Insert(&a, &x), VQX_RESULT_ACCESS_DENIED);
  EXPECT_EQ(Hash.Insert(nullptr, &x), VQX_RESULT_NULL_PARAM);
  EXPECT_EQ(Hash.Insert(&b, nullptr), VQX_RESULT_NULL_PARAM);
  EXPECT_EQ(Hash.Find(&a), &x);
  EXPECT_EQ(Hash.Find(&b), nullptr);
  EXPECT_EQ(Hash.Remove(&a), VQX_RESULT_OK);
  EXPECT_EQ(Hash.Remove(&a), VQX_RESULT_NOT_FOUND);
  EXPECT_EQ(Hash.Find(&a), nullptr);
}
