/** @file
  ConIn as a multi-instance device path: look-up, append and removal of one
  instance, and the install's entries for the USB-serial bridges, each edit built
  into a new value so the variable is only ever written whole.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/
#include "NfcKeyboardSetup.h"

#include <UsbBridgeIds.h>

extern "C" {
#include <Library/BaseLib.h>
#include <Library/BaseMemoryLib.h>
#include <Library/DevicePathLib.h>
#include <Library/MemoryAllocationLib.h>
}

namespace {
// One of the install's ConIn entries: a USB class node, which ConPlatform and the boot
// manager match against a device on any port, then the nodes the keyboard's own path
// ends in.
#pragma pack(1)
struct USB_SERIAL_CONIN_ENTRY {
  USB_CLASS_DEVICE_PATH            Usb;
  UART_DEVICE_PATH                 Uart;
  UART_FLOW_CONTROL_DEVICE_PATH    FlowControl;
  EFI_DEVICE_PATH_PROTOCOL         End;
};

#pragma pack()

static_assert (sizeof (USB_CLASS_DEVICE_PATH) == 11, "a USB class node is 11 bytes on the wire");
static_assert (sizeof (UART_DEVICE_PATH) == 19, "a Uart node is 19 bytes on the wire");
static_assert (sizeof (USB_SERIAL_CONIN_ENTRY) == 58, "an entry is stored byte for byte");

struct USB_CLASS_FORM {
  UINT8    Class;
  UINT8    SubClass;
  UINT8    Protocol;
};

/*
  A CDC ACM device is matched by class, whatever its IDs (0xFFFF). ConPlatform, the boot
  manager and the USB bus compare a class node with the device descriptor's class, and
  with the class of the interface the line's path leads through (the data interface)
  only where the device's is 0; 0xFF matches any value. No one form covers the three
  ways CDC ACM devices describe themselves short of matching every USB device, so one
  form each:
  - device class 0: the data interface's 0x0A, which only CDC data interfaces have;
  - device class 0x02, a CDC device, whose subclass and protocol carry nothing at
    device level;
  - 0xEF/0x02/0x01, the interface association, pinned whole; it names other composite
    devices too, which the boot manager then connects as well, and no narrower form
    matches the CDC ACM ones.
*/
constexpr USB_CLASS_FORM  mCdcAcmForms[] = {
  { USB_CDC_DATA_CLASS, 0xFF, 0xFF },
  { USB_CDC_COMM_CLASS, 0xFF, 0xFF },
  { 0xEF,               0x02, 0x01 },
};

constexpr UINT16  ANY_ID       = 0xFFFF;
constexpr UINTN   BRIDGE_COUNT = ARRAY_SIZE (gUsbBridgeIds);
constexpr UINTN   ENTRY_COUNT  = BRIDGE_COUNT + ARRAY_SIZE (mCdcAcmForms);

constexpr UINT8
LengthByte (
  UINTN  Length,
  UINTN  Shift
  )
{
  return static_cast<UINT8>(Length >> Shift);
}

#define NODE_HEADER(Type, SubType, Record) \
  { Type, SubType, { LengthByte (sizeof (Record), 0), LengthByte (sizeof (Record), 8) } }

constexpr USB_SERIAL_CONIN_ENTRY
MakeEntry (
  UINT16          VendorId,
  UINT16          ProductId,
  USB_CLASS_FORM  Form,
  BOOLEAN         Last
  )
{
  return {
    { NODE_HEADER (MESSAGING_DEVICE_PATH, MSG_USB_CLASS_DP, USB_CLASS_DEVICE_PATH),
      VendorId, ProductId, Form.Class, Form.SubClass, Form.Protocol },
    // 115200 8N1, the settings the keyboard gives the line.
    { NODE_HEADER (MESSAGING_DEVICE_PATH, MSG_UART_DP, UART_DEVICE_PATH), 0, 115200, 8, 1, 1 },
    { NODE_HEADER (MESSAGING_DEVICE_PATH, MSG_VENDOR_DP, UART_FLOW_CONTROL_DEVICE_PATH),
      DEVICE_PATH_MESSAGING_UART_FLOW_CONTROL, 0 },
    NODE_HEADER (
                 END_DEVICE_PATH_TYPE,
                 static_cast<UINT8>(Last ? END_ENTIRE_DEVICE_PATH_SUBTYPE : END_INSTANCE_DEVICE_PATH_SUBTYPE),
                 EFI_DEVICE_PATH_PROTOCOL
                 )
  };
}

