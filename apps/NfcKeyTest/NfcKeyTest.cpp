/** @file
  NfcKeyTest: reads keystrokes from the NFC keyboard and prints them, with the
  names the package's drivers give through both component-name protocols.

  NfcKeyTest.efi [-n KEYS] [-t SECONDS] [-d MS]
    -n  keys to read before stopping (default 8; 0 reads none)
    -t  seconds to wait for them in all (default 10)
    -d  milliseconds to pause after each key read (default 0)

  Every line it prints starts with "NFCKEYTEST: " so that a harness reading the
  console can find it among the shell's output and the drivers' log lines.
  The exit status is EFI_SUCCESS only when all KEYS keys arrived.

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

static_assert (sizeof (EFI_KEY_DATA) == 12, "the keyboard hands out 12-byte key records");

namespace {

struct NFC_KEY_TEST_OPTIONS {
  UINTN    KeyCount;
  UINTN    TimeoutSeconds;
  UINTN    DelayMs;
};

// GetDriverName takes a non-constant language pointer.
CHAR8  mLanguageEng[] = "eng";
CHAR8  mLanguageEn[]  = "en";

// Writable, as it stands in for the CHAR16 * a name protocol hands back.
CHAR16_STRING<1>  mEmpty = Char16 (u"");

// Frees a pool buffer (LocateHandleBuffer's, the text of a path) on every way out.
class PoolGuard {
public:
  explicit PoolGuard (VOID *Buffer) : mBuffer (Buffer) {}
  ~PoolGuard () { if (mBuffer != nullptr) { FreePool (mBuffer); } }
  PoolGuard (const PoolGuard &) = delete;
  PoolGuard &operator= (const PoolGuard &) = delete;
private:
  VOID *mBuffer;
};

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
class EventGuard {
public:
  explicit EventGuard (EFI_EVENT Event) : mEvent (Event) {}
  ~EventGuard () { if (mEvent != nullptr) { gBS->CloseEvent (mEvent); } }
  EventGuard (const EventGuard &) = delete;
  EventGuard &operator= (const EventGuard &) = delete;
private:
  EFI_EVENT mEvent;
};

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

  EFI_SHELL_PARAMETERS_PROTOCOL  *Parameters;
  if (EFI_ERROR (gBS->HandleProtocol (ImageHandle, &gEfiShellParametersProtocolGuid, reinterpret_cast<VOID **>(&Parameters)))) {
    return EFI_SUCCESS;
  }

  for (UINTN Index = 1; Index < Parameters->Argc; Index++) {
    UINTN  *Target = nullptr;
    if (ArgumentIs (Parameters->Argv[Index], CHAR16_TEXT (u"-n"))) {
      Target = &Options->KeyCount;
    } else if (ArgumentIs (Parameters->Argv[Index], CHAR16_TEXT (u"-t"))) {
      Target = &Options->TimeoutSeconds;
    } else if (ArgumentIs (Parameters->Argv[Index], CHAR16_TEXT (u"-d"))) {
      Target = &Options->DelayMs;
    }

    if ((Target == nullptr) || (Index + 1 >= Parameters->Argc)) {
      Say ("NFCKEYTEST: usage: NfcKeyTest [-n KEYS] [-t SECONDS] [-d MS]\r\n");
      return EFI_INVALID_PARAMETER;
    }

    Index++;
    *Target = StrDecimalToUintn (Parameters->Argv[Index]);
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

  CHAR16     *Text = ConvertDevicePathToText (Path, FALSE, FALSE);
  PoolGuard  TextGuard (Text);
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
class PortWriteTimeouts {
public:
  PortWriteTimeouts ()
  {
    UINTN       Count    = 0;
    EFI_HANDLE  *Handles = nullptr;
    if (EFI_ERROR (gBS->LocateHandleBuffer (ByProtocol, &gEfiSerialIoProtocolGuid, nullptr, &Count, &Handles))) {
      return;
    }

    for (UINTN Index = 0; Index < Count && mCount < MaxPorts; Index++) {
      EFI_SERIAL_IO_PROTOCOL  *Io;
      if (IsUsbSerialLine (Handles[Index]) ||
          EFI_ERROR (gBS->HandleProtocol (Handles[Index], &gEfiSerialIoProtocolGuid, reinterpret_cast<VOID **>(&Io))))
      {
        continue;
      }

      UINT32  Old = Io->Mode->Timeout;
      if (!EFI_ERROR (SetTimeout (Io, LongTimeoutUs))) {
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
  static constexpr UINTN   MaxPorts      = 8;
  static constexpr UINT32  LongTimeoutUs = 1000000;

  static EFI_STATUS SetTimeout (EFI_SERIAL_IO_PROTOCOL *Io, UINT32 Timeout)
  {
    return Io->SetAttributes (
                 Io,
                 Io->Mode->BaudRate,
                 Io->Mode->ReceiveFifoDepth,
                 Timeout,
                 static_cast<EFI_PARITY_TYPE>(Io->Mode->Parity),
                 static_cast<UINT8>(Io->Mode->DataBits),
                 static_cast<EFI_STOP_BITS_TYPE>(Io->Mode->StopBits)
                 );
  }

  EFI_SERIAL_IO_PROTOCOL  *mPorts[MaxPorts] = {};
  UINT32                  mTimeouts[MaxPorts] = {};
  UINTN                   mCount = 0;
};

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

  UINTN       Count   = 0;
  EFI_HANDLE  *Handles = nullptr;
  if (EFI_ERROR (gBS->LocateHandleBuffer (ByProtocol, &gEfiSerialIoProtocolGuid, nullptr, &Count, &Handles))) {
    Count = 0;
  }

  PoolGuard  HandlesGuard (Handles);
  UINTN      Lines     = 0;
  UINTN      Keyboards = 0;
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

  PoolGuard  InputsGuard (Inputs);
  Say ("NFCKEYTEST: text inputs %u\r\n", static_cast<UINT32>(TextInputs));
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
  UINTN       Count   = 0;
  EFI_HANDLE  *Handles = nullptr;
  if (EFI_ERROR (gBS->LocateHandleBuffer (ByProtocol, &gEfiDriverBindingProtocolGuid, nullptr, &Count, &Handles))) {
    Count = 0;
  }

  PoolGuard  HandlesGuard (Handles);
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

    CHAR16     *Image = ConvertDevicePathToText (Loaded->FilePath, FALSE, FALSE);
    PoolGuard  ImageGuard (Image);
    if (Image == nullptr) {
      Image = mEmpty.Text;
    }

    EFI_COMPONENT_NAME_PROTOCOL   *Name1;
    EFI_COMPONENT_NAME2_PROTOCOL  *Name2;
    CHAR16                        *Text1   = mEmpty.Text;
    CHAR16                        *Text2   = mEmpty.Text;
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
  @retval other        Creating the timer, waiting or reading failed.
**/
EFI_STATUS
ReadKeys (
  EFI_SIMPLE_TEXT_INPUT_EX_PROTOCOL  *TextInEx,
  CONST NFC_KEY_TEST_OPTIONS         &Options,
  CHAR16                             *Keys,
  UINTN                              *KeysRead
  )
{
  *KeysRead = 0;
  Keys[0]   = 0;

  EFI_EVENT   Timer;
  EFI_STATUS  Status = gBS->CreateEvent (EVT_TIMER, TPL_CALLBACK, nullptr, nullptr, &Timer);
  if (EFI_ERROR (Status)) {
    return Status;
  }

  EventGuard  TimerGuard (Timer);
  Status = gBS->SetTimer (Timer, TimerRelative, MultU64x32 (Options.TimeoutSeconds, 10000000));
  if (EFI_ERROR (Status)) {
    return Status;
  }

  EFI_EVENT  Events[2] = { TextInEx->WaitForKeyEx, Timer };
  UINTN      Refused   = 0;
  while (*KeysRead < Options.KeyCount) {
    UINTN  Which;
    Status = gBS->WaitForEvent (2, Events, &Which);
    if (EFI_ERROR (Status)) {
      break;
    }

    if (Which == 1) {
      Status = EFI_TIMEOUT;
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

  EFI_HANDLE  Line;
  EFI_HANDLE  Keyboard;
  FindLines (&Line, &Keyboard);
  PortWriteTimeouts  Timeouts;
  PrintDriverNames (Line);

  if (Options.KeyCount == 0) {
    Say ("NFCKEYTEST: done (Success)\r\n");
    return EFI_SUCCESS;
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

  PoolGuard  KeysGuard (Keys);
  UINTN      KeysRead = 0;
  Status = ReadKeys (TextInEx, Options, Keys, &KeysRead);
  Say (
    "NFCKEYTEST: keys \"%s\" count %u of %u (%r)\r\n",
    Keys,
    static_cast<UINT32>(KeysRead),
    static_cast<UINT32>(Options.KeyCount),
    Status
    );
  Say ("NFCKEYTEST: done (%r)\r\n", Status);
  return Status;
}
