/*
 * vqcafglobals.h - the slot that holds the framework's globals object.
 *
 * The application shell creates the globals object in GlobalInit and stores
 * it here; the communication bridge only asks whether it exists. The object
 * itself belongs to the shell, so its type stays incomplete here.
 */
#ifndef VQCAFGLOBALS_H
#define VQCAFGLOBALS_H

namespace VQCAF {

class CVQCAFGlobals;

/* The globals object, or null before GlobalInit / after GlobalUninit. Any thread. */
CVQCAFGlobals* GetGlobals();
/* Stores (or clears, with null) the globals object; the shell's life cycle only. */
void SetGlobals(CVQCAFGlobals* pGlobals);

}  // namespace VQCAF

#endif
