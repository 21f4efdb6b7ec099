/** @file
  A pool buffer that frees itself, shared by the setup tool and the test app.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#ifndef POOL_PTR_H_
#define POOL_PTR_H_

extern "C" {
#include <Uefi.h>
#include <Library/MemoryAllocationLib.h>
}

// A pool buffer owned by one scope: freed on every way out (a LocateHandleBuffer result,
// the text of a path, a variable's bytes).
// *INDENT-OFF*
template<typename T>
class PoolPtr {
public:
  PoolPtr () : mPointer (NULL) {}
  explicit PoolPtr (T *Pointer) : mPointer (Pointer) {}
  ~PoolPtr () { Reset (); }
  PoolPtr (const PoolPtr &) = delete;
  PoolPtr &operator= (const PoolPtr &) = delete;

  T *Get () const { return mPointer; }
  T **Out () { Reset (); return &mPointer; }

  // Lets go of the buffer without freeing it (it was freed or handed on elsewhere).
  T *
  Release ()
  {
    T  *Pointer = mPointer;

    mPointer = NULL;
    return Pointer;
  }

  VOID
  Reset (T *Pointer = NULL)
  {
    if (mPointer != NULL) {
      FreePool (mPointer);
    }

    mPointer = Pointer;
  }

private:
  T  *mPointer;
};
// *INDENT-ON*
#endif
