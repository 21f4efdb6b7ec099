/** @file
  NfcKeyTest: reads keystrokes from the NFC keyboard and prints them, with the
  names the package's drivers give through both component-name protocols.

  NfcKeyTest.efi [-n KEYS] [-t SECONDS] [-d MS] [-w BYTES] [-b BAUD]
    -n  keys to read before stopping (default 8, or 0 with -w; 0 reads none)
    -t  seconds for the whole run, the wait for its devices included (default 10)
    -d  milliseconds to pause after each key read (default 0)
    -w  bytes to write to the first USB serial line, before any key is read
    -b  the line's rate for -w, set with 8 data bits, no parity, 1 stop bit
        (default 115200)

  The bytes of -w are lines of 64: the line's number (from 0, modulo 10000) in
  four decimal digits, 58 letters cycling from A to Z (so each line's letters
  run A..Z, A..Z, A..F) and CR LF; the last line is cut at BYTES. In Python:
    b"".join(b"%04d" % (n % 10000) + bytes(65 + i % 26 for i in range(58)) + b"\r\n"
             for n in range((BYTES + 63) // 64))[:BYTES]

  Before it looks at the lines it waits for what the run needs: the keyboard when
  KEYS is above 0 (it may start a little after the shell's `load` has returned),
  a USB serial line with -w.

  Every line it prints starts with "NFCKEYTEST: " so that a harness reading the
  console can find it among the shell's output and the drivers' log lines.
  The exit status is EFI_SUCCESS only when all KEYS keys arrived and all BYTES
  bytes went out.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/
extern "C" {
#include <Uefi.h>
#include <Library/BaseLib.h>
#include <Library/BaseMemoryLib.h>
#include <Library/PrintLib.h>
#include <Library/DevicePathLib.h>
#include <Library/MemoryAllocationLib.h>
#include <Library/UefiBootServicesTableLib.h>
#include <Library/UefiLib.h>
#include <Protocol/ComponentName.h>
#include <Protocol/ComponentName2.h>
#include <Protocol/DevicePath.h>
#include <Protocol/DriverBinding.h>
#include <Protocol/LoadedImage.h>
#include <Protocol/SerialIo.h>
#include <Protocol/ShellParameters.h>
#include <Protocol/SimpleTextIn.h>
#include <Protocol/SimpleTextInEx.h>
#include <Protocol/UsbIo.h>
}

#include <Char16.h>
#include <PoolPtr.h>
#include <SerialIoMode.h>

static_assert (sizeof (EFI_KEY_DATA) == 12, "the keyboard hands out 12-byte key records");

namespace {
// A line of the -w pattern is a full-speed FT232's bulk-OUT packet, so a packet lost
// or sent twice shows as a line number skipped or repeated.
constexpr UINTN  WRITE_LINE_LENGTH = 64;

struct NFC_KEY_TEST_OPTIONS {
  UINTN      KeyCount;
  UINTN      TimeoutSeconds;
  UINTN      DelayMs;
  BOOLEAN    Write;
  UINTN      WriteBytes;
  UINTN      Baud;
};

// GetDriverName takes a non-constant language pointer.
CHAR8  mLanguageEng[] = "eng";
CHAR8  mLanguageEn[]  = "en";

// Writable, as it stands in for the CHAR16 * a name protocol hands back.
CHAR16_STRING<1>  mEmpty = Char16 (u"");

// Prints one whole line. The drivers' debug builds write their log lines to the same
// UART from timer notifies; above those notifies' TPL, a log line can come before or
// after this line but never inside it.
VOID
EFIAPI
Say (
  IN CONST CHAR8  *Format,
  ...
  )
{
  CHAR8    Line[512];
  VA_LIST  Marker;

  VA_START (Marker, Format);
  AsciiVSPrint (Line, sizeof (Line), Format, Marker);
  VA_END (Marker);

  EFI_TPL  Old = gBS->RaiseTPL (TPL_NOTIFY);

  AsciiPrint ("%a", Line);
  gBS->RestoreTPL (Old);
}

// Closes an event on every way out.
// *INDENT-OFF*
class EventGuard {
public:
  explicit EventGuard (EFI_EVENT Event) : mEvent (Event) {}
  ~EventGuard () { if (mEvent != nullptr) { gBS->CloseEvent (mEvent); } }
  EventGuard (const EventGuard &) = delete;
  EventGuard &operator= (const EventGuard &) = delete;
private:
  EFI_EVENT mEvent;
};
// *INDENT-ON*

/**
  The one deadline of a run, shared by the wait for the devices, the write and the
  keys. WaitForEvent and CheckEvent both clear a timer's signal, so the deadline
  remembers that it passed, and every wait after it returns at once.
**/
// *INDENT-OFF*
class Deadline {
public:
  Deadline () = default;
  ~Deadline () { if (mTimer != nullptr) { gBS->CloseEvent (mTimer); } }
  Deadline (const Deadline &) = delete;
  Deadline &operator= (const Deadline &) = delete;

