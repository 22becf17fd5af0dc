/*
 * vqcmc_error.h - what a failed leg or mixer request becomes: the error
 * objects CVQCMCLegError and CVQCMCMixerError, the event interface
 * IVQCMCEvent and the error events that carry an error through the core
 * library's event queue.
 *
 * Model. A command that fails at once, a response with a negative result
 * and a server's error notification each build one error: code, code text
 * (the host library's name of the code, at most 126 characters), message,
 * the raising source file (the pointer is kept: a string literal) and line,
 * the message id of a failed response, and the server's media-path detail
 * block (108 bytes for a leg, 1068 for a mixer). The error is offered to the
 * command's IVQCMCErrorListener (vqcmc_listener.h), then to the object's
 * OnLegError / OnMixerError; it lives only for that call.
 * An error event (type 3) is posted by a leg or mixer to itself; the
 * receiver copies and deletes it. Other event types are the application's
 * and are handed to OnLegEvent / OnMixerEvent as they come.
 * Threads: plain values; no locking.
 */
#ifndef VQCMC_ERROR_H
#define VQCMC_ERROR_H

#include "vqcafstring.h"
#include "vqx_types.h"

namespace VQCAF {

constexpr u32 VQCMC_LEG_ERROR_DETAIL_SIZE = 108u;
constexpr u32 VQCMC_MIXER_ERROR_DETAIL_SIZE = 1068u;
constexpr u32 VQCMC_EVENT_TYPE_ERROR = 3u;

/* A posted event: the type names it, 3 the error events below. */
class IVQCMCEvent {
 public:
  virtual ~IVQCMCEvent() = default;
  virtual unsigned int GetType() = 0;
  virtual unsigned int GetCause() = 0;
};

/* The failure of a leg request or a leg error notification. */
class CVQCMCLegError {
 public:
  CVQCMCLegError();
  /* Code text computed at once; message copied (null: empty); file kept as a pointer. */
  CVQCMCLegError(unsigned int un32Code, const char* pszMessage, const char* pszFile, unsigned int un32Line);
  CVQCMCLegError(const CVQCMCLegError& Other);
  CVQCMCLegError& operator=(const CVQCMCLegError& Other);
  virtual ~CVQCMCLegError() = default;

  /* The code's text (computed from the code when still empty), and the message. */
  const char* which();
  const char* what() const { return mstrMessage.c_str(); }

  /* Error bits of detail word 0: 0 to-network, 1 from-network, 2 play, 3 record. */
  u32 IsToNetworkErrors() const { return DetailWord(0) & 0x1u; }
  u32 IsFromNetworkErrors() const { return DetailWord(0) & 0x2u; }
  u32 IsPlayErrors() const { return DetailWord(0) & 0x4u; }
  u32 IsRecordErrors() const { return DetailWord(0) & 0x8u; }
  u32 IsDataPathErrors() const { return DetailWord(0) & 0xFu; }
  /* "<Group> errors[text; text]", empty when the group's bit is clear. */
  CVQCAFString GetToNetworkErrorsStr() const;
  CVQCAFString GetFromNetworkErrorsStr() const;
  CVQCAFString GetPlayErrorsStr() const;
  CVQCAFString GetRecordErrorsStr() const;
  /* The four group texts joined by ", "; empty when no bit is set. */
  CVQCAFString GetDatapathErrorsStr() const;

  /* Detail word at a byte offset (0 past the block). */
  u32 DetailWord(u32 un32Offset) const;

  u32 mun32Code = 0x02000000u;
  CVQCAFString mstrCodeText;
  CVQCAFString mstrMessage;
  const char* mpszFile = "not set";
  u32 mun32Line = 0;
  u32 mun32MsgId = 0;
  u8 mabyDetail[VQCMC_LEG_ERROR_DETAIL_SIZE] = {};
};

/* The failure of a mixer request or a mixer error notification. */
class CVQCMCMixerError {
 public:
  CVQCMCMixerError();
  CVQCMCMixerError(unsigned int un32Code, const char* pszMessage, const char* pszFile, unsigned int un32Line);
  CVQCMCMixerError(const CVQCMCMixerError& Other);
  CVQCMCMixerError& operator=(const CVQCMCMixerError& Other);
  virtual ~CVQCMCMixerError() = default;

  const char* which();
  const char* what() const { return mstrMessage.c_str(); }

  /* Error bits of detail byte 0: 2 play, 3 record. */
  u32 IsPlayErrors() const { return mabyDetail[0] & 0x4u; }
  u32 IsRecordErrors() const { return mabyDetail[0] & 0x8u; }
  CVQCAFString GetPlayErrorsStr() const;
  CVQCAFString GetRecordErrorsStr() const;

  u32 mun32Code = 0x02000000u;
  CVQCAFString mstrCodeText;
  CVQCAFString mstrMessage;
  const char* mpszFile = "not set";
  u32 mun32Line = 0;
  u32 mun32MsgId = 0;
  u8 mabyDetail[VQCMC_MIXER_ERROR_DETAIL_SIZE] = {};
};

/* A leg error travelling as an event (type 3). */
class CVQCMCLegErrorEvent : public IVQCMCEvent, public CVQCMCLegError {
 public:
  /* Takes code, message, file and line only: code text recomputed, no message id, no detail. */
  explicit CVQCMCLegErrorEvent(CVQCMCLegError* pError);
  CVQCMCLegErrorEvent(const CVQCMCLegErrorEvent& Other);
  CVQCMCLegErrorEvent& operator=(const CVQCMCLegErrorEvent& Other);
  ~CVQCMCLegErrorEvent() override = default;
  unsigned int GetType() override { return VQCMC_EVENT_TYPE_ERROR; }
  unsigned int GetCause() override { return mun32Cause; }

  u32 mun32Cause = 0; /* 0 for an event made from an error */
};

/* A mixer error travelling as an event (type 3). */
class CVQCMCMixerErrorEvent : public IVQCMCEvent, public CVQCMCMixerError {
 public:
  explicit CVQCMCMixerErrorEvent(CVQCMCMixerError* pError);
  CVQCMCMixerErrorEvent(const CVQCMCMixerErrorEvent& Other);
  CVQCMCMixerErrorEvent& operator=(const CVQCMCMixerErrorEvent& Other);
  ~CVQCMCMixerErrorEvent() override = default;
  unsigned int GetType() override { return VQCMC_EVENT_TYPE_ERROR; }
  unsigned int GetCause() override { return mun32Cause; }

  u32 mun32Cause = 0;
};

}  // namespace VQCAF

#endif
