/*
 * vqcmc_msg_catalogue.cpp - the catalogue table built from
 * vqcmc_msg_catalogue.def, and its lookups (binary search by id).
 */
#include "vqcmc_msg_catalogue.h"

#include <algorithm>
#include <iterator>

namespace {

constexpr VqCmcDirection kDirCMD = VqCmcDirection::Command;
constexpr VqCmcDirection kDirSRV = VqCmcDirection::ServerToApp;
constexpr VqCmcDirection kDirLIB = VqCmcDirection::LibToApp;
constexpr VqCmcElementRoom kRoomE = VqCmcElementRoom::Elements;
constexpr VqCmcElementRoom kRoomP = VqCmcElementRoom::PlayElements;
constexpr VqCmcElementRoom kRoomN = VqCmcElementRoom::None;
constexpr u8 kEntLEG = VQCMC_CATALOGUE_LEG;
constexpr u8 kEntMIX = VQCMC_CATALOGUE_MIXER;
constexpr u8 kEntBOTH = VQCMC_CATALOGUE_LEG | VQCMC_CATALOGUE_MIXER;
constexpr u8 kEntNONE = 0;
constexpr VqCmcEntityKey kKeyCTX = VqCmcEntityKey::Context;
constexpr VqCmcEntityKey kKeyW7 = VqCmcEntityKey::Word7;
constexpr VqCmcEntityKey kKeyW8 = VqCmcEntityKey::Word8;
constexpr VqCmcEntityKey kKeyNEW = VqCmcEntityKey::Creates;
constexpr VqCmcEntityKey kKeyNONE = VqCmcEntityKey::None;

constexpr _VQCMC_CATALOGUE_ROW s_aRows[] = {
#define VQCMC_UNNAMED_ROW(id, entity, key) \
  {id, "(no name)", VQCMC_MSG_KIND_NOTIFICATION, kDirSRV, 0, kRoomN, kEnt##entity, kKey##key},
#define VQCMC_ROW(id, name, kinds, dir, size, room, entity, key) \
  {id, #name, kinds, kDir##dir, size, kRoom##room, kEnt##entity, kKey##key},
#include "vqcmc_msg_catalogue.def"
#undef VQCMC_ROW
#undef VQCMC_UNNAMED_ROW
};

constexpr bool RowsSorted() {
  for (size_t i = 1; i < std::size(s_aRows); i++) {
    if (s_aRows[i - 1].un32Id >= s_aRows[i].un32Id) return false;
  }
  return true;
}
static_assert(RowsSorted(), "catalogue rows must be sorted by id, each id once");
static_assert(std::size(s_aRows) == VQCMC_CATALOGUE_NB_ROWS);

}  // namespace

const _VQCMC_CATALOGUE_ROW* VqCmcCatalogueRows(void) { return s_aRows; }

const _VQCMC_CATALOGUE_ROW* VqCmcCatalogueFind(u32 un32Id) {
  const _VQCMC_CATALOGUE_ROW* pEnd = std::end(s_aRows);
  const _VQCMC_CATALOGUE_ROW* pRow = std::lower_bound(
      std::begin(s_aRows), pEnd, un32Id, [](const _VQCMC_CATALOGUE_ROW& r, u32 id) { return r.un32Id < id; });
  return (pRow != pEnd && pRow->un32Id == un32Id) ? pRow : nullptr;
}

const char* VqCmcCatalogueName(u32 un32Id) {
  const _VQCMC_CATALOGUE_ROW* pRow = VqCmcCatalogueFind(un32Id);
  return pRow != nullptr ? pRow->pszName : "(unknown)";
}

u32 VqCmcCatalogueMinPayload(u32 un32Id, u32 un32Kind) {
  const _VQCMC_CATALOGUE_ROW* pRow = VqCmcCatalogueFind(un32Id);
  if (pRow == nullptr || pRow->un8Entities == 0) return 0;
  /* A command's response is keyed by the context and carries its result at 28. */
  if (un32Kind == VQCMC_MSG_KIND_RESPONSE || pRow->Key == VqCmcEntityKey::Context ||
      pRow->Key == VqCmcEntityKey::Word7) {
    return VQCMC_PAYLOAD_OFFSET_WORD7 + 4u;
  }
  return VQCMC_PAYLOAD_OFFSET_WORD8 + 4u;
}