  EFI_STATUS
  Start (
    UINTN  Seconds
    )
  {
    EFI_STATUS  Status = gBS->CreateEvent (EVT_TIMER, TPL_CALLBACK, nullptr, nullptr, &mTimer);
    if (EFI_ERROR (Status)) {
      mTimer = nullptr;
      return Status;
    }

    return gBS->SetTimer (mTimer, TimerRelative, MultU64x32 (Seconds, 10000000));
  }

  BOOLEAN
  Passed ()
  {
    if (!mPassed && (gBS->CheckEvent (mTimer) == EFI_SUCCESS)) {
      mPassed = TRUE;
    }

    return mPassed;
  }

  /**
    Waits for Event or the deadline, whichever comes first.

    @retval EFI_SUCCESS  Event was signalled.
    @retval EFI_TIMEOUT  The deadline has passed.
    @retval other        WaitForEvent failed.
  **/
  EFI_STATUS
  WaitFor (
    EFI_EVENT  Event
    )
  {
    if (mPassed) {
      return EFI_TIMEOUT;
    }

    // Event comes first: when both are signalled it wins, and the timer keeps its signal.
    EFI_EVENT   Events[2] = { Event, mTimer };
    UINTN       Which;
    EFI_STATUS  Status = gBS->WaitForEvent (2, Events, &Which);
    if (EFI_ERROR (Status)) {
      return Status;
    }

    if (Which == 1) {
      mPassed = TRUE;
      return EFI_TIMEOUT;
    }

    return EFI_SUCCESS;
  }

private:
  EFI_EVENT  mTimer  = nullptr;
  BOOLEAN    mPassed = FALSE;
};
// *INDENT-ON*

// Compares a shell argument with an option name.
BOOLEAN
ArgumentIs (
  CONST CHAR16  *Argument,
  CONST CHAR16  *Name
  )
{
  return (BOOLEAN)(StrCmp (Argument, Name) == 0);
}

/**
  Reads the options from the shell's command line; without a shell the defaults stand.

  @retval EFI_SUCCESS            The options are in Options.
  @retval EFI_INVALID_PARAMETER  An unknown option or one without its number.
**/
EFI_STATUS
ParseOptions (
  EFI_HANDLE            ImageHandle,
  NFC_KEY_TEST_OPTIONS  *Options
  )
{
  Options->KeyCount       = 8;
  Options->TimeoutSeconds = 10;
  Options->DelayMs        = 0;
  Options->Write          = FALSE;
  Options->WriteBytes     = 0;
  Options->Baud           = 115200;

  EFI_SHELL_PARAMETERS_PROTOCOL  *Parameters;

  if (EFI_ERROR (gBS->HandleProtocol (ImageHandle, &gEfiShellParametersProtocolGuid, reinterpret_cast<VOID **>(&Parameters)))) {
    return EFI_SUCCESS;
  }

  BOOLEAN  KeysGiven = FALSE;

  for (UINTN Index = 1; Index < Parameters->Argc; Index++) {
    UINTN  *Target = nullptr;
    if (ArgumentIs (Parameters->Argv[Index], CHAR16_TEXT (u"-n"))) {
      Target    = &Options->KeyCount;
      KeysGiven = TRUE;
    } else if (ArgumentIs (Parameters->Argv[Index], CHAR16_TEXT (u"-t"))) {
      Target = &Options->TimeoutSeconds;
    } else if (ArgumentIs (Parameters->Argv[Index], CHAR16_TEXT (u"-d"))) {
      Target = &Options->DelayMs;
    } else if (ArgumentIs (Parameters->Argv[Index], CHAR16_TEXT (u"-w"))) {
      Target         = &Options->WriteBytes;
      Options->Write = TRUE;
    } else if (ArgumentIs (Parameters->Argv[Index], CHAR16_TEXT (u"-b"))) {
      Target = &Options->Baud;
    }

    if ((Target == nullptr) || (Index + 1 >= Parameters->Argc)) {
      Say ("NFCKEYTEST: usage: NfcKeyTest [-n KEYS] [-t SECONDS] [-d MS] [-w BYTES] [-b BAUD]\r\n");
      return EFI_INVALID_PARAMETER;
    }

    Index++;
    *Target = StrDecimalToUintn (Parameters->Argv[Index]);
  }

  // A write run would otherwise wait out its deadline for keys nobody types.
  if (Options->Write && !KeysGiven) {
    Options->KeyCount = 0;
  }

  return EFI_SUCCESS;
}

