/*
 * vqcafexception.h - how framework code fails, and how a public operation
 * turns a failure into its result code and its one failure line.
 *
 * Inside class methods a failure is thrown as a CVQCAFException (text and
 * result code); the public operation catches everything at its boundary and
 * returns a result code. Standard exceptions are mapped on the way:
 *
 *   exception              result       text
 *   CVQCAFException (any)  Result()     What()
 *   std::bad_alloc         0x82000012   "std::bad_alloc"
 *   std::length_error      0x8200000A   "std::length_error"
 *   std::out_of_range      0x82000006   "std::out_of_range"
 *   anything else          0x82000002   "(Un-handled exception)"
 *
 * The failure is logged once, at the error level (0x7FFFFFFE), as
 *   "%s: %s (%X) %s:%d\n"  (operation, text, code, source file base name, line)
 * built by VqcafFormatFailureLine; nobody writes that format by hand.
 *
 * Typical boundary (logs through the foundation's printer, see vqcafdiag.h,
 * which the framework log routes to LogTrace under the base sub-module):
 *
 *   VQX_RESULT CVQFoo::Bar() {
 *     try { ...; return VQX_RESULT_OK; }
 *     VQCAF_CATCH_RETURN("CVQFoo::Bar")
 *   }
 *
 * A class that logs under its own sub-module takes the line instead:
 *
 *   catch (...) {
 *     VQCAF_FAILURE Failure = VQCAF_CURRENT_FAILURE("CVQFoo::Bar");
 *     LogTrace(0x7FFFFFFE, "%s", Failure.strLine.c_str());
 *     return Failure.un32Result;
 *   }
 */
#ifndef VQCAFEXCEPTION_H
#define VQCAFEXCEPTION_H

#include <stdexcept>

#include "vqcafstring.h"
#include "vqx_result.h"
#include "vqx_types.h"

namespace VQCAF {

/* A framework failure: a text, a result code and the name of its kind. */
class CVQCAFException : public std::logic_error {
 public:
  /* A null text is taken as "". */
  CVQCAFException(const char* pszText, VQX_RESULT un32Result = VQX_RESULT_FAIL);
  CVQCAFException(const CVQCAFString& strText, VQX_RESULT un32Result = VQX_RESULT_FAIL);
  ~CVQCAFException() override;

  const char* What() const noexcept { return what(); }
  VQX_RESULT Result() const noexcept { return mun32Result; }
  /* The class name ("CVQCAFException", "CVQCAFNewException" ...). */
  virtual const char* Type() const noexcept;

 private:
  VQX_RESULT mun32Result;
};

/* An allocation that failed (default code 0x82000012). */
class CVQCAFNewException : public CVQCAFException {
 public:
  explicit CVQCAFNewException(const char* pszText, VQX_RESULT un32Result = VQX_RESULT_NOT_ENOUGH_MEMORY)
      : CVQCAFException(pszText, un32Result) {}
  const char* Type() const noexcept override;
};

/* A database or configuration store that could not be read or written. */
class CVQCAFDbAccessError : public CVQCAFException {
 public:
  explicit CVQCAFDbAccessError(const char* pszText, VQX_RESULT un32Result = VQX_RESULT_FAIL)
      : CVQCAFException(pszText, un32Result) {}
  const char* Type() const noexcept override;
};

/* Something looked up that is not there (default code 0x82000015). */
class CVQCAFDataNotFoundError : public CVQCAFException {
 public:
  explicit CVQCAFDataNotFoundError(const char* pszText, VQX_RESULT un32Result = VQX_RESULT_NOT_FOUND)
      : CVQCAFException(pszText, un32Result) {}
  const char* Type() const noexcept override;
};

/* Data that does not make sense (default code 0x8200000A). */
class CVQCAFInvalidDataError : public CVQCAFException {
 public:
  explicit CVQCAFInvalidDataError(const char* pszText, VQX_RESULT un32Result = VQX_RESULT_INVALID_PARAM)
      : CVQCAFException(pszText, un32Result) {}
  const char* Type() const noexcept override;
};

/* A mapped failure: its result code and its formatted failure line. */
struct VQCAF_FAILURE {
  VQX_RESULT un32Result;
  CVQCAFString strLine;
};

/*
 * "%s: %s (%X) %s:%d\n" with the operation, the text, the code, the base name
 * of pszFile (VqxFileNameFromPath) and the line. Null texts print as "".
 * Never throws (an over-long line is cut).
 */
CVQCAFString VqcafFormatFailureLine(const char* pszOperation, const char* pszText, VQX_RESULT un32Result,
                                    const char* pszFile, int nLine) noexcept;

/*
 * Must be called from inside a catch block: maps the exception being handled
 * (table above) and formats its failure line. Logs nothing. Called outside a
 * catch block it answers 0x82000002 "(Un-handled exception)".
 */
VQCAF_FAILURE VqcafCatchCurrentException(const char* pszOperation, const char* pszFile, int nLine) noexcept;

/*
 * VqcafCatchCurrentException, then prints the line through the foundation's
 * printer at the error level; returns the code.
 */
VQX_RESULT VqcafReportCurrentException(const char* pszOperation, const char* pszFile, int nLine) noexcept;

/* Formats a failure line for a failure that is not an exception, prints it at
 * the error level and returns un32Result (for "return VqcafReportFailure(...)"). */
VQX_RESULT VqcafReportFailure(const char* pszOperation, const char* pszText, VQX_RESULT un32Result,
                              const char* pszFile, int nLine) noexcept;

}  // namespace VQCAF

/* Inside a catch block: the VQCAF_FAILURE of the exception being handled. */
#define VQCAF_CURRENT_FAILURE(pszOperation) \
  ::VQCAF::VqcafCatchCurrentException((pszOperation), __FILE__, __LINE__)

/* The boundary's catch clause: logs the failure line once and returns its code. */
#define VQCAF_CATCH_RETURN(pszOperation) \
  catch (...) { return ::VQCAF::VqcafReportCurrentException((pszOperation), __FILE__, __LINE__); }

/* A failure without an exception: logs the line once and returns the code. */
#define VQCAF_REPORT_FAILURE(pszOperation, pszText, un32Result) \
  ::VQCAF::VqcafReportFailure((pszOperation), (pszText), (un32Result), __FILE__, __LINE__)

#endif