#undef NODE_HEADER

// The entries back to back are one multi-instance path; a bridge by its IDs names its
// device whatever classes it gives, as the FT232's entry always has.
struct USB_SERIAL_CONIN_ENTRIES {
  USB_SERIAL_CONIN_ENTRY    Entry[ENTRY_COUNT];
};

constexpr USB_SERIAL_CONIN_ENTRIES
MakeEntries (
  )
{
  USB_SERIAL_CONIN_ENTRIES  Entries = { };

  for (UINTN Index = 0; Index < ENTRY_COUNT; Index++) {
    BOOLEAN  Last = (BOOLEAN)(Index + 1 == ENTRY_COUNT);
    Entries.Entry[Index] = (Index < BRIDGE_COUNT)
                           ? MakeEntry (gUsbBridgeIds[Index].VendorId, gUsbBridgeIds[Index].ProductId, { 0xFF, 0xFF, 0xFF }, Last)
                           : MakeEntry (ANY_ID, ANY_ID, mCdcAcmForms[Index - BRIDGE_COUNT], Last);
  }

  return Entries;
}

constexpr USB_SERIAL_CONIN_ENTRIES  mConInEntries = MakeEntries ();

static_assert (sizeof (mConInEntries) == ENTRY_COUNT * sizeof (USB_SERIAL_CONIN_ENTRY), "the entries are stored back to back");

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

// The bridge node before the Uart node: a USB port, or a class node an install writes,
// or wrote (a bridge's IDs with any classes).
BOOLEAN
IsUsbSerialAdapterNode (
  CONST EFI_DEVICE_PATH_PROTOCOL  *Node
  )
{
  USB_CLASS_DEVICE_PATH  Class;

  if (IsNode (Node, MSG_USB_DP, sizeof (USB_DEVICE_PATH))) {
    return TRUE;
  }

  if (!IsNode (Node, MSG_USB_CLASS_DP, sizeof (USB_CLASS_DEVICE_PATH))) {
    return FALSE;
  }

  CopyMem (&Class, Node, sizeof (Class));
  for (const USB_BRIDGE_ID &Id : gUsbBridgeIds) {
    if ((Class.VendorId == Id.VendorId) && (Class.ProductId == Id.ProductId)) {
      return TRUE;
    }
  }

  for (const USB_CLASS_FORM &Form : mCdcAcmForms) {
    if ((Class.VendorId == ANY_ID) && (Class.ProductId == ANY_ID) && (Class.DeviceClass == Form.Class) &&
        (Class.DeviceSubClass == Form.SubClass) && (Class.DeviceProtocol == Form.Protocol))
    {
      return TRUE;
    }
  }

  return FALSE;
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
// with an end-entire node, which is what the bytewise comparison needs. The value is
// only read: GetNextDevicePathInstance writes into it for a moment, which the entries,
// read-only in the image, do not allow.
// *INDENT-OFF*
class InstanceCursor {
public:
  explicit InstanceCursor (CONST VOID *ConIn)
    : mNext (static_cast<CONST EFI_DEVICE_PATH_PROTOCOL *>(ConIn)), mInstance (NULL), mSize (0) {}
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

    CONST EFI_DEVICE_PATH_PROTOCOL  *End = mNext;
    while (!IsDevicePathEndType (End)) {
      End = NextDevicePathNode (End);
    }

    UINTN  Nodes = static_cast<UINTN>(reinterpret_cast<CONST UINT8 *>(End) - reinterpret_cast<CONST UINT8 *>(mNext));
    mInstance = static_cast<EFI_DEVICE_PATH_PROTOCOL *>(AllocatePool (Nodes + END_DEVICE_PATH_LENGTH));
    if (mInstance == NULL) {
      *OutOfMemory = TRUE;
      return FALSE;
    }

    CopyMem (mInstance, mNext, Nodes);
    SetDevicePathEndNode (reinterpret_cast<UINT8 *>(mInstance) + Nodes);
    mSize = Nodes + END_DEVICE_PATH_LENGTH;
    mNext = IsDevicePathEnd (End) ? NULL : NextDevicePathNode (End);
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

  CONST EFI_DEVICE_PATH_PROTOCOL  *mNext;
  EFI_DEVICE_PATH_PROTOCOL        *mInstance;
  UINTN                           mSize;
};
// *INDENT-ON*

// Appends one instance to a value being built; a failed copy (EFI_OUT_OF_RESOURCES)
// leaves nothing built.
EFI_STATUS
AppendInstance (
  PoolPtr<EFI_DEVICE_PATH_PROTOCOL>  *Built,
  CONST EFI_DEVICE_PATH_PROTOCOL     *Instance
  )
{
  Built->Reset (AppendDevicePathInstance (Built->Get (), Instance));
  return (Built->Get () != NULL) ? EFI_SUCCESS : EFI_OUT_OF_RESOURCES;
}

UINTN
SizeOf (
  const PoolPtr<EFI_DEVICE_PATH_PROTOCOL>  &Built
  )
{
  return (Built.Get () == NULL) ? 0 : GetDevicePathSize (Built.Get ());
}
} // namespace

