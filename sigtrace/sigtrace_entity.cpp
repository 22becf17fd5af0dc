/*
 * sigtrace_entity.cpp - console names of the traced-entity protocol types.
 */
#include "sigtrace_entity.h"

#include "sigtrace_text.h"

namespace VQCAF {
namespace {
constexpr SVQSigTraceName s_aEntityType[] = {
    {0, 1, "Unk"}, {2, "SS7"}, {3, "ISDN"}, {4, "IP"}, {5, "CASR2"}, {6, "H248"}, {7, "LAPD"},
};
}  // namespace

const char* VqSigTraceEntityTypeName(u32 un32Type) { return VqSigTraceLookup(s_aEntityType, un32Type, "Unk"); }

}  // namespace VQCAF
