/** @file
  ConIn as a multi-instance device path: look-up, append and removal of one
  instance, built into a new value so the variable is only ever written whole.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/
#include "NfcKeyboardSetup.h"

extern "C" {
#include <Library/BaseMemoryLib.h>
#include <Library/DevicePathLib.h>
#include <Library/MemoryAllocationLib.h>
}

namespace {

// A stored value is trusted only when its end node closes exactly its last byte:
// a shorter path followed by stray bytes would be silently cut by a rewrite.
BOOLEAN
IsWholePath (
  CONST VOID  *Path,
  UINTN       Size
  )
{
  auto  *DevicePath = static_cast<CONST EFI_DEVICE_PATH_PROTOCOL *>(Path);

  return (BOOLEAN)((Path != NULL) && IsDevicePathValid (DevicePath, Size) &&
                   (GetDevicePathSize (DevicePath) == Size));
}

BOOLEAN
IsSingleInstance (
  CONST EFI_DEVICE_PATH_PROTOCOL  *Instance
  )
{
  return (BOOLEAN)((Instance != NULL) && IsDevicePathValid (Instance, 0) &&
                   !IsDevicePathEnd (Instance) && !IsDevicePathMultiInstance (Instance));
}

// Walks the instances of a well-formed ConIn; each comes as its own pool copy
// with an end-entire node, which is what the bytewise comparison needs.
class InstanceCursor {
public:
  explicit InstanceCursor (CONST VOID *ConIn)
    : mNext (static_cast<EFI_DEVICE_PATH_PROTOCOL *>(const_cast<VOID *>(ConIn))),
      mInstance (NULL), mSize (0) {}
  ~InstanceCursor () { Release (); }
  InstanceCursor (const InstanceCursor &) = delete;
  InstanceCursor &operator= (const InstanceCursor &) = delete;

  // FALSE at the end of ConIn; *OutOfMemory tells a failed copy from the end.
  BOOLEAN
  Advance (BOOLEAN *OutOfMemory)
  {
    Release ();
    *OutOfMemory = FALSE;
    if (mNext == NULL) {
      return FALSE;
    }

    mInstance = GetNextDevicePathInstance (&mNext, &mSize);
    if (mInstance == NULL) {
      *OutOfMemory = TRUE;
      return FALSE;
    }

    return TRUE;
  }

  BOOLEAN
  Equals (CONST EFI_DEVICE_PATH_PROTOCOL *Instance, UINTN InstanceSize) const
  {
    return (BOOLEAN)((mSize == InstanceSize) && (CompareMem (mInstance, Instance, InstanceSize) == 0));
  }

  CONST EFI_DEVICE_PATH_PROTOCOL *Current () const { return mInstance; }

private:
  VOID
  Release ()
  {
    if (mInstance != NULL) {
      FreePool (mInstance);
      mInstance = NULL;
    }
  }

  EFI_DEVICE_PATH_PROTOCOL  *mNext;
  EFI_DEVICE_PATH_PROTOCOL  *mInstance;
  UINTN                     mSize;
};

} // namespace

BOOLEAN
ConInIsWellFormed (
  IN CONST VOID  *ConIn,
  IN UINTN       Size
  )
{
  return IsWholePath (ConIn, Size);
}

UINTN
ConInInstanceCount (
  IN CONST VOID  *ConIn,
  IN UINTN       Size
  )
{
  UINTN                           Count;
  CONST EFI_DEVICE_PATH_PROTOCOL  *Node;

  if ((Size == 0) || !IsWholePath (ConIn, Size)) {
    return 0;
  }

  // Counting needs no copies: every end node closes one instance.
  Count = 1;
  for (Node = static_cast<CONST EFI_DEVICE_PATH_PROTOCOL *>(ConIn); !IsDevicePathEnd (Node);
       Node = NextDevicePathNode (Node))
  {
    if (IsDevicePathEndInstance (Node)) {
      Count++;
    }
  }

  return Count;
}

CONIN_RESULT
ConInFind (
  IN CONST VOID                      *ConIn,
  IN UINTN                           Size,
  IN CONST EFI_DEVICE_PATH_PROTOCOL  *Instance
  )
{
  BOOLEAN  OutOfMemory;

  if (!IsSingleInstance (Instance)) {
    return ConInBadInstance;
  }

  if (Size == 0) {
    return ConInLacksIt;
  }

  if (!IsWholePath (ConIn, Size)) {
    return ConInMalformed;
  }

  UINTN           InstanceSize = GetDevicePathSize (Instance);
  InstanceCursor  Cursor (ConIn);

  while (Cursor.Advance (&OutOfMemory)) {
    if (Cursor.Equals (Instance, InstanceSize)) {
      return ConInHasIt;
    }
  }

  return OutOfMemory ? ConInNoMemory : ConInLacksIt;
}

CONIN_RESULT
ConInAdd (
  IN  CONST VOID                      *ConIn,
  IN  UINTN                           Size,
  IN  CONST EFI_DEVICE_PATH_PROTOCOL  *Instance,
  OUT EFI_DEVICE_PATH_PROTOCOL        **NewConIn,
  OUT UINTN                           *NewSize
  )
{
  *NewConIn = NULL;
  *NewSize  = 0;

  CONIN_RESULT  Found = ConInFind (ConIn, Size, Instance);
  if (Found != ConInLacksIt) {
    return Found;
  }

  // An absent ConIn becomes the one instance; AppendDevicePathInstance copies it then.
  CONST EFI_DEVICE_PATH_PROTOCOL  *Base = (Size == 0) ? NULL : static_cast<CONST EFI_DEVICE_PATH_PROTOCOL *>(ConIn);
  EFI_DEVICE_PATH_PROTOCOL        *Result = AppendDevicePathInstance (Base, Instance);
  if (Result == NULL) {
    return ConInNoMemory;
  }

  *NewConIn = Result;
  *NewSize  = GetDevicePathSize (Result);
  return ConInChanged;
}

CONIN_RESULT
ConInRemove (
  IN  CONST VOID                      *ConIn,
  IN  UINTN                           Size,
  IN  CONST EFI_DEVICE_PATH_PROTOCOL  *Instance,
  OUT EFI_DEVICE_PATH_PROTOCOL        **NewConIn,
  OUT UINTN                           *NewSize
  )
{
  BOOLEAN                   OutOfMemory;
  EFI_DEVICE_PATH_PROTOCOL  *Kept;

  *NewConIn = NULL;
  *NewSize  = 0;

  CONIN_RESULT  Found = ConInFind (ConIn, Size, Instance);
  if (Found != ConInHasIt) {
    return Found;
  }

  // Every copy of the instance goes: one left behind would keep the keyboard in the console.
  UINTN           InstanceSize = GetDevicePathSize (Instance);
  InstanceCursor  Cursor (ConIn);

  Kept = NULL;
  while (Cursor.Advance (&OutOfMemory)) {
    if (Cursor.Equals (Instance, InstanceSize)) {
      continue;
    }

    EFI_DEVICE_PATH_PROTOCOL  *Longer = AppendDevicePathInstance (Kept, Cursor.Current ());
    if (Kept != NULL) {
      FreePool (Kept);
    }

    Kept = Longer;
    if (Kept == NULL) {
      return ConInNoMemory;
    }
  }

  if (OutOfMemory) {
    if (Kept != NULL) {
      FreePool (Kept);
    }

    return ConInNoMemory;
  }

  *NewConIn = Kept;
  *NewSize  = (Kept == NULL) ? 0 : GetDevicePathSize (Kept);
  return ConInChanged;
}