// The line handles of interest are Serial I/O handles behind a USB device.
BOOLEAN
IsUsbSerialLine (
  EFI_HANDLE  Handle
  )
{
  EFI_DEVICE_PATH_PROTOCOL  *Path;

  if (EFI_ERROR (gBS->HandleProtocol (Handle, &gEfiDevicePathProtocolGuid, reinterpret_cast<VOID **>(&Path)))) {
    return FALSE;
  }

  for ( ; !IsDevicePathEnd (Path); Path = NextDevicePathNode (Path)) {
    if ((DevicePathType (Path) == MESSAGING_DEVICE_PATH) && (DevicePathSubType (Path) == MSG_USB_DP)) {
      return TRUE;
    }
  }

  return FALSE;
}

// A platform port's path and line settings, to show what a driver left behind on it.
VOID
PrintPort (
  EFI_HANDLE  Handle
  )
{
  EFI_SERIAL_IO_PROTOCOL    *SerialIo;
  EFI_DEVICE_PATH_PROTOCOL  *Path;

  if (EFI_ERROR (gBS->HandleProtocol (Handle, &gEfiSerialIoProtocolGuid, reinterpret_cast<VOID **>(&SerialIo))) ||
      EFI_ERROR (gBS->HandleProtocol (Handle, &gEfiDevicePathProtocolGuid, reinterpret_cast<VOID **>(&Path))))
  {
    return;
  }

  CHAR16         *Text = ConvertDevicePathToText (Path, FALSE, FALSE);
  PoolPtr<VOID>  TextGuard (Text);

  Say (
       "NFCKEYTEST: port %s baud %lu data %u parity %u stop %u fifo %u timeout %u\r\n",
       Text != nullptr ? Text : mEmpty.Text,
       SerialIo->Mode->BaudRate,
       SerialIo->Mode->DataBits,
       SerialIo->Mode->Parity,
       SerialIo->Mode->StopBits,
       SerialIo->Mode->ReceiveFifoDepth,
       SerialIo->Mode->Timeout
       );
}

/**
  Gives the platform ports a write timeout of a second while the app runs, and puts the
  old one back on every way out. A loaded host can keep the emulated UART's FIFO full for
  longer than the serial driver's own write timeout (about 1.5 ms at 115200 baud), and
  the terminal then drops the rest of a line; the app's lines must arrive whole.
**/
// *INDENT-OFF*
class PortWriteTimeouts {
public:
  PortWriteTimeouts ()
  {
    UINTN       Count    = 0;
    EFI_HANDLE  *Handles = nullptr;
    if (EFI_ERROR (gBS->LocateHandleBuffer (ByProtocol, &gEfiSerialIoProtocolGuid, nullptr, &Count, &Handles))) {
      return;
    }

    for (UINTN Index = 0; Index < Count && mCount < MAX_PORTS; Index++) {
      EFI_SERIAL_IO_PROTOCOL  *Io;
      if (IsUsbSerialLine (Handles[Index]) ||
          EFI_ERROR (gBS->HandleProtocol (Handles[Index], &gEfiSerialIoProtocolGuid, reinterpret_cast<VOID **>(&Io))))
      {
        continue;
      }

      UINT32  Old = Io->Mode->Timeout;
      if (!EFI_ERROR (SetTimeout (Io, LONG_TIMEOUT_US))) {
        mPorts[mCount]    = Io;
        mTimeouts[mCount] = Old;
        mCount++;
      }
    }

    FreePool (Handles);
  }

  ~PortWriteTimeouts ()
  {
    for (UINTN Index = 0; Index < mCount; Index++) {
      (VOID)SetTimeout (mPorts[Index], mTimeouts[Index]);
    }
  }