BOOLEAN
IsUsbSerialConsoleInstance (
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

  return (BOOLEAN)((Last[0] != NULL) && IsUsbSerialAdapterNode (Last[0]) &&
                   UartPathIsUartNode (Last[1]) && UartPathIsFlowControlNode (Last[2]));
}

CONST EFI_DEVICE_PATH_PROTOCOL *
NfcKeyboardConInEntries (
  VOID
  )
{
  return &mConInEntries.Entry[0].Usb.Header;
}

UINTN
ConInEntriesHeld (
  IN CONST VOID  *ConIn,
  IN UINTN       Size
  )
{
  BOOLEAN         OutOfMemory;
  UINTN           Held = 0;
  InstanceCursor  Entry (NfcKeyboardConInEntries ());

  while (Entry.Advance (&OutOfMemory)) {
    Held += (ConInFind (ConIn, Size, Entry.Current ()) == EFI_ALREADY_STARTED) ? 1 : 0;
  }

  return Held;
}

EFI_STATUS
ConInSetUsbSerialEntries (
  IN  CONST VOID                      *ConIn,
  IN  UINTN                           Size,
  IN  CONST EFI_DEVICE_PATH_PROTOCOL  *Keep OPTIONAL,
  OUT EFI_DEVICE_PATH_PROTOCOL        **NewConIn,
  OUT UINTN                           *NewSize
  )
{
  BOOLEAN                            OutOfMemory = FALSE;
  PoolPtr<EFI_DEVICE_PATH_PROTOCOL>  Built;

  *NewConIn = NULL;
  *NewSize  = 0;
  if ((Keep != NULL) && (!IsDevicePathValid (Keep, 0) || IsDevicePathEnd (Keep))) {
    return EFI_INVALID_PARAMETER;
  }

  if ((Size != 0) && !IsWholePath (ConIn, Size)) {
    return EFI_COMPROMISED_DATA;
  }

  UINTN  KeepSize = (Keep == NULL) ? 0 : GetDevicePathSize (Keep);

  // The value is built whole and compared at the end, so an unchanged ConIn is never
  // rewritten; of a kept entry, the first copy stays where ConIn has it.
  if (Size != 0) {
    InstanceCursor  Cursor (ConIn);
    while (Cursor.Advance (&OutOfMemory)) {
      if (IsUsbSerialConsoleInstance (Cursor.Current ())) {
        EFI_STATUS  InKeep  = (Keep == NULL) ? EFI_NOT_FOUND : ConInFind (Keep, KeepSize, Cursor.Current ());
        EFI_STATUS  InBuilt = (InKeep == EFI_ALREADY_STARTED) ? ConInFind (Built.Get (), SizeOf (Built), Cursor.Current ()) : EFI_NOT_FOUND;
        if ((InKeep == EFI_OUT_OF_RESOURCES) || (InBuilt == EFI_OUT_OF_RESOURCES)) {
          return EFI_OUT_OF_RESOURCES;
        }

        if ((InKeep != EFI_ALREADY_STARTED) || (InBuilt == EFI_ALREADY_STARTED)) {
          continue;
        }
      }

      if (EFI_ERROR (AppendInstance (&Built, Cursor.Current ()))) {
        return EFI_OUT_OF_RESOURCES;
      }
    }
  }

  if (!OutOfMemory && (Keep != NULL)) {
    InstanceCursor  Cursor (Keep);
    while (Cursor.Advance (&OutOfMemory)) {
      EFI_STATUS  Held = ConInFind (Built.Get (), SizeOf (Built), Cursor.Current ());
      if ((Held == EFI_OUT_OF_RESOURCES) || ((Held == EFI_NOT_FOUND) && EFI_ERROR (AppendInstance (&Built, Cursor.Current ())))) {
        return EFI_OUT_OF_RESOURCES;
      }
    }
  }

  if (OutOfMemory) {
    return EFI_OUT_OF_RESOURCES;
  }

  UINTN  BuiltSize = SizeOf (Built);

  if ((BuiltSize == Size) && ((Size == 0) || (CompareMem (Built.Get (), ConIn, Size) == 0))) {
    return EFI_ALREADY_STARTED;
  }

  *NewConIn = Built.Release ();
  *NewSize  = BuiltSize;
  return EFI_SUCCESS;
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

EFI_STATUS
ConInFind (
  IN CONST VOID                      *ConIn,
  IN UINTN                           Size,
  IN CONST EFI_DEVICE_PATH_PROTOCOL  *Instance
  )
{
  BOOLEAN  OutOfMemory;

  if (!IsSingleInstance (Instance)) {
    return EFI_INVALID_PARAMETER;
  }

  if (Size == 0) {
    return EFI_NOT_FOUND;
  }

  if (!IsWholePath (ConIn, Size)) {
    return EFI_COMPROMISED_DATA;
  }

  UINTN           InstanceSize = GetDevicePathSize (Instance);
  InstanceCursor  Cursor (ConIn);

  while (Cursor.Advance (&OutOfMemory)) {
    if (Cursor.Equals (Instance, InstanceSize)) {
      return EFI_ALREADY_STARTED;
    }
  }

  return OutOfMemory ? EFI_OUT_OF_RESOURCES : EFI_NOT_FOUND;
}

EFI_STATUS
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

  EFI_STATUS  Found = ConInFind (ConIn, Size, Instance);

  if (Found != EFI_NOT_FOUND) {
    return Found;
  }

  // An absent ConIn becomes the one instance; AppendDevicePathInstance copies it then.
  CONST EFI_DEVICE_PATH_PROTOCOL  *Base   = (Size == 0) ? NULL : static_cast<CONST EFI_DEVICE_PATH_PROTOCOL *>(ConIn);
  EFI_DEVICE_PATH_PROTOCOL        *Result = AppendDevicePathInstance (Base, Instance);

  if (Result == NULL) {
    return EFI_OUT_OF_RESOURCES;
  }

  *NewConIn = Result;
  *NewSize  = GetDevicePathSize (Result);
  return EFI_SUCCESS;
}

