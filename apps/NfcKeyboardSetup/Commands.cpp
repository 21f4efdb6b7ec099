/** @file
  The commands of NfcKeyboardSetup: status, enable, disable, console add and
  console remove, and the dispatcher that picks one from the words typed.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/
#include "NfcKeyboardSetup.h"

extern "C" {
#include <Guid/GlobalVariable.h>
#include <Guid/ZorvikConf.h>
#include <Library/BaseLib.h>
#include <Library/BaseMemoryLib.h>
#include <Library/DevicePathLib.h>
#include <Library/MemoryAllocationLib.h>
#include <Library/UefiLib.h>
#include <Library/UefiRuntimeServicesTableLib.h>
}

namespace {
constexpr UINT32  ZORVIK_CONF_ATTRIBUTES = EFI_VARIABLE_NON_VOLATILE | EFI_VARIABLE_BOOTSERVICE_ACCESS;
constexpr UINT32  CONIN_ATTRIBUTES       = EFI_VARIABLE_NON_VOLATILE | EFI_VARIABLE_BOOTSERVICE_ACCESS |
                                           EFI_VARIABLE_RUNTIME_ACCESS;

constexpr auto  mZorvikConfName = Char16 (ZORVIK_CONF_VARIABLE_NAME);
constexpr auto  mConInName      = Char16 (u"ConIn");

VOID
PrintDevicePath (
  CONST CHAR16                    *Indent,
  CONST EFI_DEVICE_PATH_PROTOCOL  *DevicePath
  )
{
  CHAR16  *Text = ConvertDevicePathToText (DevicePath, FALSE, FALSE);

  Print (CHAR16_TEXT (u"%s%s\n"), Indent, (Text != NULL) ? Text : CHAR16_TEXT (u"(a device path with no text form)"));
  if (Text != NULL) {
    FreePool (Text);
  }
}

// Print formats into a buffer of a few hundred characters, so one line a call.
CONST CHAR16 *CONST  mUsage[] = {
  CHAR16_TEXT (u"Usage: NfcKeyboardSetup <command>\n"),
  CHAR16_TEXT (u"  status          the drivers, ZorvikConf, the USB serial lines, the NFC keyboard and ConIn\n"),
  CHAR16_TEXT (u"  enable          ZorvikConf = 01: the keyboard driver starts a keyboard from its next load\n"),
  CHAR16_TEXT (u"  disable         ZorvikConf = 00: the keyboard driver starts none from its next load\n"),
  CHAR16_TEXT (u"  console add     put the running NFC keyboard into ConIn (it joins the console at the next boot)\n"),
  CHAR16_TEXT (u"  console remove  take the NFC keyboard out of ConIn, leaving every other console alone\n"),
  CHAR16_TEXT (u"  install [-d DIR] copy the images from DIR (or here) to the EFI system partition, load them\n"),
  CHAR16_TEXT (u"                  at every boot, enable the keyboard and put it into ConIn on any USB port\n"),
  CHAR16_TEXT (u"  uninstall       undo install, with or without the reader attached\n"),
  CHAR16_TEXT (u"  help            this text\n"),
};

VOID
PrintUsage (
  )
{
  for (CONST CHAR16 *Line : mUsage) {
    Print (CHAR16_TEXT (u"%s"), Line);
  }
}

EFI_STATUS
Fail (
  EFI_STATUS    Status,
  CONST CHAR16  *Message
  )
{
  Print (CHAR16_TEXT (u"NfcKeyboardSetup: %s (%r)\n"), Message, Status);
  return Status;
}

// The serial drivers, whose lines the status lists with the bridge each sits on.
constexpr CONST CHAR16 *CONST  mSerialDriverNames[] = { gSerialDriverName.Text, gUsbUartDriverName.Text };

struct SERIAL_LINES {
  PoolPtr<EFI_HANDLE>    Handles;
  UINTN                  Count;
};

EFI_STATUS
CommandStatus (
  )
{
  EFI_STATUS    Result = EFI_SUCCESS;
  EFI_HANDLE    SerialDrivers[ARRAY_SIZE (mSerialDriverNames)];
  SERIAL_LINES  Lines[ARRAY_SIZE (mSerialDriverNames)];

  for (UINTN Index = 0; Index < ARRAY_SIZE (mSerialDriverNames); Index++) {
    SerialDrivers[Index] = FindDriverByName (mSerialDriverNames[Index]);
    Print (CHAR16_TEXT (u"Serial driver \"%s\": %s\n"), mSerialDriverNames[Index], (SerialDrivers[Index] != NULL) ? CHAR16_TEXT (u"loaded") : CHAR16_TEXT (u"not loaded"));
  }

  EFI_HANDLE  KeyboardDriver = FindDriverByName (gKeyboardDriverName.Text);

  Print (CHAR16_TEXT (u"Keyboard driver \"%s\": %s\n"), gKeyboardDriverName.Text, (KeyboardDriver != NULL) ? CHAR16_TEXT (u"loaded") : CHAR16_TEXT (u"not loaded"));

  STORED_VARIABLE  Conf;

  ReadVariable (mZorvikConfName.Text, &gZorvikConfGuid, &Conf);
  if (Conf.Status == EFI_NOT_FOUND) {
    Print (CHAR16_TEXT (u"ZorvikConf: not set (the keyboard driver creates it as 00, disabled, at its next load)\n"));
  } else if (EFI_ERROR (Conf.Status)) {
    Print (CHAR16_TEXT (u"ZorvikConf: cannot be read (%r)\n"), Conf.Status);
    Result = Conf.Status;
  } else if (Conf.Size != 1) {
    Print (CHAR16_TEXT (u"ZorvikConf: %lu bytes, not one (the keyboard driver replaces it with 00, disabled, at its next load)\n"), static_cast<UINT64>(Conf.Size));
  } else {
    UINT8  Enabled = *static_cast<UINT8 *>(Conf.Data.Get ());
    Print (
           CHAR16_TEXT (u"ZorvikConf: %02x (%s)%s\n"),
           Enabled,
           (Enabled != 0) ? CHAR16_TEXT (u"enabled") : CHAR16_TEXT (u"disabled"),
           ((Conf.Attributes & ~static_cast<UINT32>(EFI_VARIABLE_RUNTIME_ACCESS)) != ZORVIK_CONF_ATTRIBUTES) ? CHAR16_TEXT (u", other attributes (the keyboard driver rewrites it with its own, keeping the value, at its next load)") : CHAR16_TEXT (u"")
           );
  }

  EFI_HANDLE                Keyboard;
  EFI_DEVICE_PATH_PROTOCOL  *KeyboardPath;
  BOOLEAN                   Running   = (BOOLEAN)(!EFI_ERROR (FindNfcKeyboard (&Keyboard, &KeyboardPath)));
  UINTN                     LineCount = 0;
  EFI_STATUS                Status    = EFI_SUCCESS;

  for (UINTN Index = 0; !EFI_ERROR (Status) && (Index < ARRAY_SIZE (Lines)); Index++) {
    Status     = FindSerialLines (SerialDrivers[Index], Lines[Index].Handles.Out (), &Lines[Index].Count);
    LineCount += EFI_ERROR (Status) ? 0 : Lines[Index].Count;
  }

  if (EFI_ERROR (Status)) {
    Print (CHAR16_TEXT (u"USB serial lines: cannot be listed (%r)\n"), Status);
    Result = Status;
  } else {
    Print (CHAR16_TEXT (u"USB serial lines: %lu\n"), static_cast<UINT64>(LineCount));
    for (const SERIAL_LINES &Driver : Lines) {
      for (UINTN Index = 0; Index < Driver.Count; Index++) {
        EFI_HANDLE                Line    = Driver.Handles.Get ()[Index];
        CONST CHAR16              *Bridge = SerialLineBridge (Line);
        EFI_DEVICE_PATH_PROTOCOL  *Path   = DevicePathFromHandle (Line);
        Print (
               CHAR16_TEXT (u"  %s%s:\n"),
               (Bridge != NULL) ? Bridge : CHAR16_TEXT (u"unknown bridge"),
               (Running && (Line == Keyboard)) ? CHAR16_TEXT (u", the NFC keyboard's line") : CHAR16_TEXT (u"")
               );
        if (Path != NULL) {
          PrintDevicePath (CHAR16_TEXT (u"    "), Path);
        }
      }
    }
  }

  CONST CHAR16  *KeyboardBridge = Running ? SerialLineBridge (Keyboard) : NULL;

  if (Running) {
    if (KeyboardBridge != NULL) {
      Print (CHAR16_TEXT (u"NFC keyboard: running, on the %s line\n"), KeyboardBridge);
    } else {
      Print (CHAR16_TEXT (u"NFC keyboard: running\n"));
    }

    PrintDevicePath (CHAR16_TEXT (u"  "), KeyboardPath);
  } else {
    Print (CHAR16_TEXT (u"NFC keyboard: not running\n"));
  }

  STORED_VARIABLE  ConIn;

  ReadVariable (mConInName.Text, &gEfiGlobalVariableGuid, &ConIn);
  if (ConIn.Status == EFI_NOT_FOUND) {
    Print (CHAR16_TEXT (u"ConIn: not set\n"));
  } else if (EFI_ERROR (ConIn.Status)) {
    Print (CHAR16_TEXT (u"ConIn: cannot be read (%r)\n"), ConIn.Status);
    return ConIn.Status;
  } else if (!ConInIsWellFormed (ConIn.Data.Get (), ConIn.Size)) {
    Print (CHAR16_TEXT (u"ConIn: malformed (%lu bytes that are no device path)\n"), static_cast<UINT64>(ConIn.Size));
    return Result;
  } else {
    Print (CHAR16_TEXT (u"ConIn: %lu instance(s)\n"), static_cast<UINT64>(ConInInstanceCount (ConIn.Data.Get (), ConIn.Size)));
  }

  // The install's entries name the reader on any port; console add names one port. An
  // earlier install's, or one from a folder made before the other bridges, names fewer.
  auto   *Entries = NfcKeyboardConInEntries ();
  UINTN  Wanted   = ConInInstanceCount (Entries, GetDevicePathSize (Entries));
  UINTN  Held     = ConInEntriesHeld (ConIn.Data.Get (), ConIn.Size);

  if (Held == Wanted) {
    Print (CHAR16_TEXT (u"NFC keyboard in ConIn: yes, on any USB port\n"));
  } else if (Running && (ConInFind (ConIn.Data.Get (), ConIn.Size, KeyboardPath) == EFI_ALREADY_STARTED)) {
    Print (CHAR16_TEXT (u"NFC keyboard in ConIn: yes\n"));
  } else if (Held != 0) {
    Print (
           CHAR16_TEXT (u"NFC keyboard in ConIn: on some bridges only (%lu of %lu entries); install again for every bridge\n"),
           static_cast<UINT64>(Held),
           static_cast<UINT64>(Wanted)
           );
  } else if (!Running) {
    Print (CHAR16_TEXT (u"NFC keyboard in ConIn: unknown while no NFC keyboard runs\n"));
  } else {
    Print (CHAR16_TEXT (u"NFC keyboard in ConIn: no\n"));
  }

  return Result;
}

EFI_STATUS
CommandSetEnabled (
  UINT8  Enabled
  )
{
  STORED_VARIABLE  Conf;

  // The keyboard driver takes the byte with or without runtime access (an OS tool sets it
  // with it), so such a variable is written in place; one stored otherwise is replaced.
  ReadVariable (mZorvikConfName.Text, &gZorvikConfGuid, &Conf);
  UINT32  Attributes = (!EFI_ERROR (Conf.Status) && ((Conf.Attributes & ~static_cast<UINT32>(EFI_VARIABLE_RUNTIME_ACCESS)) == ZORVIK_CONF_ATTRIBUTES))
                       ? Conf.Attributes : ZORVIK_CONF_ATTRIBUTES;

  if (!EFI_ERROR (Conf.Status) && (Conf.Size == 1) && (Conf.Attributes == Attributes) &&
      (*static_cast<UINT8 *>(Conf.Data.Get ()) == Enabled))
  {
    Print (CHAR16_TEXT (u"ZorvikConf is %02x already; nothing changed\n"), Enabled);
    return EFI_SUCCESS;
  }

  EFI_STATUS  Status = ReplaceVariable (mZorvikConfName.Text, &gZorvikConfGuid, Attributes, 1, &Enabled);

  if (EFI_ERROR (Status)) {
    return Fail (Status, CHAR16_TEXT (u"cannot write ZorvikConf; it is unchanged"));
  }

  if (Enabled != 0) {
    Print (CHAR16_TEXT (u"ZorvikConf = 01: the keyboard driver starts the keyboard from its next load (reset, or load it again)\n"));
  } else {
    Print (CHAR16_TEXT (u"ZorvikConf = 00: the keyboard driver starts no keyboard from its next load\n"));
  }

  return EFI_SUCCESS;
}

using CONIN_EDIT = EFI_STATUS (*)(
                                  CONST VOID *,
                                  UINTN,
                                  CONST EFI_DEVICE_PATH_PROTOCOL *,
                                  EFI_DEVICE_PATH_PROTOCOL **,
                                  UINTN *
                                  );

// Reads ConIn, has Edit build the new value with Instance, and writes it whole; says
// why when it fails. *Result is what the edit found; ConIn was written only for EFI_SUCCESS.
EFI_STATUS
EditConIn (
  CONIN_EDIT                      Edit,
  CONST EFI_DEVICE_PATH_PROTOCOL  *Instance,
  EFI_STATUS                      *Result,
  UINT32                          *Attributes,
  UINTN                           *NewSize
  )
{
  STORED_VARIABLE  ConIn;

  *Result = EFI_OUT_OF_RESOURCES;
  ReadVariable (mConInName.Text, &gEfiGlobalVariableGuid, &ConIn);
  if (EFI_ERROR (ConIn.Status) && (ConIn.Status != EFI_NOT_FOUND)) {
    return Fail (ConIn.Status, CHAR16_TEXT (u"cannot read ConIn; it is unchanged"));
  }

  PoolPtr<EFI_DEVICE_PATH_PROTOCOL>  NewConIn;

  *Attributes = EFI_ERROR (ConIn.Status) ? CONIN_ATTRIBUTES : ConIn.Attributes;
  *Result     = Edit (ConIn.Data.Get (), ConIn.Size, Instance, NewConIn.Out (), NewSize);
  switch (*Result) {
    case EFI_SUCCESS:
      break;
    case EFI_ALREADY_STARTED:
    case EFI_NOT_FOUND:
      return EFI_SUCCESS;
    case EFI_COMPROMISED_DATA:
      Print (CHAR16_TEXT (u"NfcKeyboardSetup: ConIn is malformed (%lu bytes that are no device path); it is left as it is\n"), static_cast<UINT64>(ConIn.Size));
      return EFI_COMPROMISED_DATA;
    case EFI_INVALID_PARAMETER:
      return Fail (EFI_INVALID_PARAMETER, CHAR16_TEXT (u"the NFC keyboard's device path is not one valid device path; ConIn is unchanged"));
    default:
      return Fail (EFI_OUT_OF_RESOURCES, CHAR16_TEXT (u"out of memory; ConIn is unchanged"));
  }

  // One SetVariable with the whole value: the firmware replaces the variable
  // atomically, so a refused write leaves the old ConIn in place.
  EFI_STATUS  Status = gRT->SetVariable (const_cast<CHAR16 *>(mConInName.Text), &gEfiGlobalVariableGuid, *Attributes, *NewSize, NewConIn.Get ());

  if (EFI_ERROR (Status)) {
    return Fail (Status, CHAR16_TEXT (u"cannot write ConIn; it is unchanged"));
  }

  return EFI_SUCCESS;
}

EFI_STATUS
NoKeyboardRuns (
  )
{
  Print (CHAR16_TEXT (u"NfcKeyboardSetup: no NFC keyboard is running, so ConIn is unchanged (%r)\n"), EFI_NOT_FOUND);
  Print (CHAR16_TEXT (u"  Load both drivers with ZorvikConf enabled and the reader attached, then try again.\n"));
  return EFI_NOT_FOUND;
}

EFI_STATUS
CommandConsole (
  BOOLEAN  Add
  )
{
  EFI_HANDLE                Keyboard;
  EFI_DEVICE_PATH_PROTOCOL  *KeyboardPath = NULL;
  BOOLEAN                   Running       = (BOOLEAN) !EFI_ERROR (FindNfcKeyboard (&Keyboard, &KeyboardPath));

  // The install's entry names no port, so it can go while no keyboard runs.
  if (!Running && Add) {
    return NoKeyboardRuns ();
  }

  EFI_STATUS  Result;
  UINT32      Attributes;
  UINTN       NewSize;
  EFI_STATUS  Status = EditConIn (Add ? ConInAdd : ConInRemoveNfcKeyboard, Running ? KeyboardPath : NULL, &Result, &Attributes, &NewSize);

  if (!Running && !EFI_ERROR (Status) && (Result != EFI_SUCCESS)) {
    return NoKeyboardRuns ();
  }

  if (EFI_ERROR (Status) || (Result != EFI_SUCCESS)) {
    if (!EFI_ERROR (Status)) {
      Print (
             (Result == EFI_ALREADY_STARTED) ? CHAR16_TEXT (u"ConIn holds the NFC keyboard already; nothing changed\n")
                                    : CHAR16_TEXT (u"ConIn does not hold the NFC keyboard; nothing changed\n")
             );
    }

    return Status;
  }

  if (Add) {
    Print (CHAR16_TEXT (u"ConIn now holds the NFC keyboard; it joins the console at the next boot\n"));
  } else if (NewSize == 0) {
    Print (CHAR16_TEXT (u"ConIn held only the NFC keyboard and is now deleted\n"));
  } else {
    Print (CHAR16_TEXT (u"ConIn no longer holds the NFC keyboard; the other consoles stay\n"));
  }

  if (Running) {
    PrintDevicePath (CHAR16_TEXT (u"  "), KeyboardPath);
  }

  if ((Attributes & EFI_VARIABLE_NON_VOLATILE) == 0) {
    Print (CHAR16_TEXT (u"Note: ConIn is not non-volatile on this firmware, so the change lasts only until the next reset\n"));
  }

  return EFI_SUCCESS;
}

BOOLEAN
Is (
  CONST CHAR16  *Word,
  CONST CHAR16  *Expected
  )
{
  return (BOOLEAN)(StrCmp (Word, Expected) == 0);
}
} // namespace

VOID
ReadVariable (
  IN  CONST CHAR16     *Name,
  IN  EFI_GUID         *Guid,
  OUT STORED_VARIABLE  *Variable
  )
{
  Variable->Size       = 0;
  Variable->Attributes = 0;
  Variable->Status     = GetVariable3 (Name, Guid, Variable->Data.Out (), &Variable->Size, &Variable->Attributes);
  if (EFI_ERROR (Variable->Status)) {
    Variable->Data.Reset ();
    Variable->Size = 0;
  }
}

EFI_STATUS
ReplaceVariable (
  IN CONST CHAR16  *Name,
  IN EFI_GUID      *Guid,
  IN UINT32        Attributes,
  IN UINTN         Size,
  IN CONST VOID    *Data
  )
{
  STORED_VARIABLE  Old;
  CHAR16           *VariableName = const_cast<CHAR16 *>(Name);

  ReadVariable (Name, Guid, &Old);
  if (EFI_ERROR (Old.Status) && (Old.Status != EFI_NOT_FOUND)) {
    return Old.Status;
  }

  if (Size == 0) {
    return (Old.Status == EFI_NOT_FOUND) ? EFI_SUCCESS : gRT->SetVariable (VariableName, Guid, Old.Attributes, 0, NULL);
  }

  if ((Old.Status == EFI_NOT_FOUND) || (Old.Attributes == Attributes)) {
    return gRT->SetVariable (VariableName, Guid, Attributes, Size, const_cast<VOID *>(Data));
  }

  // Firmware refuses a write under other attributes: the old variable goes first, and
  // comes back when the new one is refused, so it is never left deleted.
  EFI_STATUS  Status = gRT->SetVariable (VariableName, Guid, Old.Attributes, 0, NULL);

  if (!EFI_ERROR (Status)) {
    Status = gRT->SetVariable (VariableName, Guid, Attributes, Size, const_cast<VOID *>(Data));
    if (EFI_ERROR (Status)) {
      gRT->SetVariable (VariableName, Guid, Old.Attributes, Old.Size, Old.Data.Get ());
    }
  }

  return Status;
}

EFI_STATUS
NfcKeyboardShowStatus (
  VOID
  )
{
  return CommandStatus ();
}

EFI_STATUS
NfcKeyboardSetEnabled (
  IN UINT8  Enabled
  )
{
  return CommandSetEnabled (Enabled);
}

EFI_STATUS
NfcKeyboardSetConInEntry (
  IN BOOLEAN  Install
  )
{
  EFI_STATUS  Result;
  UINT32      Attributes;
  UINTN       NewSize;
  EFI_STATUS  Status = EditConIn (ConInSetUsbSerialEntries, Install ? NfcKeyboardConInEntries () : NULL, &Result, &Attributes, &NewSize);

  if (EFI_ERROR (Status)) {
    return Status;
  }

  if (Result != EFI_SUCCESS) {
    Print (
           Install ? CHAR16_TEXT (u"ConIn: holds the NFC keyboard on any USB port already\n")
                   : CHAR16_TEXT (u"ConIn: holds no NFC keyboard; unchanged\n")
           );
  } else {
    Print (
           Install ? CHAR16_TEXT (u"ConIn: now holds the NFC keyboard, on any USB port\n")
                   : CHAR16_TEXT (u"ConIn: the NFC keyboard taken out, the other consoles stay\n")
           );
  }

  return EFI_SUCCESS;
}

EFI_STATUS
NfcKeyboardSetupRun (
  IN UINTN                 Argc,
  IN CONST CHAR16  *CONST  *Argv
  )
{
  if ((Argc <= 1) || ((Argc == 2) && Is (Argv[1], CHAR16_TEXT (u"help")))) {
    PrintUsage ();
    return EFI_SUCCESS;
  }

  if (Argc == 2) {
    if (Is (Argv[1], CHAR16_TEXT (u"status"))) {
      return CommandStatus ();
    }

    if (Is (Argv[1], CHAR16_TEXT (u"enable"))) {
      return CommandSetEnabled (1);
    }

    if (Is (Argv[1], CHAR16_TEXT (u"disable"))) {
      return CommandSetEnabled (0);
    }

    if (Is (Argv[1], CHAR16_TEXT (u"install"))) {
      return NfcKeyboardInstall (NULL);
    }

    if (Is (Argv[1], CHAR16_TEXT (u"uninstall"))) {
      return NfcKeyboardUninstall ();
    }
  }

  if ((Argc == 4) && Is (Argv[1], CHAR16_TEXT (u"install")) && Is (Argv[2], CHAR16_TEXT (u"-d"))) {
    return NfcKeyboardInstall (Argv[3]);
  }

  if ((Argc == 3) && Is (Argv[1], CHAR16_TEXT (u"console"))) {
    if (Is (Argv[2], CHAR16_TEXT (u"add"))) {
      return CommandConsole (TRUE);
    }

    if (Is (Argv[2], CHAR16_TEXT (u"remove"))) {
      return CommandConsole (FALSE);
    }
  }

  Print (CHAR16_TEXT (u"NfcKeyboardSetup: unknown command:"));
  for (UINTN Index = 1; Index < Argc; Index++) {
    Print (CHAR16_TEXT (u" %s"), Argv[Index]);
  }

  Print (CHAR16_TEXT (u"\n"));
  PrintUsage ();
  return EFI_INVALID_PARAMETER;
}
