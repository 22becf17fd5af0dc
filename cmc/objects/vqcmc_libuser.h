/*
 * vqcmc_libuser.h - the application's receiver of library-wide events
 * (IVQCMCLibUser), its default implementation (CVQCMCLibUser), and the
 * network access point statistics it is handed (CVQCAFNapStats).
 *
 * Model. CVQCMCLib::Attach takes a CVQCMCLibUser; an application derives
 * from it and overrides what it handles. The defaults trace their name
 * through the framework log; the synchronisation callbacks refuse what they
 * are offered (a leg is terminated with call reason 41, a link unjoined, a
 * mixer terminated). To keep a leg or mixer instead, an override constructs
 * the object for the id inside the callback; a link is already recorded.
 * Threads: callbacks run on a core-library job thread under the library's
 * message mutex.
 */
#ifndef VQCMC_LIBUSER_H
#define VQCMC_LIBUSER_H

#include <cstddef>
#include <vector>

#include "vqcafptr.h"
#include "vqcmc_attributes.h"
#include "vqcmc_leg_attributes.h"
#include "vqcmc_protocol_attribute.h"

struct _VQCMC_CALL_REASON;

/* Statistics of one network access point: 216 bytes, the type at 32 decides
 * how much of it a server fills (see CVQCAFNapStats); the rest is the server's. */
typedef struct _VQCMC_NAP_STATS {
  u8 abyHead[32];
  u32 un32StatsType;
  u8 abyStats[180];
} _VQCMC_NAP_STATS;
static_assert(sizeof(_VQCMC_NAP_STATS) == 216);
static_assert(offsetof(_VQCMC_NAP_STATS, un32StatsType) == 32);

namespace VQCAF {

class CVQCMC_JOIN_ATTRIBUTE;
class CVQCMC_MIXER_ATTRIBUTE;
class CVQCMC_MIXER_LEG_JOIN_ATTRIBUTE;
class CVQCMC_MIXER_MIXER_JOIN_ATTRIBUTE;

/* One access point's statistics, copied from a received record by type:
 * type 2 all 216 bytes, types 1, 3 and 4 the first 192, others none; the
 * rest is zero. */
class CVQCAFNapStats {
 public:
  explicit CVQCAFNapStats(_VQCMC_NAP_STATS* pStats) : CVQCAFNapStats(pStats, sizeof(_VQCMC_NAP_STATS)) {}
  /* The same from a record of which only un32Available bytes were received:
   * what the type asks for beyond them stays zero. */
  CVQCAFNapStats(const _VQCMC_NAP_STATS* pStats, u32 un32Available);
  virtual ~CVQCAFNapStats() = default;

  _VQCMC_NAP_STATS mNapStats;
};

class IVQCMCLibUser {
 public:
  virtual ~IVQCMCLibUser() = default;
  virtual void OnCallLegPresent(unsigned int un32LegId, CVQCMC_CALL_LEG_ATTRIBUTE_COMMON& Attribute,
                                CVQCMC_PROTOCOL_ATTRIBUTE& Protocol) = 0;
  virtual void OnCallLegFailure(unsigned int un32LegId, CVQCMC_CALL_LEG_ATTRIBUTE_COMMON& Attribute,
                                _VQCMC_CALL_REASON& Reason, CVQCMC_PROTOCOL_ATTRIBUTE& Protocol) = 0;
  virtual void OnCallLegSync(unsigned int un32LegId, CVQCMC_CALL_LEG_ATTRIBUTE_COMMON& Attribute) = 0;
  /* The first argument repeats the second leg id. */
  virtual void OnLinkSync(unsigned int un32Leg, unsigned int un32FirstLegId, unsigned int un32SecondLegId,
                          CVQCMC_JOIN_ATTRIBUTE& Attribute) = 0;
  virtual void OnMixerSync(unsigned int un32MixerId, CVQCMC_MIXER_ATTRIBUTE& Attribute) = 0;
  /* Exactly one of the two attributes is given. */
  virtual void OnMixerLinkSync(unsigned int un32MixerId, unsigned int un32PeerId,
                               CVQCMC_MIXER_LEG_JOIN_ATTRIBUTE* pLegJoin,
                               CVQCMC_MIXER_MIXER_JOIN_ATTRIBUTE* pMixerJoin) = 0;
  virtual void OnCmcLibReady() = 0;
  virtual void OnCmcLibNotReady() = 0;
  virtual void OnNapStatsUpdated(std::vector<CVQCAFPtr<CVQCAFNapStats>> aStats) = 0;
};

class CVQCMCLibUser : public IVQCMCLibUser {
 public:
  ~CVQCMCLibUser() override = default;
  void OnCallLegPresent(unsigned int un32LegId, CVQCMC_CALL_LEG_ATTRIBUTE_COMMON& Attribute,
                        CVQCMC_PROTOCOL_ATTRIBUTE& Protocol) override;
  void OnCallLegFailure(unsigned int un32LegId, CVQCMC_CALL_LEG_ATTRIBUTE_COMMON& Attribute,
                        _VQCMC_CALL_REASON& Reason, CVQCMC_PROTOCOL_ATTRIBUTE& Protocol) override;
  /* Refuses the leg: terminated with call reason 41. */
  void OnCallLegSync(unsigned int un32LegId, CVQCMC_CALL_LEG_ATTRIBUTE_COMMON& Attribute) override;
  /* Refuses the link: unjoined. */
  void OnLinkSync(unsigned int un32Leg, unsigned int un32FirstLegId, unsigned int un32SecondLegId,
                  CVQCMC_JOIN_ATTRIBUTE& Attribute) override;
  /* Refuses the mixer: terminated. */
  void OnMixerSync(unsigned int un32MixerId, CVQCMC_MIXER_ATTRIBUTE& Attribute) override;
  /* Refuses the mixer link: unjoined on the server (RefuseMixerLink with the attribute given). */
  void OnMixerLinkSync(unsigned int un32MixerId, unsigned int un32PeerId, CVQCMC_MIXER_LEG_JOIN_ATTRIBUTE* pLegJoin,
                       CVQCMC_MIXER_MIXER_JOIN_ATTRIBUTE* pMixerJoin) override;
  void OnCmcLibReady() override;
  void OnCmcLibNotReady() override;
  void OnNapStatsUpdated(std::vector<CVQCAFPtr<CVQCAFNapStats>> aStats) override;
};

}  // namespace VQCAF

#endif