EFI_STATUS
ConInRemoveNfcKeyboard (
  IN  CONST VOID                      *ConIn,
  IN  UINTN                           Size,
  IN  CONST EFI_DEVICE_PATH_PROTOCOL  *Instance OPTIONAL,
  OUT EFI_DEVICE_PATH_PROTOCOL        **NewConIn,
  OUT UINTN                           *NewSize
  )
{
  BOOLEAN                            OutOfMemory;
  BOOLEAN                            Dropped = FALSE;
  PoolPtr<EFI_DEVICE_PATH_PROTOCOL>  Kept;

  *NewConIn = NULL;
  *NewSize  = 0;
  if ((Instance != NULL) && !IsSingleInstance (Instance)) {
    return EFI_INVALID_PARAMETER;
  }

  if (Size == 0) {
    return EFI_NOT_FOUND;
  }

  if (!IsWholePath (ConIn, Size)) {
    return EFI_COMPROMISED_DATA;
  }

  // Any of the install's entries goes, an earlier install's one FT232 entry among them.
  UINTN           InstanceSize = (Instance == NULL) ? 0 : GetDevicePathSize (Instance);
  InstanceCursor  Cursor (ConIn);

  while (Cursor.Advance (&OutOfMemory)) {
    EFI_STATUS  Entry = ConInFind (NfcKeyboardConInEntries (), sizeof (mConInEntries), Cursor.Current ());
    if (Entry == EFI_OUT_OF_RESOURCES) {
      return EFI_OUT_OF_RESOURCES;
    }

    if ((Entry == EFI_ALREADY_STARTED) || ((Instance != NULL) && Cursor.Equals (Instance, InstanceSize))) {
      Dropped = TRUE;
    } else if (EFI_ERROR (AppendInstance (&Kept, Cursor.Current ()))) {
      return EFI_OUT_OF_RESOURCES;
    }
  }

  if (OutOfMemory) {
    return EFI_OUT_OF_RESOURCES;
  }

  if (!Dropped) {
    return EFI_NOT_FOUND;
  }

  *NewSize  = SizeOf (Kept);
  *NewConIn = Kept.Release ();
  return EFI_SUCCESS;
}
