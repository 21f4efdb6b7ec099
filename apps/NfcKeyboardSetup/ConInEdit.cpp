/** @file
  ConIn as a multi-instance device path: look-up, append and removal of one
  instance, built into a new value so the variable is only ever written whole.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/
#include "NfcKeyboardSetup.h"

extern "C" {
#include <Library/BaseLib.h>
#include <Library/BaseMemoryLib.h>
#include <Library/DevicePathLib.h>
#include <Library/MemoryAllocationLib.h>
}

namespace {

// The install's ConIn entry: a USB class node ConPlatform and the boot manager match
// against any FT232 on any port, then the nodes the keyboard's own path ends in.
#pragma pack(1)
struct FT232_CONIN_ENTRY {
  USB_CLASS_DEVICE_PATH            Usb;
  UART_DEVICE_PATH                 Uart;
  UART_FLOW_CONTROL_DEVICE_PATH    FlowControl;
  EFI_DEVICE_PATH_PROTOCOL         End;
};
#pragma pack()

static_assert (sizeof (USB_CLASS_DEVICE_PATH) == 11, "a USB class node is 11 bytes on the wire");
static_assert (sizeof (UART_DEVICE_PATH) == 19, "a Uart node is 19 bytes on the wire");
static_assert (sizeof (FT232_CONIN_ENTRY) == 58, "the entry is stored byte for byte");

constexpr UINT16  mFt232VendorId  = 0x0403;
constexpr UINT16  mFt232ProductId = 0x6001;

constexpr UINT8
LengthByte (UINTN Length, UINTN Shift)
{
  return static_cast<UINT8>(Length >> Shift);
}

#define NODE_HEADER(Type, SubType, Record) \
  { Type, SubType, { LengthByte (sizeof (Record), 0), LengthByte (sizeof (Record), 8) } }

constexpr FT232_CONIN_ENTRY  mFt232ConInEntry = {
  { NODE_HEADER (MESSAGING_DEVICE_PATH, MSG_USB_CLASS_DP, USB_CLASS_DEVICE_PATH),
    mFt232VendorId, mFt232ProductId, 0xFF, 0xFF, 0xFF },
  // 115200 8N1, the settings the keyboard gives the line.
  { NODE_HEADER (MESSAGING_DEVICE_PATH, MSG_UART_DP, UART_DEVICE_PATH), 0, 115200, 8, 1, 1 },
  { NODE_HEADER (MESSAGING_DEVICE_PATH, MSG_VENDOR_DP, UART_FLOW_CONTROL_DEVICE_PATH),
    DEVICE_PATH_MESSAGING_UART_FLOW_CONTROL, 0 },
  NODE_HEADER (END_DEVICE_PATH_TYPE, END_ENTIRE_DEVICE_PATH_SUBTYPE, EFI_DEVICE_PATH_PROTOCOL)
};

#undef NODE_HEADER

BOOLEAN
IsNode (
  CONST EFI_DEVICE_PATH_PROTOCOL  *Node,
  UINT8                           SubType,
  UINTN                           Length
  )
{
  return (BOOLEAN)((DevicePathType (Node) == MESSAGING_DEVICE_PATH) && (DevicePathSubType (Node) == SubType) &&
                   (DevicePathNodeLength (Node) == Length));
}

// The adapter node before the Uart node: a USB port, or a class node naming the FT232.
BOOLEAN
IsFt232AdapterNode (
  CONST EFI_DEVICE_PATH_PROTOCOL  *Node
  )
{
  if (IsNode (Node, MSG_USB_DP, sizeof (USB_DEVICE_PATH))) {
    return TRUE;
  }

  auto  *Bytes = reinterpret_cast<CONST UINT8 *>(Node);
  return (BOOLEAN)(IsNode (Node, MSG_USB_CLASS_DP, sizeof (USB_CLASS_DEVICE_PATH)) &&
                   (ReadUnaligned16 (reinterpret_cast<CONST UINT16 *>(Bytes + OFFSET_OF (USB_CLASS_DEVICE_PATH, VendorId))) == mFt232VendorId) &&
                   (ReadUnaligned16 (reinterpret_cast<CONST UINT16 *>(Bytes + OFFSET_OF (USB_CLASS_DEVICE_PATH, ProductId))) == mFt232ProductId));
}

BOOLEAN
IsFlowControlNode (
  CONST EFI_DEVICE_PATH_PROTOCOL  *Node
  )
{
  EFI_GUID  Guid;

  if (!IsNode (Node, MSG_VENDOR_DP, sizeof (UART_FLOW_CONTROL_DEVICE_PATH))) {
    return FALSE;
  }

  CopyMem (&Guid, &reinterpret_cast<CONST VENDOR_DEVICE_PATH *>(Node)->Guid, sizeof (Guid));
  return CompareGuid (&Guid, &gEfiUartDevicePathGuid);
}

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

// Appends one instance to a value being built; a failed copy frees the value.
BOOLEAN
AppendInstance (
  EFI_DEVICE_PATH_PROTOCOL        **Built,
  CONST EFI_DEVICE_PATH_PROTOCOL  *Instance
  )
{
  EFI_DEVICE_PATH_PROTOCOL  *Longer = AppendDevicePathInstance (*Built, Instance);

  if (*Built != NULL) {
    FreePool (*Built);
  }

  *Built = Longer;
  return (BOOLEAN)(Longer != NULL);
}

} // namespace

BOOLEAN
IsFt232ConsoleInstance (
  IN CONST EFI_DEVICE_PATH_PROTOCOL  *Instance
  )
{
  CONST EFI_DEVICE_PATH_PROTOCOL  *Last[3] = { NULL, NULL, NULL };

  // The last three nodes before the end, oldest first.
  for (CONST EFI_DEVICE_PATH_PROTOCOL *Node = Instance; !IsDevicePathEndType (Node); Node = NextDevicePathNode (Node)) {
    Last[0] = Last[1];
    Last[1] = Last[2];
    Last[2] = Node;
  }

  return (BOOLEAN)((Last[0] != NULL) && IsFt232AdapterNode (Last[0]) &&
                   IsNode (Last[1], MSG_UART_DP, sizeof (UART_DEVICE_PATH)) && IsFlowControlNode (Last[2]));
}

CONST EFI_DEVICE_PATH_PROTOCOL *
NfcKeyboardConInEntry (
  VOID
  )
{
  return &mFt232ConInEntry.Usb.Header;
}

CONIN_RESULT
ConInSetFt232Entries (
  IN  CONST VOID                      *ConIn,
  IN  UINTN                           Size,
  IN  CONST EFI_DEVICE_PATH_PROTOCOL  *Keep OPTIONAL,
  OUT EFI_DEVICE_PATH_PROTOCOL        **NewConIn,
  OUT UINTN                           *NewSize
  )
{
  BOOLEAN                   OutOfMemory;
  BOOLEAN                   Kept = FALSE;
  EFI_DEVICE_PATH_PROTOCOL  *Built = NULL;

  *NewConIn = NULL;
  *NewSize  = 0;
  if ((Keep != NULL) && !IsSingleInstance (Keep)) {
    return ConInBadInstance;
  }

  if ((Size != 0) && !IsWholePath (ConIn, Size)) {
    return ConInMalformed;
  }

  UINTN  KeepSize = (Keep == NULL) ? 0 : GetDevicePathSize (Keep);

  // The value is built whole and compared at the end, so an unchanged ConIn is never rewritten.
  if (Size != 0) {
    InstanceCursor  Cursor (ConIn);
    while (Cursor.Advance (&OutOfMemory)) {
      if (IsFt232ConsoleInstance (Cursor.Current ())) {
        if (Kept || (Keep == NULL) || !Cursor.Equals (Keep, KeepSize)) {
          continue;
        }

        Kept = TRUE;
      }

      if (!AppendInstance (&Built, Cursor.Current ())) {
        return ConInNoMemory;
      }
    }

    if (OutOfMemory) {
      if (Built != NULL) {
        FreePool (Built);
      }

      return ConInNoMemory;
    }
  }

  if ((Keep != NULL) && !Kept) {
    if (!AppendInstance (&Built, Keep)) {
      return ConInNoMemory;
    }
  }

  UINTN  BuiltSize = (Built == NULL) ? 0 : GetDevicePathSize (Built);
  if ((BuiltSize == Size) && ((Size == 0) || (CompareMem (Built, ConIn, Size) == 0))) {
    if (Built != NULL) {
      FreePool (Built);
    }

    return ConInHasIt;
  }

  *NewConIn = Built;
  *NewSize  = BuiltSize;
  return ConInChanged;
}

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

    if (!AppendInstance (&Kept, Cursor.Current ())) {
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

CONIN_RESULT
ConInRemoveNfcKeyboard (
  IN  CONST VOID                      *ConIn,
  IN  UINTN                           Size,
  IN  CONST EFI_DEVICE_PATH_PROTOCOL  *Instance OPTIONAL,
  OUT EFI_DEVICE_PATH_PROTOCOL        **NewConIn,
  OUT UINTN                           *NewSize
  )
{
  EFI_DEVICE_PATH_PROTOCOL  *WithoutEntry;
  UINTN                     WithoutEntrySize;

  // The install's entry first; the running keyboard's own path then from what is left.
  CONIN_RESULT  Result = ConInRemove (ConIn, Size, NfcKeyboardConInEntry (), &WithoutEntry, &WithoutEntrySize);
  if ((Result != ConInChanged) && (Result != ConInLacksIt)) {
    return Result;
  }

  if (Instance != NULL) {
    CONIN_RESULT  Second = (Result == ConInChanged) ? ConInRemove (WithoutEntry, WithoutEntrySize, Instance, NewConIn, NewSize)
                                                    : ConInRemove (ConIn, Size, Instance, NewConIn, NewSize);
    if (Second != ConInLacksIt) {
      if (WithoutEntry != NULL) {
        FreePool (WithoutEntry);
      }

      return Second;
    }
  }

  *NewConIn = WithoutEntry;
  *NewSize  = WithoutEntrySize;
  return Result;
}