  PortWriteTimeouts (const PortWriteTimeouts &) = delete;
  PortWriteTimeouts &operator= (const PortWriteTimeouts &) = delete;

private:
  static constexpr UINTN   MAX_PORTS      = 8;
  static constexpr UINT32  LONG_TIMEOUT_US = 1000000;

  static EFI_STATUS SetTimeout (EFI_SERIAL_IO_PROTOCOL *Io, UINT32 Timeout)
  {
    EFI_SERIAL_IO_MODE  Mode = *Io->Mode;

    Mode.Timeout = Timeout;
    return SerialIoModeApply (Io, &Mode);
  }

  EFI_SERIAL_IO_PROTOCOL  *mPorts[MAX_PORTS] = {};
  UINT32                  mTimeouts[MAX_PORTS] = {};
  UINTN                   mCount = 0;
};
// *INDENT-ON*

BOOLEAN
HasProtocol (
  EFI_HANDLE  Handle,
  EFI_GUID    *Protocol
  )
{
  VOID  *Interface;

  return (BOOLEAN)(!EFI_ERROR (gBS->HandleProtocol (Handle, Protocol, &Interface)));
}

/**
  Finds the USB serial lines and, among them, the one that carries the keyboard.

  @param[out] Line      The first USB serial line, or NULL.
  @param[out] Keyboard  The first USB serial line with the text-input protocols, or NULL.
**/
VOID
FindLines (
  EFI_HANDLE  *Line,
  EFI_HANDLE  *Keyboard
  )
{
  *Line     = nullptr;
  *Keyboard = nullptr;

  UINTN       Count    = 0;
  EFI_HANDLE  *Handles = nullptr;

  if (EFI_ERROR (gBS->LocateHandleBuffer (ByProtocol, &gEfiSerialIoProtocolGuid, nullptr, &Count, &Handles))) {
    Count = 0;
  }

  PoolPtr<VOID>  HandlesGuard (Handles);
  UINTN          Lines     = 0;
  UINTN          Keyboards = 0;

  for (UINTN Index = 0; Index < Count; Index++) {
    if (!IsUsbSerialLine (Handles[Index])) {
      PrintPort (Handles[Index]);
      continue;
    }

    Lines++;
    if (*Line == nullptr) {
      *Line = Handles[Index];
    }

    BOOLEAN  TextIn   = HasProtocol (Handles[Index], &gEfiSimpleTextInProtocolGuid);
    BOOLEAN  TextInEx = HasProtocol (Handles[Index], &gEfiSimpleTextInputExProtocolGuid);
    Say (
         "NFCKEYTEST: line %u textin %a textinex %a\r\n",
         static_cast<UINT32>(Lines - 1),
         TextIn ? "yes" : "no",
         TextInEx ? "yes" : "no"
         );
    if (TextInEx) {
      Keyboards++;
      if (*Keyboard == nullptr) {
        *Keyboard = Handles[Index];
      }
    }
  }

  Say ("NFCKEYTEST: serial lines %u keyboards %u\r\n", static_cast<UINT32>(Lines), static_cast<UINT32>(Keyboards));

  // All text inputs, the firmware's included: one left behind without its line shows here.
  UINTN       TextInputs = 0;
  EFI_HANDLE  *Inputs    = nullptr;

  if (EFI_ERROR (gBS->LocateHandleBuffer (ByProtocol, &gEfiSimpleTextInputExProtocolGuid, nullptr, &TextInputs, &Inputs))) {
    TextInputs = 0;
  }

  PoolPtr<VOID>  InputsGuard (Inputs);

  Say ("NFCKEYTEST: text inputs %u\r\n", static_cast<UINT32>(TextInputs));
}

// Whether a USB serial line is there yet (NeedLine), and one that carries the keyboard (NeedKeyboard).
BOOLEAN
DevicesPresent (
  BOOLEAN  NeedLine,
  BOOLEAN  NeedKeyboard
  )
{
  UINTN       Count    = 0;
  EFI_HANDLE  *Handles = nullptr;

  if (EFI_ERROR (gBS->LocateHandleBuffer (ByProtocol, &gEfiSerialIoProtocolGuid, nullptr, &Count, &Handles))) {
    Count = 0;
  }

  PoolPtr<VOID>  HandlesGuard (Handles);
  BOOLEAN        Line     = FALSE;
  BOOLEAN        Keyboard = FALSE;

  for (UINTN Index = 0; Index < Count; Index++) {
    if (!IsUsbSerialLine (Handles[Index])) {
      continue;
    }

    Line = TRUE;
    if (HasProtocol (Handles[Index], &gEfiSimpleTextInputExProtocolGuid)) {
      Keyboard = TRUE;
    }
  }

  return (BOOLEAN)((Line || !NeedLine) && (Keyboard || !NeedKeyboard));
}

