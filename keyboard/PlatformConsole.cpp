/** @file
  Tells whether a Serial I/O line is one of the platform's own terminal consoles, which
  the keyboard leaves alone: no setting, no byte written, no byte read; and which USB
  device a line hangs off.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/
#include "NfcKeyboard.h"

#include <Char16.h>

extern "C" {
#include <Guid/GlobalVariable.h>
#include <Guid/PcAnsi.h>
#include <Guid/TtyTerm.h>
#include <Library/BaseMemoryLib.h>
#include <Library/DevicePathLib.h>
#include <Library/MemoryAllocationLib.h>
#include <Protocol/DevicePath.h>
#include <Protocol/UsbIo.h>
}

namespace {
constexpr auto  mConInName  = Char16 (u"ConIn");
constexpr auto  mConOutName = Char16 (u"ConOut");
constexpr auto  mErrOutName = Char16 (u"ErrOut");

CONST CHAR16 *CONST  mConsoleVariables[] = { mConInName.Text, mConOutName.Text, mErrOutName.Text };

// The terminal types EDK II's terminal driver knows; the node that follows a port's
// own path in a console variable says which one speaks on it.
EFI_GUID *CONST  mTerminalTypes[] = {
  &gEfiPcAnsiGuid,      &gEfiVT100Guid,     &gEfiVT100PlusGuid, &gEfiVTUTF8Guid,
  &gEdkiiLinuxTermGuid, &gEdkiiXtermR6Guid, &gEdkiiVT400Guid,   &gEdkiiSCOTermGuid,
  &gEfiTtyTermGuid,
};
} // namespace

BOOLEAN
NfcKeyboardIsTerminalNode (
  IN CONST EFI_DEVICE_PATH_PROTOCOL  *Node
  )
{
  if ((DevicePathType (Node) != MESSAGING_DEVICE_PATH) || (DevicePathSubType (Node) != MSG_VENDOR_DP) ||
      (DevicePathNodeLength (Node) < sizeof (VENDOR_DEVICE_PATH)))
  {
    return FALSE;
  }

  CONST EFI_GUID  *Type = &reinterpret_cast<CONST VENDOR_DEVICE_PATH *>(Node)->Guid;

  for (EFI_GUID *Known : mTerminalTypes) {
    if (CompareGuid (Type, Known)) {
      return TRUE;
    }
  }

  return FALSE;
}

namespace {
// A UART node follows the port's current settings, which whoever called SetAttributes
// last chose; the console entry names the same port whatever they are now.
BOOLEAN
SameNode (
  CONST EFI_DEVICE_PATH_PROTOCOL  *Line,
  CONST EFI_DEVICE_PATH_PROTOCOL  *Entry
  )
{
  UINTN  Length = DevicePathNodeLength (Line);

  if ((Length != DevicePathNodeLength (Entry)) || (DevicePathType (Line) != DevicePathType (Entry)) ||
      (DevicePathSubType (Line) != DevicePathSubType (Entry)))
  {
    return FALSE;
  }

  if ((DevicePathType (Line) == MESSAGING_DEVICE_PATH) && (DevicePathSubType (Line) == MSG_UART_DP)) {
    return TRUE;
  }

  return (BOOLEAN)(CompareMem (Line, Entry, Length) == 0);
}

// A USB short form (UsbClass, UsbWwid) names a device by its descriptors wherever it
// is plugged; the firmware's boot manager connects such a console instance and its
// console platform driver matches it on any port.
BOOLEAN
IsShortFormNode (
  CONST EFI_DEVICE_PATH_PROTOCOL  *Node
  )
{
  return (BOOLEAN)((DevicePathType (Node) == MESSAGING_DEVICE_PATH) &&
                   ((DevicePathSubType (Node) == MSG_USB_CLASS_DP) || (DevicePathSubType (Node) == MSG_USB_WWID_DP)));
}

BOOLEAN
FieldMatches (
  UINT16  Wanted,
  UINT16  Found,
  UINT16  Any
  )
{
  return (BOOLEAN)((Wanted == Any) || (Wanted == Found));
}

// The node keeps the last characters of the serial number, perhaps with a NUL after them.
BOOLEAN
SerialNumberEndsWith (
  EFI_USB_IO_PROTOCOL         *UsbIo,
  UINT8                       StringIndex,
  CONST USB_WWID_DEVICE_PATH  *Wwid
  )
{
  CONST UINT8  *Tail      = reinterpret_cast<CONST UINT8 *>(Wwid + 1);
  UINTN        TailLength = (DevicePathNodeLength (&Wwid->Header) - sizeof (*Wwid)) / sizeof (CHAR16);
  UINT16       *Languages = NULL;
  UINT16       TableSize  = 0;

  if ((TailLength != 0) && (ReadUnaligned16 (reinterpret_cast<CONST UINT16 *>(Tail) + TailLength - 1) == 0)) {
    TailLength--;
  }

  if ((StringIndex == 0) || EFI_ERROR (UsbIo->UsbGetSupportedLanguages (UsbIo, &Languages, &TableSize))) {
    return FALSE;
  }

  for (UINTN Index = 0; Index < TableSize / sizeof (UINT16); Index++) {
    CHAR16  *Serial = NULL;

    if (EFI_ERROR (UsbIo->UsbGetStringDescriptor (UsbIo, Languages[Index], StringIndex, &Serial)) || (Serial == NULL)) {
      continue;
    }

    UINTN    Length = StrLen (Serial);
    BOOLEAN  Same   = (BOOLEAN)((Length >= TailLength) &&
                                (CompareMem (Serial + Length - TailLength, Tail, TailLength * sizeof (CHAR16)) == 0));

    FreePool (Serial);
    if (Same) {
      return TRUE;
    }
  }

  return FALSE;
}

// Whether the line's USB device is the one a short-form node names.
BOOLEAN
UsbDeviceIs (
  EFI_USB_IO_PROTOCOL             *UsbIo,
  CONST EFI_DEVICE_PATH_PROTOCOL  *Node
  )
{
  EFI_USB_DEVICE_DESCRIPTOR     Device;
  EFI_USB_INTERFACE_DESCRIPTOR  Interface;
  UINTN                         Length = DevicePathNodeLength (Node);

  if (EFI_ERROR (UsbIo->UsbGetDeviceDescriptor (UsbIo, &Device)) ||
      EFI_ERROR (UsbIo->UsbGetInterfaceDescriptor (UsbIo, &Interface)))
  {
    return FALSE;
  }

  if (DevicePathSubType (Node) == MSG_USB_WWID_DP) {
    CONST USB_WWID_DEVICE_PATH  *Wwid = reinterpret_cast<CONST USB_WWID_DEVICE_PATH *>(Node);

    return (BOOLEAN)((Length >= sizeof (*Wwid)) && (Wwid->VendorId == Device.IdVendor) &&
                     (Wwid->ProductId == Device.IdProduct) && (Wwid->InterfaceNumber == Interface.InterfaceNumber) &&
                     SerialNumberEndsWith (UsbIo, Device.StrSerialNumber, Wwid));
  }

  CONST USB_CLASS_DEVICE_PATH  *Class = reinterpret_cast<CONST USB_CLASS_DEVICE_PATH *>(Node);

  // A device of class 0 leaves its class to its interface.
  if (Device.DeviceClass == 0) {
    Device.DeviceClass    = Interface.InterfaceClass;
    Device.DeviceSubClass = Interface.InterfaceSubClass;
    Device.DeviceProtocol = Interface.InterfaceProtocol;
  }

  return (BOOLEAN)((Length >= sizeof (*Class)) && FieldMatches (Class->VendorId, Device.IdVendor, MAX_UINT16) &&
                   FieldMatches (Class->ProductId, Device.IdProduct, MAX_UINT16) &&
                   FieldMatches (Class->DeviceClass, Device.DeviceClass, MAX_UINT8) &&
                   FieldMatches (Class->DeviceSubClass, Device.DeviceSubClass, MAX_UINT8) &&
                   FieldMatches (Class->DeviceProtocol, Device.DeviceProtocol, MAX_UINT8));
}

// Walks one instance of a validated console variable. TRUE when the line's nodes are
// the instance's first nodes and a terminal-type node comes next; a short-form node
// stands for the line's USB device and whatever the instance leaves out above it. With
// AnyBelow, a short-form node that matches is enough, as the console platform driver
// matches it: whatever text device the USB device carries joins that console.
// *Entry is left on the instance's end node either way.
BOOLEAN
InstanceIsTerminalOn (
  CONST EFI_DEVICE_PATH_PROTOCOL  *Line,
  CONST EFI_DEVICE_PATH_PROTOCOL  **Entry,
  EFI_USB_IO_PROTOCOL             *UsbIo,
  CONST EFI_DEVICE_PATH_PROTOCOL  *BelowUsb,
  BOOLEAN                         AnyBelow
  )
{
  BOOLEAN  Matching = TRUE;
  BOOLEAN  Result   = FALSE;

  for ( ; !IsDevicePathEndType (*Entry); *Entry = NextDevicePathNode (*Entry)) {
    if (!Matching) {
      continue;
    }

    if (IsDevicePathEnd (Line)) {
      Result   = (BOOLEAN)(Result || NfcKeyboardIsTerminalNode (*Entry));
      Matching = FALSE;
    } else if (IsShortFormNode (*Entry)) {
      Matching = (BOOLEAN)((UsbIo != NULL) && UsbDeviceIs (UsbIo, *Entry));
      Result   = (BOOLEAN)(Matching && AnyBelow);
      Line     = BelowUsb;
    } else if (SameNode (Line, *Entry)) {
      Line = NextDevicePathNode (Line);
    } else {
      Matching = FALSE;
    }
  }

  return Result;
}
} // namespace

BOOLEAN
NfcKeyboardPathIsTerminalConsole (
  IN CONST EFI_DEVICE_PATH_PROTOCOL  *LinePath,
  IN CONST EFI_DEVICE_PATH_PROTOCOL  *Variable,
  IN UINTN                           VariableSize,
  IN BOOLEAN                         Output
  )
{
  // A variable that is no valid device path names no console.
  if ((Variable == NULL) || (VariableSize < END_DEVICE_PATH_LENGTH) || !IsDevicePathValid (Variable, VariableSize) ||
      IsDevicePathEnd (LinePath))
  {
    return FALSE;
  }

  CONST EFI_DEVICE_PATH_PROTOCOL  *Entry = Variable;
  CONST EFI_DEVICE_PATH_PROTOCOL  *BelowUsb;
  EFI_USB_IO_PROTOCOL             *UsbIo = NfcKeyboardLineUsbIo (LinePath, &BelowUsb);

  for ( ; ;) {
    if (InstanceIsTerminalOn (LinePath, &Entry, UsbIo, BelowUsb, Output)) {
      return TRUE;
    }

    if (IsDevicePathEnd (Entry)) {
      return FALSE;
    }

    Entry = NextDevicePathNode (Entry);
  }
}

EFI_USB_IO_PROTOCOL *
NfcKeyboardLineUsbIo (
  IN  CONST EFI_DEVICE_PATH_PROTOCOL  *LinePath,
  OUT CONST EFI_DEVICE_PATH_PROTOCOL  **BelowUsb
  )
{
  EFI_DEVICE_PATH_PROTOCOL  *Rest = const_cast<EFI_DEVICE_PATH_PROTOCOL *>(LinePath);
  EFI_HANDLE                Device;
  EFI_USB_IO_PROTOCOL       *UsbIo;

  *BelowUsb = NULL;
  if (EFI_ERROR (gBS->LocateDevicePath (&gEfiUsbIoProtocolGuid, &Rest, &Device)) ||
      EFI_ERROR (gBS->HandleProtocol (Device, &gEfiUsbIoProtocolGuid, reinterpret_cast<VOID **>(&UsbIo))))
  {
    return NULL;
  }

  *BelowUsb = Rest;
  return UsbIo;
}

BOOLEAN
NfcKeyboardIsPlatformConsole (
  IN EFI_HANDLE  ControllerHandle
  )
{
  EFI_DEVICE_PATH_PROTOCOL  *LinePath;

  if (EFI_ERROR (gBS->HandleProtocol (ControllerHandle, &gEfiDevicePathProtocolGuid, reinterpret_cast<VOID **>(&LinePath))) ||
      (LinePath == NULL) || !IsDevicePathValid (LinePath, 0))
  {
    return FALSE;
  }

  for (UINTN Index = 0; Index < ARRAY_SIZE (mConsoleVariables); Index++) {
    VOID   *Variable = NULL;
    UINTN  Size      = 0;

    if (EFI_ERROR (GetEfiGlobalVariable2 (mConsoleVariables[Index], &Variable, &Size))) {
      continue;
    }

    // The keyboard is no output device: an output console on the line is a terminal.
    BOOLEAN  Console = NfcKeyboardPathIsTerminalConsole (
                                                         LinePath,
                                                         static_cast<EFI_DEVICE_PATH_PROTOCOL *>(Variable),
                                                         Size,
                                                         (BOOLEAN)(Index != 0)
                                                         );

    FreePool (Variable);
    if (Console) {
      return TRUE;
    }
  }

  return FALSE;
}
