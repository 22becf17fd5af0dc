/*
 * vqcmc_listener.h - the two interfaces through which the client objects
 * call the application back outside the virtual callbacks of a leg or
 * mixer: the error listener of a request and the free listener of an
 * object.
 *
 * Model. A command takes an IVQCMCErrorListener (null: none); the first one
 * ever given to an object becomes its default. A failure of the command is
 * offered to it with *pun32Handled 0; setting it non-zero keeps the error
 * from the object's own OnLegError / OnMixerError. The error is valid only
 * during the call.
 * IVQCMCFreeListener<T>::Free is called, with the object's mutex released,
 * when an object marked by FreeLeg / FreeMixer may be deleted; nothing of
 * the object may be touched after Free succeeded.
 * Threads: both are called on the core library's job threads.
 */
#ifndef VQCMC_LISTENER_H
#define VQCMC_LISTENER_H

#include "vqcmc_error.h"
#include "vqx_result.h"

namespace VQCAF {

class IVQCMCErrorListener {
 public:
  virtual ~IVQCMCErrorListener() = default;
  virtual void OnCmcLegError(unsigned int* pun32Handled, CVQCMCLegError& Error) = 0;
  virtual void OnCmcMixerError(unsigned int* pun32Handled, CVQCMCMixerError& Error) = 0;
};

template <class T>
class IVQCMCFreeListener {
 public:
  virtual ~IVQCMCFreeListener() = default;
  /* Deletes (or otherwise disposes of) pObject; 0x02000000 or a failure code. */
  virtual VQX_RESULT Free(T* pObject) = 0;
};

}  // namespace VQCAF

#endif