/**
  Waits, up to the deadline, for the devices the run needs. The keyboard starts on
  its line when the firmware offers it the line, which may be 100 ms after the
  shell's `load` has returned; it then installs its protocols from a timer notify.

  @retval EFI_SUCCESS  The devices are there.
  @retval EFI_TIMEOUT  The deadline passed first.
  @retval other        Setting up the wait failed.
**/
EFI_STATUS
WaitForDevices (
  Deadline  &Time,
  BOOLEAN   NeedLine,
  BOOLEAN   NeedKeyboard
  )
{
  // Registered before the first look, so an install between the look and the wait
  // still ends the wait.
  EFI_EVENT   Installed;
  EFI_STATUS  Status = gBS->CreateEvent (0, 0, nullptr, nullptr, &Installed);

  if (EFI_ERROR (Status)) {
    return Status;
  }

  EventGuard  InstalledGuard (Installed);
  VOID        *SerialIoRegistration;
  VOID        *TextInExRegistration;

  Status = gBS->RegisterProtocolNotify (&gEfiSerialIoProtocolGuid, Installed, &SerialIoRegistration);
  if (!EFI_ERROR (Status)) {
    Status = gBS->RegisterProtocolNotify (&gEfiSimpleTextInputExProtocolGuid, Installed, &TextInExRegistration);
  }

  if (EFI_ERROR (Status)) {
    return Status;
  }

  while (!DevicesPresent (NeedLine, NeedKeyboard)) {
    Status = Time.WaitFor (Installed);
    if (EFI_ERROR (Status)) {
      return Status;
    }
  }

  return EFI_SUCCESS;
}

/**
  Asks one driver for its controller name of Line, first as the child of its USB
  device, then as a controller of its own, through both component-name protocols.
**/
VOID
PrintControllerName (
  EFI_HANDLE    DriverBindingHandle,
  CONST CHAR16  *Image,
  EFI_HANDLE    Line
  )
{
  EFI_HANDLE                Parent = nullptr;
  EFI_DEVICE_PATH_PROTOCOL  *Path;

  if (!EFI_ERROR (gBS->HandleProtocol (Line, &gEfiDevicePathProtocolGuid, reinterpret_cast<VOID **>(&Path)))) {
    if (EFI_ERROR (gBS->LocateDevicePath (&gEfiUsbIoProtocolGuid, &Path, &Parent))) {
      Parent = nullptr;
    }
  }

  EFI_COMPONENT_NAME_PROTOCOL   *Name1 = nullptr;
  EFI_COMPONENT_NAME2_PROTOCOL  *Name2 = nullptr;

  gBS->HandleProtocol (DriverBindingHandle, &gEfiComponentNameProtocolGuid, reinterpret_cast<VOID **>(&Name1));
  gBS->HandleProtocol (DriverBindingHandle, &gEfiComponentName2ProtocolGuid, reinterpret_cast<VOID **>(&Name2));

  const EFI_HANDLE  Controllers[2] = { Parent, Line };
  const EFI_HANDLE  Children[2]    = { Line, nullptr };
  EFI_STATUS        Status1        = EFI_UNSUPPORTED;
  EFI_STATUS        Status2        = EFI_UNSUPPORTED;
  CHAR16            *Text1         = mEmpty.Text;
  CHAR16            *Text2         = mEmpty.Text;

  for (UINTN Index = 0; Index < 2; Index++) {
    if (Controllers[Index] == nullptr) {
      continue;
    }

    if ((Name1 != nullptr) && EFI_ERROR (Status1)) {
      Status1 = Name1->GetControllerName (Name1, Controllers[Index], Children[Index], mLanguageEng, &Text1);
    }

    if ((Name2 != nullptr) && EFI_ERROR (Status2)) {
      Status2 = Name2->GetControllerName (Name2, Controllers[Index], Children[Index], mLanguageEn, &Text2);
    }
  }

  Say (
       "NFCKEYTEST: controller %s eng \"%s\" %r en \"%s\" %r\r\n",
       Image,
       EFI_ERROR (Status1) ? mEmpty.Text : Text1,
       Status1,
       EFI_ERROR (Status2) ? mEmpty.Text : Text2,
       Status2
       );
}

