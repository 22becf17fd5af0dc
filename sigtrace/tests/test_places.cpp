// The places of one kind of traced source (CVQSigTracePlaces): served while a place is free, then waiting in the
// order they came, then refused for good; each left out named until served, past 1024 names counted, each once.
#include <gtest/gtest.h>

#include <functional>

#include "sigtrace_places.h"

using namespace VQCAF;

namespace {

/* 2 places, 3 waiting. One step: a source comes (with the number served then) or leaves, or a place goes to the
 * next waiting (its id, "-" for none), and the names left out after it. */
TEST(Places, ArrivalOrderLimitsAndNaming) {
  CVQSigTracePlaces P(2, 3, " (waits)", " (never)");
  const auto Came = [&](const char* pszId, u32 un32Served, bool fForPlace = true, u32 un32Tag = 1) {
    static const char* const apsz[] = {"served", "waiting", "still waiting", "refused"};
    return std::string(apsz[static_cast<int>(P.Arrive(pszId, std::string(pszId).substr(0, 1), un32Served, un32Tag, fForPlace))]);
  };
  const auto Next = [&](u32 un32Served, const char* pszName = nullptr) {
    CVQSigTracePlaces::SVQWaiting W;
    const bool f = P.ServeNext(un32Served, [&](const auto& X) { return pszName == nullptr || X.strName == pszName; }, &W);
    return f ? W.strId + " " + std::to_string(W.un32Tag) : std::string("-");
  };
  const struct {
    std::function<std::string()> fnStep;
    std::string strResult, strLeftOut;
  } aRows[] = {
      {[&] { return Came("a1", 0); }, "served", ""},
      {[&] { return Came("b1", 1); }, "served", ""},
      {[&] { return Came("c1", 2); }, "waiting", "c (waits)"},
      {[&] { return Came("a2", 1, false); }, "waiting", "c (waits)"},
      {[&] { return Came("c1", 2, true, 2); }, "still waiting", "c (waits)"}, /* its turn kept, its tag updated */
      {[&] { return Came("d1", 2); }, "waiting", "c (waits), d (waits)"},
      {[&] { return Came("e1", 2); }, "refused", "c (waits), d (waits), e (never)"},
      {[&] { return Next(2); }, "-", "c (waits), d (waits), e (never)"},       /* no place free */
      {[&] { return Next(1, "a"); }, "a2 1", "c (waits), d (waits), e (never)"}, /* the owner's pick: the name's own */
      {[&] {
         const bool f = P.Leave("d1");
         return std::to_string(f) + std::to_string(P.Leave("d1"));
       },
       "10", "c (waits), d (waits), e (never)"},
      {[&] { return Next(1); }, "c1 2", "d (waits), e (never)"}, /* the first to come */
      {[&] { return Next(1); }, "-", "d (waits), e (never)"},    /* none waits */
      {[&] { return Came("e2", 1); }, "served", "d (waits)"},
  };
  for (size_t i = 0; i < std::size(aRows); i++) {
    EXPECT_EQ(aRows[i].fnStep(), aRows[i].strResult) << "row " << i;
    EXPECT_EQ(P.LeftOutText(), aRows[i].strLeftOut) << "row " << i;
  }
  EXPECT_EQ(P.Waiting().size(), 0u);
  for (int i = 0; i < 1030; i++) P.NameLeftOut("x" + std::to_string(1000 + i));
  P.NameLeftOut("x1000");
  EXPECT_EQ(P.LeftOut(), 1031u) << "1024 named, 7 counted, none twice";
  const std::string strText = P.LeftOutText();
  EXPECT_EQ(strText.substr(strText.rfind(", ") + 2), "x1014 and 1015 more") << "the first 16 named";
  /* Past the kept names each is still counted once, however often named, and taken back when named no more. */
  const struct {
    const char* pszName;
    bool fName;
    u32 un32LeftOut;
  } aPast[] = {{"x2029", true, 1031},  {"x2029", true, 1031},  {"x2029", true, 1031}, {"x2029", false, 1030},
               {"x2029", false, 1030}, {"x1000", false, 1029}, {"x2029", true, 1030}, {"x2028", true, 1030},
               {"x2028", false, 1029}, {"x2029", false, 1028}};
  for (size_t i = 0; i < std::size(aPast); i++) {
    if (aPast[i].fName) P.NameLeftOut(aPast[i].pszName);
    else P.UnnameLeftOut(aPast[i].pszName);
    EXPECT_EQ(P.LeftOut(), aPast[i].un32LeftOut) << "row " << i;
  }
}

}  // namespace
