/*
 * vqcafserviceinfo.h - what describes a service (CVQCAFServiceInfo) and what
 * registers one (CVQCAFServiceParams), with their conversions to the
 * services library's records.
 *
 * Serialised form of CVQCAFServiceInfo (inside the service-connected
 * message): the 424-byte host record, the service id and the two detected
 * ids as raw bytes in this host's order (peers are the same architecture:
 * docs/framework-messages.md), then the user context as a u32 big-endian
 * length and its bytes: 440 + n bytes.
 *
 * Value classes; one thread at a time.
 */
#ifndef VQCAFSERVICEINFO_H
#define VQCAFSERVICEINFO_H

#include <vector>

#include "vqcafbuffer.h"
#include "vqcafserialize.h"
#include "vqx_services.h"

namespace VQCAF {

class CVQCAFServiceInfo : public IVQCAFSerializable {
 public:
  CVQCAFServiceInfo();
  CVQCAFServiceInfo(const CVQCAFServiceInfo& Other);
  ~CVQCAFServiceInfo() override;
  CVQCAFServiceInfo& operator=(const CVQCAFServiceInfo& Other);
  CVQCAFServiceInfo& operator=(const _VQX_SERVICES_LIB_SERVICE_INFO& Record);

  /* Fills the record (the whole host record included) and lends the user
   * context's bytes to it until ReleaseCopy. */
  void CopyToInfoStruct(_VQX_SERVICES_LIB_SERVICE_INFO& Record);
  /* Ends the loan; nothing when none is out. */
  void ReleaseCopy();

  VQX_RESULT Serialize(CVQCAFSerialize& Stream) override;
  VQX_RESULT Unserialize(CVQCAFSerialize& Stream) override;
  u32 SerializeSize() override;

  u32 mun32ServiceId;
  u32 maun32DetectedRemoteServiceId[2];
  CVQCAFBuffer mbufServiceUserContext;
  u32 mfLent;
  _VQX_HOST_INFO mHostInfo;
};

class CVQCAFServiceParams {
 public:
  CVQCAFServiceParams() = default;
  CVQCAFServiceParams(const CVQCAFServiceParams& Other) = default;
  virtual ~CVQCAFServiceParams() = default;
  CVQCAFServiceParams& operator=(const CVQCAFServiceParams& Other) = default;
  /* The record's information and its first un32NbFilters (at most 8) filters. */
  CVQCAFServiceParams& operator=(const _VQX_SERVICES_LIB_SERVICE_PARAMS& Record);
  /* Information (user context lent) and the first 8 filters. */
  void CopyToParamsStruct(_VQX_SERVICES_LIB_SERVICE_PARAMS& Record);
  void ReleaseCopy() { mServiceInfo.ReleaseCopy(); }

  CVQCAFServiceInfo mServiceInfo;
  std::vector<_VQX_FILTER_PARAMS> maFilters;
};

}  // namespace VQCAF

#endif