/**
  Prints the driver names of every driver loaded from a file (the shell's `load`),
  which leaves out the firmware's own drivers from its firmware volumes.
**/
VOID
PrintDriverNames (
  EFI_HANDLE  Line
  )
{
  UINTN       Count    = 0;
  EFI_HANDLE  *Handles = nullptr;

  if (EFI_ERROR (gBS->LocateHandleBuffer (ByProtocol, &gEfiDriverBindingProtocolGuid, nullptr, &Count, &Handles))) {
    Count = 0;
  }

  PoolPtr<VOID>  HandlesGuard (Handles);

  for (UINTN Index = 0; Index < Count; Index++) {
    EFI_DRIVER_BINDING_PROTOCOL  *Binding;
    EFI_LOADED_IMAGE_PROTOCOL    *Loaded;
    if (EFI_ERROR (gBS->HandleProtocol (Handles[Index], &gEfiDriverBindingProtocolGuid, reinterpret_cast<VOID **>(&Binding))) ||
        EFI_ERROR (gBS->HandleProtocol (Binding->ImageHandle, &gEfiLoadedImageProtocolGuid, reinterpret_cast<VOID **>(&Loaded))) ||
        (Loaded->FilePath == nullptr) ||
        (DevicePathType (Loaded->FilePath) != MEDIA_DEVICE_PATH) ||
        (DevicePathSubType (Loaded->FilePath) != MEDIA_FILEPATH_DP))
    {
      continue;
    }

    CHAR16         *Image = ConvertDevicePathToText (Loaded->FilePath, FALSE, FALSE);
    PoolPtr<VOID>  ImageGuard (Image);
    if (Image == nullptr) {
      Image = mEmpty.Text;
    }

    EFI_COMPONENT_NAME_PROTOCOL   *Name1;
    EFI_COMPONENT_NAME2_PROTOCOL  *Name2;
    CHAR16                        *Text1  = mEmpty.Text;
    CHAR16                        *Text2  = mEmpty.Text;
    EFI_STATUS                    Status1 = gBS->HandleProtocol (Handles[Index], &gEfiComponentNameProtocolGuid, reinterpret_cast<VOID **>(&Name1));
    EFI_STATUS                    Status2 = gBS->HandleProtocol (Handles[Index], &gEfiComponentName2ProtocolGuid, reinterpret_cast<VOID **>(&Name2));
    if (!EFI_ERROR (Status1)) {
      Status1 = Name1->GetDriverName (Name1, mLanguageEng, &Text1);
    }

    if (!EFI_ERROR (Status2)) {
      Status2 = Name2->GetDriverName (Name2, mLanguageEn, &Text2);
    }

    Say (
         "NFCKEYTEST: driver %s version %x eng \"%s\" %r en \"%s\" %r\r\n",
         Image,
         Binding->Version,
         EFI_ERROR (Status1) ? mEmpty.Text : Text1,
         Status1,
         EFI_ERROR (Status2) ? mEmpty.Text : Text2,
         Status2
         );
    if (Line != nullptr) {
      PrintControllerName (Handles[Index], Image, Line);
    }
  }
}

