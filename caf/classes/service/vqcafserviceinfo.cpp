/* vqcafserviceinfo.cpp - service information and parameters (vqcafserviceinfo.h). */
#include "vqcafserviceinfo.h"

#include <string.h>

#include "vqcafexception.h"
#include "vqcaflog.h"

namespace VQCAF {

CVQCAFServiceInfo::CVQCAFServiceInfo()
    : mun32ServiceId(0), maun32DetectedRemoteServiceId(), mbufServiceUserContext(VQCAF_DEBUG_INFO), mfLent(0), mHostInfo() {}

CVQCAFServiceInfo::CVQCAFServiceInfo(const CVQCAFServiceInfo& Other) : CVQCAFServiceInfo() { *this = Other; }

CVQCAFServiceInfo::~CVQCAFServiceInfo() { ReleaseCopy(); }

CVQCAFServiceInfo& CVQCAFServiceInfo::operator=(const CVQCAFServiceInfo& Other) {
  if (this == &Other) return *this;
  try {
    mun32ServiceId = Other.mun32ServiceId;
    memcpy(maun32DetectedRemoteServiceId, Other.maun32DetectedRemoteServiceId, sizeof(maun32DetectedRemoteServiceId));
    memcpy(&mHostInfo, &Other.mHostInfo, sizeof(mHostInfo));
    mbufServiceUserContext = Other.mbufServiceUserContext;
  } catch (...) {
    VqcafReportCurrentException("CVQCAFServiceInfo::operator=", __FILE__, __LINE__);
  }
  return *this;
}

CVQCAFServiceInfo& CVQCAFServiceInfo::operator=(const _VQX_SERVICES_LIB_SERVICE_INFO& Record) {
  try {
    mun32ServiceId = Record.un32ServiceId;
    memcpy(maun32DetectedRemoteServiceId, Record.aun32DetectedRemoteServiceId, sizeof(maun32DetectedRemoteServiceId));
    memcpy(&mHostInfo, &Record.HostInfo, sizeof(mHostInfo));
    mbufServiceUserContext.Set(Record.pbyServiceUserContext != nullptr ? Record.un32ServiceUserContextSize : 0,
                               Record.pbyServiceUserContext);
  } catch (...) {
    VqcafReportCurrentException("CVQCAFServiceInfo::operator=", __FILE__, __LINE__);
  }
  return *this;
}

void CVQCAFServiceInfo::CopyToInfoStruct(_VQX_SERVICES_LIB_SERVICE_INFO& Record) {
  Record.un32ServiceId = mun32ServiceId;
  memcpy(Record.aun32DetectedRemoteServiceId, maun32DetectedRemoteServiceId, sizeof(maun32DetectedRemoteServiceId));
  memcpy(&Record.HostInfo, &mHostInfo, sizeof(mHostInfo));
  Record.un32ServiceUserContextSize = static_cast<u32>(mbufServiceUserContext.GetSize());
  ReleaseCopy();
  Record.pbyServiceUserContext = mbufServiceUserContext.GetData(__FILE__, __LINE__);
  mfLent = Record.pbyServiceUserContext != nullptr ? 1 : 0;
  /* An empty context lends nothing, but the accessor counted a loan: give it back now. */
  if (!mfLent) mbufServiceUserContext.ReleaseData(__FILE__, __LINE__);
}

void CVQCAFServiceInfo::ReleaseCopy() {
  if (mfLent == 0) return;
  mbufServiceUserContext.ReleaseData(__FILE__, __LINE__);
  mfLent = 0;
}

VQX_RESULT CVQCAFServiceInfo::Serialize(CVQCAFSerialize& s) {
  const char* pszText = nullptr;
  VQX_RESULT r = VQX_RESULT_OK;
  int nLine = 0;
  try {
    if (VQX_RESULT_FAILED(r = s.Write(sizeof(mHostInfo), &mHostInfo))) {
      pszText = "Failed to write mHostInfo", nLine = __LINE__;
    } else if (VQX_RESULT_FAILED(r = s.Write(sizeof(mun32ServiceId), &mun32ServiceId))) {
      pszText = "Failed to write mun32ServiceId", nLine = __LINE__;
    } else if (VQX_RESULT_FAILED(r = s.Write(sizeof(maun32DetectedRemoteServiceId), maun32DetectedRemoteServiceId))) {
      pszText = "Failed to write maun32DetectedRemoteServiceId", nLine = __LINE__;
    } else if (VQX_RESULT_FAILED(r = s.Write(mbufServiceUserContext))) {
      pszText = "Failed to write mbufServiceUserContext", nLine = __LINE__;
    } else {
      return VQX_RESULT_OK;
    }
  } catch (...) {
    return VqcafReportCurrentException("CVQCAFServiceInfo::Serialize", __FILE__, __LINE__);
  }
  return VqcafReportFailure("CVQCAFServiceInfo::Serialize", pszText, r, __FILE__, nLine);
}

VQX_RESULT CVQCAFServiceInfo::Unserialize(CVQCAFSerialize& s) {
  const char* pszText = nullptr;
  VQX_RESULT r = VQX_RESULT_OK;
  int nLine = 0;
  try {
    if (VQX_RESULT_FAILED(r = s.Read(sizeof(mHostInfo), &mHostInfo))) {
      pszText = "Failed to read mHostInfo", nLine = __LINE__;
    } else if (VQX_RESULT_FAILED(r = s.Read(sizeof(mun32ServiceId), &mun32ServiceId))) {
      pszText = "Failed to read mun32ServiceId", nLine = __LINE__;
    } else if (VQX_RESULT_FAILED(r = s.Read(sizeof(maun32DetectedRemoteServiceId), maun32DetectedRemoteServiceId))) {
      pszText = "Failed to read maun32DetectedRemoteServiceId", nLine = __LINE__;
    } else if (VQX_RESULT_FAILED(r = s.Read(mbufServiceUserContext))) {
      pszText = "Failed to read mbufServiceUserContext", nLine = __LINE__;
    } else {
      /* Texts read from a peer are used as C strings: keep them terminated. */
      mHostInfo.szIpAddress0[sizeof(mHostInfo.szIpAddress0) - 1] = '\0';
      mHostInfo.szIpAddress1[sizeof(mHostInfo.szIpAddress1) - 1] = '\0';
      mHostInfo.szHostName[sizeof(mHostInfo.szHostName) - 1] = '\0';
      mHostInfo.szApplicationName[sizeof(mHostInfo.szApplicationName) - 1] = '\0';
      return VQX_RESULT_OK;
    }
  } catch (...) {
    return VqcafReportCurrentException("CVQCAFServiceInfo::Unserialize", __FILE__, __LINE__);
  }
  return VqcafReportFailure("CVQCAFServiceInfo::Unserialize", pszText, r, __FILE__, nLine);
}

u32 CVQCAFServiceInfo::SerializeSize() {
  return static_cast<u32>(sizeof(mHostInfo) + 4 + 8 + 4 + mbufServiceUserContext.GetSize());
}

CVQCAFServiceParams& CVQCAFServiceParams::operator=(const _VQX_SERVICES_LIB_SERVICE_PARAMS& Record) {
  try {
    mServiceInfo = Record.Info;
    const u32 n = Record.un32NbFilters < VQX_SERVICES_LIB_MAX_FILTERS ? Record.un32NbFilters : VQX_SERVICES_LIB_MAX_FILTERS;
    maFilters.assign(Record.aFilters, Record.aFilters + n);
  } catch (...) {
    VqcafReportCurrentException("CVQCAFServiceParams::operator=", __FILE__, __LINE__);
  }
  return *this;
}

void CVQCAFServiceParams::CopyToParamsStruct(_VQX_SERVICES_LIB_SERVICE_PARAMS& Record) {
  mServiceInfo.CopyToInfoStruct(Record.Info);
  const size_t n = maFilters.size() < VQX_SERVICES_LIB_MAX_FILTERS ? maFilters.size() : VQX_SERVICES_LIB_MAX_FILTERS;
  for (size_t i = 0; i < n; i++) Record.aFilters[i] = maFilters[i];
  Record.un32NbFilters = static_cast<u32>(n);
}

}  // namespace VQCAF
