/*
 * vqcafexception.cpp - the exception family and the one mapping from a
 * caught exception to a result code and a failure line.
 */
#include "vqcafexception.h"

#include <exception>
#include <new>

#include "vqcafdiag.h"
#include "vqx_string.h"

namespace VQCAF {

CVQCAFException::CVQCAFException(const char* pszText, VQX_RESULT un32Result)
    : std::logic_error(pszText != nullptr ? pszText : ""), mun32Result(un32Result) {}

CVQCAFException::CVQCAFException(const CVQCAFString& strText, VQX_RESULT un32Result)
    : std::logic_error(strText.c_str()), mun32Result(un32Result) {}

CVQCAFException::~CVQCAFException() = default;

const char* CVQCAFException::Type() const noexcept { return "CVQCAFException"; }
const char* CVQCAFNewException::Type() const noexcept { return "CVQCAFNewException"; }
const char* CVQCAFDbAccessError::Type() const noexcept { return "CVQCAFDbAccessError"; }
const char* CVQCAFDataNotFoundError::Type() const noexcept { return "CVQCAFDataNotFoundError"; }
const char* CVQCAFInvalidDataError::Type() const noexcept { return "CVQCAFInvalidDataError"; }

CVQCAFString VqcafFormatFailureLine(const char* pszOperation, const char* pszText, VQX_RESULT un32Result,
                                    const char* pszFile, int nLine) noexcept {
  char acLine[1024];
  Snprintf(acLine, sizeof(acLine), "%s: %s (%X) %s:%d\n", pszOperation != nullptr ? pszOperation : "",
           pszText != nullptr ? pszText : "", un32Result, VqxFileNameFromPath(pszFile != nullptr ? pszFile : ""),
           nLine);
  try {
    return CVQCAFString(acLine);
  } catch (...) {
    return CVQCAFString();
  }
}

VQCAF_FAILURE VqcafCatchCurrentException(const char* pszOperation, const char* pszFile, int nLine) noexcept {
  VQX_RESULT un32Result = VQX_RESULT_FATAL_ERROR;
  const char* pszText = "(Un-handled exception)";
  /* CVQCAFException first: it is a std::logic_error like the two mapped below. */
  try {
    std::exception_ptr pCurrent = std::current_exception();
    if (pCurrent) std::rethrow_exception(pCurrent);
  } catch (const CVQCAFException& e) {
    un32Result = e.Result();
    return {un32Result, VqcafFormatFailureLine(pszOperation, e.What(), un32Result, pszFile, nLine)};
  } catch (const std::bad_alloc&) {
    un32Result = VQX_RESULT_NOT_ENOUGH_MEMORY;
    pszText = "std::bad_alloc";
  } catch (const std::length_error&) {
    un32Result = VQX_RESULT_INVALID_PARAM;
    pszText = "std::length_error";
  } catch (const std::out_of_range&) {
    un32Result = VQX_RESULT_OUT_OF_RANGE;
    pszText = "std::out_of_range";
  } catch (...) {
  }
  return {un32Result, VqcafFormatFailureLine(pszOperation, pszText, un32Result, pszFile, nLine)};
}

VQX_RESULT VqcafReportCurrentException(const char* pszOperation, const char* pszFile, int nLine) noexcept {
  VQCAF_FAILURE Failure = VqcafCatchCurrentException(pszOperation, pszFile, nLine);
  VqcafDiagPrintf(VQCAF_DIAG_LEVEL_ERROR, "%s", Failure.strLine.c_str());
  return Failure.un32Result;
}

VQX_RESULT VqcafReportFailure(const char* pszOperation, const char* pszText, VQX_RESULT un32Result,
                              const char* pszFile, int nLine) noexcept {
  CVQCAFString strLine = VqcafFormatFailureLine(pszOperation, pszText, un32Result, pszFile, nLine);
  VqcafDiagPrintf(VQCAF_DIAG_LEVEL_ERROR, "%s", strLine.c_str());
  return un32Result;
}

}  // namespace VQCAF