/**
  Reads keys until Options->KeyCount have arrived or the time is up. The keyboard
  hands a queued key out only on every second read that finds one, so a refused
  read after a wake-up is expected and simply tried again.

  @retval EFI_SUCCESS  All keys arrived; Keys holds them, NUL-terminated.
  @retval EFI_TIMEOUT  The time ran out first; Keys holds those that came.
  @retval other        Waiting or reading failed.
**/
EFI_STATUS
ReadKeys (
  EFI_SIMPLE_TEXT_INPUT_EX_PROTOCOL  *TextInEx,
  CONST NFC_KEY_TEST_OPTIONS         &Options,
  Deadline                           &Time,
  CHAR16                             *Keys,
  UINTN                              *KeysRead
  )
{
  *KeysRead = 0;
  Keys[0]   = 0;

  EFI_STATUS  Status  = EFI_SUCCESS;
  UINTN       Refused = 0;

  while (*KeysRead < Options.KeyCount) {
    Status = Time.WaitFor (TextInEx->WaitForKeyEx);
    if (EFI_ERROR (Status)) {
      break;
    }

    EFI_KEY_DATA  Key;
    ZeroMem (&Key, sizeof (Key));
    Status = TextInEx->ReadKeyStrokeEx (TextInEx, &Key);
    if (Status == EFI_NOT_READY) {
      Refused++;
      continue;
    }

    if (EFI_ERROR (Status)) {
      break;
    }

    Keys[*KeysRead] = Key.Key.UnicodeChar;
    (*KeysRead)++;
    Keys[*KeysRead] = 0;
    Say (
         "NFCKEYTEST: key %u '%c' scan %04x shift %08x toggle %02x\r\n",
         static_cast<UINT32>(*KeysRead),
         Key.Key.UnicodeChar,
         Key.Key.ScanCode,
         Key.KeyState.KeyShiftState,
         Key.KeyState.KeyToggleState
         );
    if (Options.DelayMs != 0) {
      gBS->Stall (Options.DelayMs * 1000);
    }
  }

  Say ("NFCKEYTEST: refused reads %u\r\n", static_cast<UINT32>(Refused));
  return Status;
}

// Fills Buffer with the lines of -w (see the file header), cut at Size.
VOID
FillPattern (
  UINT8  *Buffer,
  UINTN  Size
  )
{
  for (UINTN Offset = 0; Offset < Size; Offset++) {
    UINTN  Column = Offset % WRITE_LINE_LENGTH;
    UINTN  Number = (Offset / WRITE_LINE_LENGTH) % 10000;
    UINT8  Byte;
    if (Column < 4) {
      constexpr UINTN  Powers[4] = { 1000, 100, 10, 1 };
      Byte = static_cast<UINT8>('0' + (Number / Powers[Column]) % 10);
    } else if (Column == WRITE_LINE_LENGTH - 2) {
      Byte = '\r';
    } else if (Column == WRITE_LINE_LENGTH - 1) {
      Byte = '\n';
    } else {
      Byte = static_cast<UINT8>('A' + (Column - 4) % 26);
    }

    Buffer[Offset] = Byte;
  }
}

/**
  Writes all of Buffer to Io, in as few calls as the driver accepts: each call offers
  the whole rest, and a call that took part of it (a Write that timed out halfway
  says so with EFI_TIMEOUT) is followed by another.

  @param[out] Written  The bytes the driver took.
  @param[out] Calls    The Write calls made.

  @retval EFI_SUCCESS  Every byte went out.
  @retval EFI_TIMEOUT  The deadline passed first.
  @retval other        Two calls in a row failed without moving a byte; the last one's status.
**/
EFI_STATUS
WriteAll (
  EFI_SERIAL_IO_PROTOCOL  *Io,
  CONST UINT8             *Buffer,
  UINTN                   Size,
  Deadline                &Time,
  UINTN                   *Written,
  UINTN                   *Calls
  )
{
  *Written = 0;
  *Calls   = 0;

  UINTN  Idle = 0;

  while (*Written < Size) {
    if (Time.Passed ()) {
      return EFI_TIMEOUT;
    }

    UINTN       Rest   = Size - *Written;
    UINTN       Moved  = Rest;
    EFI_STATUS  Status = Io->Write (Io, &Moved, const_cast<UINT8 *>(Buffer + *Written));
    (*Calls)++;
    Moved     = MIN (Moved, Rest);
    *Written += Moved;
    if (Moved != 0) {
      Idle = 0;
      continue;
    }

    // Success with nothing taken is no progress either; the bytes are still here.
    if (!EFI_ERROR (Status)) {
      Status = EFI_DEVICE_ERROR;
    }

    if (++Idle == 2) {
      return Status;
    }
  }

  return EFI_SUCCESS;
}

