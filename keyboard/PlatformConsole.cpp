/** @file
  Tells whether a Serial I/O line is one of the platform's own terminal consoles, which
  the keyboard leaves alone: no setting, no byte written, no byte read.
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
}

namespace {

constexpr auto  mConInName  = Char16 (u"ConIn");
constexpr auto  mConOutName = Char16 (u"ConOut");
constexpr auto  mErrOutName = Char16 (u"ErrOut");

CONST CHAR16 *CONST  mConsoleVariables[] = { mConInName.Text, mConOutName.Text, mErrOutName.Text };

// The terminal types EDK II's terminal driver knows; the node that follows a port's
// own path in a console variable says which one speaks on it.
EFI_GUID *CONST  mTerminalTypes[] = {
  &gEfiPcAnsiGuid,      &gEfiVT100Guid,    &gEfiVT100PlusGuid, &gEfiVTUTF8Guid,
  &gEdkiiLinuxTermGuid, &gEdkiiXtermR6Guid, &gEdkiiVT400Guid,   &gEdkiiSCOTermGuid,
  &gEfiTtyTermGuid,
};

BOOLEAN
IsTerminalNode (
  CONST EFI_DEVICE_PATH_PROTOCOL  *Node
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

// Walks one instance of a validated console variable. TRUE when the line's nodes are
// the instance's first nodes and a terminal-type node comes next; *Entry is left on
// the instance's end node either way.
BOOLEAN
InstanceIsTerminalOn (
  CONST EFI_DEVICE_PATH_PROTOCOL  *Line,
  CONST EFI_DEVICE_PATH_PROTOCOL  **Entry
  )
{
  BOOLEAN  Matching = TRUE;
  BOOLEAN  Result   = FALSE;

  for ( ; !IsDevicePathEndType (*Entry); *Entry = NextDevicePathNode (*Entry)) {
    if (!Matching) {
      continue;
    }

    if (IsDevicePathEnd (Line)) {
      Result   = IsTerminalNode (*Entry);
      Matching = FALSE;
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
  IN UINTN                           VariableSize
  )
{
  // A variable that is no valid device path names no console.
  if ((Variable == NULL) || (VariableSize < END_DEVICE_PATH_LENGTH) || !IsDevicePathValid (Variable, VariableSize) ||
      IsDevicePathEnd (LinePath))
  {
    return FALSE;
  }

  CONST EFI_DEVICE_PATH_PROTOCOL  *Entry = Variable;

  for ( ; ;) {
    if (InstanceIsTerminalOn (LinePath, &Entry)) {
      return TRUE;
    }

    if (IsDevicePathEnd (Entry)) {
      return FALSE;
    }

    Entry = NextDevicePathNode (Entry);
  }
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

  for (CONST CHAR16 *Name : mConsoleVariables) {
    VOID   *Variable = NULL;
    UINTN  Size      = 0;

    if (EFI_ERROR (GetEfiGlobalVariable2 (Name, &Variable, &Size))) {
      continue;
    }

    BOOLEAN  Console = NfcKeyboardPathIsTerminalConsole (
                         LinePath,
                         static_cast<EFI_DEVICE_PATH_PROTOCOL *>(Variable),
                         Size
                         );

    FreePool (Variable);
    if (Console) {
      return TRUE;
    }
  }

  return FALSE;
}
