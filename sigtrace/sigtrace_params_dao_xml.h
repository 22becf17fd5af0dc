/*
 * sigtrace_params_dao_xml.h - CVQSigTraceParamsDaoXml, the reader of the
 * application's ":signaling" section of the XML configuration.
 *
 * The application opens the store (vqcafcfgfile.h), makes one reader with a
 * share of it and the root element name ("quellan"), and calls GetParams on
 * every load; the reader never opens or parses the file itself. Layout:
 *
 *   <quellan><signaling>
 *     <sysmgr name grpname capfile/>                       type 1, one record
 *     <ss7|lapd adapter grpname capfile> <trunk idx timeslot mask/>...   2 / 7
 *     <isdn adapter grpname> <trunk idx timeslot mask/>...               3
 *     <casr2 adapter grpname extended> <trunk idx/>...                   5
 *     <ip|sip adapter grpname ethport transport ipmask port capfile/>    4
 *     <h248 capfile/>                         6, only when exactly one exists
 *   </signaling></quellan>
 *
 * One record per trunk (per element for sysmgr, ip, sip); an empty grpname
 * takes the generated group name ("<ADAPTER>_ss7_trk_%02u_%08X_%02x" and its
 * kin) and every record gets its generated entity name. Adapter names are
 * upper-cased, ethport lower-cased.
 *
 * Refused beyond the store's own failures: a missing or empty adapter, an
 * ethport other than eth0, eth1, voip0, voip1 or any (0x82000001, with the
 * file and line of the element); a trunk timeslot above 31, and a number
 * the store refuses ("-1", "08", "3x", "abc", past 32 bits; a port may also
 * be "any", 0) (0x8200000A, with the value as written and the file and line
 * of its element); a text of 256 characters or more (0x8200001A, with the
 * file and line); an ipmask that is not a dotted-quad IPv4 address
 * (0x8200000A); a port above 65535 (0x8200000A, with the value as written
 * and where it stands). A failure is logged once and ends the read (in an
 * ip or sip section, only that section, its line kept in GivenUp); records
 * appended before it stay.
 *
 * Threads: no lock of its own; the store serialises each call, the caller
 * reads under its application mutex.
 */
#ifndef SIGTRACE_PARAMS_DAO_XML_H
#define SIGTRACE_PARAMS_DAO_XML_H

#include <functional>
#include <string>
#include <vector>

#include "sigtrace_entity.h"
#include "vqcafcfgfile.h"
#include "vqcafptr.h"

namespace VQCAF {

class CVQSigTraceParamsDaoXml {
 public:
  /* Takes a share of the store; keeps pszRootName only with a store. */
  CVQSigTraceParamsDaoXml(CVQCAFPtr<IVQCAFCfgFile> in_pConfigFile, const char* pszRootName);
  virtual ~CVQSigTraceParamsDaoXml() = default;
  CVQSigTraceParamsDaoXml(const CVQSigTraceParamsDaoXml&) = delete;
  CVQSigTraceParamsDaoXml& operator=(const CVQSigTraceParamsDaoXml&) = delete;

  /* 0x8200000F (logged) without a store or with a store not opened. */
  virtual VQX_RESULT Init();
  /* Nothing to do: 0x02000000. */
  virtual VQX_RESULT Uninit();
  virtual VQX_RESULT Reload();
  /*
   * Reads sysmgr, ss7, isdn, casr2, lapd, ip, sip and h248 in that order and
   * appends their records to Params (never removes any). 0x02000000; the
   * checks of Init; the first failure of a section other than ip and sip
   * (its code), records read before it kept. Failures inside ip and sip end
   * that section only and are not returned.
   */
  virtual VQX_RESULT GetParams(CVQSigTraceParams& Params);
  /* Appends one IP record (type 4) per element of the full path strPath.
   * 0x02000000 or the first failure (records before it kept). */
  VQX_RESULT GetIpParams(CVQCAFString strPath, CVQSigTraceParams& Params);
  /* The failure lines of the ip and sip sections the last GetParams gave
   * up: a read at start comes before the log, which the caller gives them to. */
  const std::vector<std::string>& GivenUp() const { return mvGivenUp; }
  /* fnGiveUp is asked before each element: once it answers true the read
   * stops with 0x8200000F ("Reading the section given up"), as a failure. */
  void SetGiveUp(std::function<bool()> fnGiveUp) { mfnGiveUp = std::move(fnGiveUp); }

 private:
  VQX_RESULT CheckStore(const char* pszOperation);

  CVQCAFPtr<IVQCAFCfgFile> mptrConfigFile;
  CVQCAFString mstrRootName;
  std::vector<std::string> mvGivenUp;
  std::function<bool()> mfnGiveUp;
};

}  // namespace VQCAF

#endif