/**
  Sets the line to Options.Baud 8N1, keeping its receive FIFO depth and timeout, and
  writes the pattern of -w to it; prints what went out.
**/
EFI_STATUS
WriteLine (
  EFI_HANDLE                  Line,
  CONST NFC_KEY_TEST_OPTIONS  &Options,
  Deadline                    &Time
  )
{
  UINTN                   Written = 0;
  UINTN                   Calls   = 0;
  EFI_SERIAL_IO_PROTOCOL  *Io     = nullptr;
  UINT8                   *Buffer = nullptr;
  EFI_STATUS              Status  = EFI_NOT_FOUND;

  if (Line != nullptr) {
    Status = gBS->HandleProtocol (Line, &gEfiSerialIoProtocolGuid, reinterpret_cast<VOID **>(&Io));
  }

  if (!EFI_ERROR (Status)) {
    Status = Io->SetAttributes (
                                Io,
                                Options.Baud,
                                Io->Mode->ReceiveFifoDepth,
                                Io->Mode->Timeout,
                                NoParity,
                                8,
                                OneStopBit
                                );
  }

  if (!EFI_ERROR (Status)) {
    // At least one byte, so a zero-byte run still has a buffer to hand to Write.
    Buffer = static_cast<UINT8 *>(AllocatePool (MAX (Options.WriteBytes, 1)));
    Status = (Buffer == nullptr) ? EFI_OUT_OF_RESOURCES : EFI_SUCCESS;
  }

  PoolPtr<VOID>  BufferGuard (Buffer);

  if (!EFI_ERROR (Status)) {
    FillPattern (Buffer, Options.WriteBytes);
    Status = WriteAll (Io, Buffer, Options.WriteBytes, Time, &Written, &Calls);
  }

  Say ("NFCKEYTEST: write calls %u\r\n", static_cast<UINT32>(Calls));
  Say (
       "NFCKEYTEST: wrote %lu of %lu at %lu (%r)\r\n",
       static_cast<UINT64>(Written),
       static_cast<UINT64>(Options.WriteBytes),
       static_cast<UINT64>(Options.Baud),
       Status
       );
  return Status;
}
} // namespace

extern "C" EFI_STATUS EFIAPI
NfcKeyTestMain (
  IN EFI_HANDLE        ImageHandle,
  IN EFI_SYSTEM_TABLE  *SystemTable
  )
{
  NFC_KEY_TEST_OPTIONS  Options;
  EFI_STATUS            Status = ParseOptions (ImageHandle, &Options);

  if (EFI_ERROR (Status)) {
    return Status;
  }

  // Only a run that waits for something needs the clock; -n 0 alone looks once, at once.
  Deadline  Time;

  if ((Options.KeyCount != 0) || Options.Write) {
    Status = Time.Start (Options.TimeoutSeconds);
    if (EFI_ERROR (Status)) {
      return Status;
    }

    // A device still missing at the deadline is reported below as the lines find it.
    (VOID)WaitForDevices (Time, Options.Write, Options.KeyCount != 0);
  }

  EFI_HANDLE  Line;
  EFI_HANDLE  Keyboard;

  FindLines (&Line, &Keyboard);
  PortWriteTimeouts  Timeouts;

  PrintDriverNames (Line);

  EFI_STATUS  WriteStatus = EFI_SUCCESS;

  if (Options.Write) {
    WriteStatus = WriteLine (Line, Options, Time);
  }

  if (Options.KeyCount == 0) {
    Say ("NFCKEYTEST: done (%r)\r\n", WriteStatus);
    return WriteStatus;
  }

  if (Keyboard == nullptr) {
    Say ("NFCKEYTEST: keys \"\" count 0 of %u (Not Found)\r\n", static_cast<UINT32>(Options.KeyCount));
    Say ("NFCKEYTEST: done (Not Found)\r\n");
    return EFI_NOT_FOUND;
  }

  EFI_SIMPLE_TEXT_INPUT_EX_PROTOCOL  *TextInEx;

  Status = gBS->HandleProtocol (Keyboard, &gEfiSimpleTextInputExProtocolGuid, reinterpret_cast<VOID **>(&TextInEx));
  if (EFI_ERROR (Status)) {
    return Status;
  }

  CHAR16  *Keys = static_cast<CHAR16 *>(AllocateZeroPool ((Options.KeyCount + 1) * sizeof (CHAR16)));

  if (Keys == nullptr) {
    return EFI_OUT_OF_RESOURCES;
  }

  PoolPtr<VOID>  KeysGuard (Keys);
  UINTN          KeysRead = 0;

  Status = ReadKeys (TextInEx, Options, Time, Keys, &KeysRead);
  Say (
       "NFCKEYTEST: keys \"%s\" count %u of %u (%r)\r\n",
       Keys,
       static_cast<UINT32>(KeysRead),
       static_cast<UINT32>(Options.KeyCount),
       Status
       );
  if (EFI_ERROR (WriteStatus)) {
    Status = WriteStatus;
  }

  Say ("NFCKEYTEST: done (%r)\r\n", Status);
  return Status;
}
