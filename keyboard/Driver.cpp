/** @file
  The keyboard's driver binding, the ZorvikConf variable and the image entry.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/
#include "NfcKeyboard.h"

#include <Char16.h>
#include <OpenInfo.h>

extern "C" {
#include <Library/BaseMemoryLib.h>
#include <Library/DevicePathLib.h>
#include <Library/MemoryAllocationLib.h>
#include <Library/UefiRuntimeServicesTableLib.h>
}

namespace {
constexpr auto  mConfigVariableName = Char16 (ZORVIK_CONF_VARIABLE_NAME);
constexpr auto  mControllerName     = Char16 (u"Generic Nfc Keyboard");

EFI_STATUS
OpenSerialIoByDriver (
  EFI_DRIVER_BINDING_PROTOCOL  *This,
  EFI_HANDLE                   ControllerHandle,
  EFI_SERIAL_IO_PROTOCOL       **SerialIo
  )
{
  return gBS->OpenProtocol (
                            ControllerHandle,
                            &gEfiSerialIoProtocolGuid,
                            reinterpret_cast<VOID **>(SerialIo),
                            This->DriverBindingHandle,
                            ControllerHandle,
                            EFI_OPEN_PROTOCOL_BY_DRIVER
                            );
}

VOID
CloseSerialIo (
  EFI_DRIVER_BINDING_PROTOCOL  *This,
  EFI_HANDLE                   ControllerHandle
  )
{
  (VOID)gBS->CloseProtocol (ControllerHandle, &gEfiSerialIoProtocolGuid, This->DriverBindingHandle, ControllerHandle);
}

VOID
CloseEventIfOpen (
  EFI_EVENT  *Event
  )
{
  if (*Event != NULL) {
    (VOID)gBS->CloseEvent (*Event);
    *Event = NULL;
  }
}

// Closes what CreateDeviceEvents made, in order; events never created are skipped.
VOID
CloseDeviceEvents (
  NFC_KEYBOARD_DEV  *Dev
  )
{
  CloseEventIfOpen (&Dev->PollTimer);
  TickWitnessClose (&Dev->PollClock);
  CloseEventIfOpen (&Dev->SimpleTextIn.WaitForKey);
  CloseEventIfOpen (&Dev->SimpleTextInEx.WaitForKeyEx);
  CloseEventIfOpen (&Dev->NotifyDispatchEvent);
}

EFI_STATUS
CreateDeviceEvents (
  NFC_KEYBOARD_DEV  *Dev
  )
{
  EFI_STATUS  Status;

  Status = TickWitnessOpen (&Dev->PollClock, TPL_NOTIFY, NfcKeyboardPollCard, Dev);
  if (EFI_ERROR (Status)) {
    return Status;
  }

  Status = gBS->CreateEvent (EVT_TIMER | EVT_NOTIFY_SIGNAL, TPL_NOTIFY, PollCardTimerHandler, Dev, &Dev->PollTimer);
  if (EFI_ERROR (Status)) {
    return Status;
  }

  Status = gBS->SetTimer (Dev->PollTimer, TimerPeriodic, NFC_POLL_PERIOD_100NS);
  if (EFI_ERROR (Status)) {
    return Status;
  }

  Status = gBS->CreateEvent (EVT_NOTIFY_WAIT, TPL_NOTIFY, NfcKeyboardWaitForKeyNotify, Dev, &Dev->SimpleTextInEx.WaitForKeyEx);
  if (EFI_ERROR (Status)) {
    return Status;
  }

  Status = gBS->CreateEvent (EVT_NOTIFY_WAIT, TPL_NOTIFY, NfcKeyboardWaitForKeyNotify, Dev, &Dev->SimpleTextIn.WaitForKey);
  if (EFI_ERROR (Status)) {
    return Status;
  }

  return gBS->CreateEvent (EVT_NOTIFY_SIGNAL, TPL_CALLBACK, KeyNotifyDispatch, Dev, &Dev->NotifyDispatchEvent);
}

VOID
FreeNotifyList (
  NFC_KEYBOARD_DEV  *Dev
  )
{
  while (!IsListEmpty (&Dev->NotifyList)) {
    KEY_NOTIFY_ENTRY  *Entry = KeyNotifyFromLink (GetFirstNode (&Dev->NotifyList));

    RemoveEntryList (&Entry->Link);
    FreePool (Entry);
  }
}

// Every Start failure after the record exists comes through here, and so does Stop;
// whatever part of the record was never made is skipped. The line stays the caller's.
VOID
FreeNfcKeyboardDevice (
  NFC_KEYBOARD_DEV  *Dev
  )
{
  // The poll timer goes before the line, so no tick talks to a line already let go.
  CloseDeviceEvents (Dev);

  if (Dev->ControllerNameTable != NULL) {
    FreeUnicodeStringTable (Dev->ControllerNameTable);
    Dev->ControllerNameTable = NULL;
  }

  KeyRingFree (&Dev->KeyQueue);
  KeyRingFree (&Dev->NotifyQueue);
  // Stopped from inside a key-notify function: the dispatch still walks the records, and
  // frees them and the device record when it ends.
  if (Dev->NotifyDispatching) {
    Dev->Stopped = TRUE;
    return;
  }

  FreeNotifyList (Dev);
  FreePool (Dev);
}

/**
  Allocates the keyboard's record and sets it up: the line at 115200 8N1, the PN532
  link woken, both protocols' function tables, the notification list, the rings'
  storage (the first reset) and the events.

  @retval EFI_SUCCESS           *Created is the record.
  @retval EFI_OUT_OF_RESOURCES  No pool for the record or the rings.
  @retval other                 The line could not be set, or an event not made.
  On an error everything made is released and *Created is NULL; the line stays open.
**/
EFI_STATUS
CreateNfcKeyboardDevice (
  EFI_SERIAL_IO_PROTOCOL  *SerialIo,
  NFC_KEYBOARD_DEV        **Created
  )
{
  NFC_KEYBOARD_DEV  *Dev;
  EFI_STATUS        Status;

  *Created = NULL;
  Dev      = static_cast<NFC_KEYBOARD_DEV *>(AllocateZeroPool (sizeof (NFC_KEYBOARD_DEV)));
  if (Dev == NULL) {
    return EFI_OUT_OF_RESOURCES;
  }

  InitializeListHead (&Dev->NotifyList);
  Status = NfcKeyboardSetLine (SerialIo);
  if (EFI_ERROR (Status)) {
    DEBUG_LOG (DEBUG_ERROR, "Serial Port init failed!\n");
    goto ErrorExit;
  }

  Pn532AttachLink (SerialIo);
  InitLinkOps (&Dev->LinkOps);

  Dev->Signature                          = NFC_KEYBOARD_DEV_SIGNATURE;
  Dev->SimpleTextIn.Reset                 = NfcKeyboardReset;
  Dev->SimpleTextIn.ReadKeyStroke         = NfcKeyboardReadKeyStroke;
  Dev->SimpleTextInEx.Reset               = NfcKeyboardResetEx;
  Dev->SimpleTextInEx.ReadKeyStrokeEx     = NfcKeyboardReadKeyStrokeEx;
  Dev->SimpleTextInEx.SetState            = NfcKeyboardSetState;
  Dev->SimpleTextInEx.RegisterKeyNotify   = NfcKeyboardRegisterKeyNotify;
  Dev->SimpleTextInEx.UnregisterKeyNotify = NfcKeyboardUnregisterKeyNotify;

  // Rings without storage drop every key: such a keyboard could never type.
  if (EFI_ERROR (NfcKeyboardReset (&Dev->SimpleTextIn, TRUE))) {
    Status = EFI_OUT_OF_RESOURCES;
    goto ErrorExit;
  }

  Status = CreateDeviceEvents (Dev);
  if (EFI_ERROR (Status)) {
    goto ErrorExit;
  }

  *Created = Dev;
  return EFI_SUCCESS;

ErrorExit:
  DEBUG_LOG (DEBUG_ERROR, "Error #0! This driver cannot be started.\n");
  FreeNfcKeyboardDevice (Dev);
  return Status;
}

// A reader's bridge child, as the serial drivers make it: the UART node right below a
// USB device that says it is one of the bridges they bind. Another adapter may be a
// modem or a console cable whose driver must not be stopped for a probe.
BOOLEAN
IsAdapterLine (
  EFI_HANDLE  Handle
  )
{
  EFI_DEVICE_PATH_PROTOCOL        *Path;
  CONST EFI_DEVICE_PATH_PROTOCOL  *BelowUsb;
  EFI_USB_IO_PROTOCOL             *UsbIo;
  EFI_USB_DEVICE_DESCRIPTOR       Device;
  EFI_USB_INTERFACE_DESCRIPTOR    Interface;

  if (EFI_ERROR (gBS->HandleProtocol (Handle, &gEfiDevicePathProtocolGuid, reinterpret_cast<VOID **>(&Path))) ||
      (Path == NULL) || !IsDevicePathValid (Path, 0))
  {
    return FALSE;
  }

  UsbIo = NfcKeyboardLineUsbIo (Path, &BelowUsb);
  if ((UsbIo == NULL) || (DevicePathType (BelowUsb) != MESSAGING_DEVICE_PATH) ||
      (DevicePathSubType (BelowUsb) != MSG_UART_DP) ||
      EFI_ERROR (UsbIo->UsbGetDeviceDescriptor (UsbIo, &Device)) ||
      EFI_ERROR (UsbIo->UsbGetInterfaceDescriptor (UsbIo, &Interface)))
  {
    return FALSE;
  }

  for (UINTN Index = 0; Index < ARRAY_SIZE (gUsbBridgeIds); Index++) {
    if ((Device.IdVendor == gUsbBridgeIds[Index].VendorId) && (Device.IdProduct == gUsbBridgeIds[Index].ProductId)) {
      return TRUE;
    }
  }

  return (BOOLEAN)(Interface.InterfaceClass == USB_CDC_DATA_CLASS);
}

// The terminal type a console child speaks, as the RemainingDevicePath that asks the
// terminal driver for the same child again.
struct TERMINAL_TYPE_PATH {
  VENDOR_DEVICE_PATH          Type;
  EFI_DEVICE_PATH_PROTOCOL    End;
};

static_assert (sizeof (TERMINAL_TYPE_PATH) == 24, "a packed vendor node and the end node, copied as one");

// Whether the keyboard may take a line for a probe: nobody holds its Serial I/O
// (*Holder NULL), or EDK II's terminal driver alone does (*Holder), with a console child
// whose terminal type *Child then names. Any other holder keeps its line.
BOOLEAN
LineIsFreeForProbe (
  EFI_HANDLE          Handle,
  EFI_HANDLE          *Holder,
  TERMINAL_TYPE_PATH  *Child
  )
{
  UINTN       Holders  = 0;
  EFI_HANDLE  Terminal = NULL;

  *Holder = NULL;
  EFI_STATUS  Status = OpenInfoForEach (
                                        Handle,
                                        &gEfiSerialIoProtocolGuid,
                                        [&](CONST EFI_OPEN_PROTOCOL_INFORMATION_ENTRY &Entry) -> BOOLEAN {
      EFI_DEVICE_PATH_PROTOCOL  *Path;

      if ((Entry.Attributes & EFI_OPEN_PROTOCOL_BY_DRIVER) != 0) {
        Holders++;
        *Holder = Entry.AgentHandle;
      } else if (((Entry.Attributes & EFI_OPEN_PROTOCOL_BY_CHILD_CONTROLLER) != 0) &&
                 !EFI_ERROR (gBS->HandleProtocol (Entry.ControllerHandle, &gEfiDevicePathProtocolGuid, reinterpret_cast<VOID **>(&Path))) &&
                 (Path != NULL) && IsDevicePathValid (Path, 0))
      {
        // The terminal driver names its child by the line's path and the terminal type.
        while (!IsDevicePathEnd (NextDevicePathNode (Path))) {
          Path = NextDevicePathNode (Path);
        }

        // The node is the child's last: the copy takes the end node after it too.
        if (NfcKeyboardIsTerminalNode (Path) && (DevicePathNodeLength (Path) == sizeof (Child->Type))) {
          Terminal = Entry.AgentHandle;
          CopyMem (Child, Path, sizeof (*Child));
        }
      }

      return TRUE;
    }
                                        );

  if (EFI_ERROR (Status)) {
    return FALSE;
  }

  return (BOOLEAN)((Holders == 0) || ((Holders == 1) && (Terminal == *Holder)));
}

// Offers one FT232 line to the keyboard first: a free line, or one the terminal driver
// alone holds, which is stopped for the probe and, when no reader answers, started
// again with the terminal type it had. A console line and any other driver's line stay.
VOID
TakeOverLine (
  EFI_HANDLE  Line
  )
{
  TERMINAL_TYPE_PATH  Child;
  // The drivers to offer the line to first, by their binding handles: the keyboard,
  // then the line's holder.
  EFI_HANDLE  Drivers[] = { gNfcKeyboardDriverBinding.DriverBindingHandle, NULL, NULL };

  if ((mKeyboardCount != 0) || !IsAdapterLine (Line) || NfcKeyboardIsPlatformConsole (Line) ||
      !LineIsFreeForProbe (Line, &Drivers[1], &Child) ||
      ((Drivers[1] != NULL) && EFI_ERROR (gBS->DisconnectController (Line, Drivers[1], NULL))))
  {
    return;
  }

  (VOID)gBS->ConnectController (Line, Drivers, (Drivers[1] != NULL) ? &Child.Type.Header : NULL, TRUE);
}

/**
  Offers the keyboard the FT232 lines it has not been able to look at: those another
  driver took while the keyboard was not loaded yet (the terminal driver binds every new
  Serial I/O line it is offered).
**/
VOID
TakeOverAdapterLines (
  VOID
  )
{
  EFI_HANDLE  *Handles;
  UINTN       Count;

  if (EFI_ERROR (gBS->LocateHandleBuffer (ByProtocol, &gEfiSerialIoProtocolGuid, NULL, &Count, &Handles))) {
    return;
  }

  for (UINTN Index = 0; Index < Count; Index++) {
    TakeOverLine (Handles[Index]);
  }

  FreePool (Handles);
}

// A probe offered a line while the clock stood still comes back with this, once the
// clock runs: the line may meanwhile have gone to the terminal driver. Only the line
// that waited is looked at again; when several waited, every line is.
TICK_WITNESS      mProbeClock;
EFI_EVENT         mRetakeTimer = NULL;
EFI_HANDLE        mWaitingLine = NULL;
CONST EFI_HANDLE  mEveryLine   = &mWaitingLine;

// Set while a probe or a Start has the link, which is one set of module globals: a line
// offered meanwhile, from a notify that interrupted them, waits for the retake.
BOOLEAN  mLinkBusy = FALSE;

VOID
WaitForTheClock (
  EFI_HANDLE  Line
  )
{
  mWaitingLine = ((mWaitingLine == NULL) || (mWaitingLine == Line)) ? Line : mEveryLine;
  if (mRetakeTimer != NULL) {
    (VOID)gBS->SetTimer (mRetakeTimer, TimerRelative, NFC_RETAKE_DELAY_100NS);
  }
}

VOID
EFIAPI
RetakeNotify (
  IN EFI_EVENT  Event,
  IN VOID       *Context
  )
{
  EFI_HANDLE  Line = mWaitingLine;

  (VOID)Context;
  if ((mConfiguration == NULL) || (mConfiguration->Enabled == 0)) {
    return;
  }

  if (mLinkBusy || !TickWitnessTicking (&mProbeClock)) {
    (VOID)gBS->SetTimer (Event, TimerRelative, NFC_RETAKE_DELAY_100NS);
    return;
  }

  // A probe that must wait again while this one is offered is kept for the next round.
  mWaitingLine = NULL;
  if (Line == mEveryLine) {
    TakeOverAdapterLines ();
  } else {
    TakeOverLine (Line);
  }
}
} // namespace

NFC_KEYBOARD_CONFIG  *mConfiguration = NULL;
UINT64               mKeyboardCount  = 0;

// Above the terminal driver's 0xa, so a new Serial I/O line is offered to the keyboard
// first and reaches the terminal driver only when no PN532 answers on it.
EFI_DRIVER_BINDING_PROTOCOL  gNfcKeyboardDriverBinding = {
  NfcKeyboardSupported,
  NfcKeyboardStart,
  NfcKeyboardStop,
  0x10,
  NULL,
  NULL
};

EFI_STATUS
EFIAPI
NfcKeyboardSupported (
  IN EFI_DRIVER_BINDING_PROTOCOL  *This,
  IN EFI_HANDLE                   ControllerHandle,
  IN EFI_DEVICE_PATH_PROTOCOL     *RemainingDevicePath
  )
{
  EFI_SERIAL_IO_PROTOCOL  *SerialIo;
  EFI_STATUS              Status;

  (VOID)RemainingDevicePath;
  Status = OpenSerialIoByDriver (This, ControllerHandle, &SerialIo);
  if (EFI_ERROR (Status)) {
    return Status;
  }

  // The link is one set of module globals, so a second reader would steal the first's line.
  if (mKeyboardCount != 0) {
    DEBUG_LOG (DEBUG_WARN, "Only one NFC Keyboard is allowed.\n");
    Status = EFI_ALREADY_STARTED;
  } else if (NfcKeyboardIsPlatformConsole (ControllerHandle)) {
    // The firmware's own terminal speaks on this line: a probe would write PN532 frames
    // to whatever listens there and wait out the port's read timeouts at every boot.
    Status = EFI_UNSUPPORTED;
  } else if (mLinkBusy || !TickWitnessTicking (&mProbeClock)) {
    // Offered from inside the timer interrupt (a reader plugged in while the firmware
    // was busy), the probe's reads could wait for ever: look again once the clock runs.
    WaitForTheClock (ControllerHandle);
    Status = EFI_UNSUPPORTED;
  } else {
    EFI_SERIAL_IO_MODE  Found = *SerialIo->Mode;

    mLinkBusy = TRUE;
    Status    = InitializeReader (SerialIo) ? EFI_SUCCESS : EFI_UNSUPPORTED;
    mLinkBusy = FALSE;
    // Start sets the line again; until then it stays as its owner left it.
    NfcKeyboardRestoreLine (SerialIo, &Found);
    if (!EFI_ERROR (Status)) {
      DEBUG_LOG (DEBUG_INFO, "NFC Keyboard is found.\n");
    }
  }

  CloseSerialIo (This, ControllerHandle);
  return Status;
}

EFI_STATUS
EFIAPI
NfcKeyboardStart (
  IN EFI_DRIVER_BINDING_PROTOCOL  *This,
  IN EFI_HANDLE                   ControllerHandle,
  IN EFI_DEVICE_PATH_PROTOCOL     *RemainingDevicePath
  )
{
  EFI_SERIAL_IO_PROTOCOL  *SerialIo;
  NFC_KEYBOARD_DEV        *Dev;
  EFI_STATUS              Status;
  BOOLEAN                 LineOpened;

  (VOID)RemainingDevicePath;
  Dev        = NULL;
  LineOpened = FALSE;
  if ((mConfiguration == NULL) || (mConfiguration->Enabled == 0)) {
    DEBUG_LOG (DEBUG_WARN, "NFC/RFID module is disabled, device must not use this driver!\r");
    Status = EFI_UNSUPPORTED;
    goto ErrorExit;
  }

  mLinkBusy = TRUE;
  Status    = OpenSerialIoByDriver (This, ControllerHandle, &SerialIo);
  if (EFI_ERROR (Status)) {
    goto ErrorExit;
  }

  LineOpened = TRUE;
  DEBUG_LOG (DEBUG_INFO, "Serial I/O Protocol is opened.\n");

  Status = CreateNfcKeyboardDevice (SerialIo, &Dev);
  if (EFI_ERROR (Status)) {
    goto ErrorExit;
  }

  Status = gBS->InstallMultipleProtocolInterfaces (
                                                   &ControllerHandle,
                                                   &gEfiSimpleTextInProtocolGuid,
                                                   &Dev->SimpleTextIn,
                                                   &gEfiSimpleTextInputExProtocolGuid,
                                                   &Dev->SimpleTextInEx,
                                                   NULL
                                                   );
  if (EFI_ERROR (Status)) {
    goto ErrorExit;
  }

  DEBUG_LOG (DEBUG_INFO, "Multiple protocol interfaces are installed.\n");

  Dev->ControllerNameTable = NULL;
  (VOID)AddUnicodeString2 (
                           mLanguageIso639,
                           gNfcKeyboardComponentName.SupportedLanguages,
                           &Dev->ControllerNameTable,
                           mControllerName.Text,
                           TRUE
                           );
  (VOID)AddUnicodeString2 (
                           mLanguageRfc4646,
                           gNfcKeyboardComponentName2.SupportedLanguages,
                           &Dev->ControllerNameTable,
                           mControllerName.Text,
                           FALSE
                           );
  DEBUG_LOG (DEBUG_INFO, "Unicode strings2 are added.\n");

  mKeyboardCount++;
  mLinkBusy = FALSE;
  return EFI_SUCCESS;

ErrorExit:
  mLinkBusy = FALSE;
  if (Dev != NULL) {
    DEBUG_LOG (DEBUG_ERROR, "Error #0! This driver cannot be started.\n");
    FreeNfcKeyboardDevice (Dev);
  }

  if (LineOpened) {
    CloseSerialIo (This, ControllerHandle);
  }

  DEBUG_LOG (DEBUG_ERROR, "Error #1! This driver cannot be started.\n");
  return Status;
}

EFI_STATUS
EFIAPI
NfcKeyboardStop (
  IN EFI_DRIVER_BINDING_PROTOCOL  *This,
  IN EFI_HANDLE                   ControllerHandle,
  IN UINTN                        NumberOfChildren,
  IN EFI_HANDLE                   *ChildHandleBuffer
  )
{
  EFI_SIMPLE_TEXT_INPUT_PROTOCOL  *SimpleTextIn;
  NFC_KEYBOARD_DEV                *Dev;
  EFI_STATUS                      Status;

  (VOID)NumberOfChildren;
  (VOID)ChildHandleBuffer;
  DEBUG_LOG (DEBUG_INFO, "*BindingStop is called.\n");

  Status = gBS->OpenProtocol (
                              ControllerHandle,
                              &gEfiSimpleTextInProtocolGuid,
                              reinterpret_cast<VOID **>(&SimpleTextIn),
                              This->DriverBindingHandle,
                              ControllerHandle,
                              EFI_OPEN_PROTOCOL_GET_PROTOCOL
                              );
  if (EFI_ERROR (Status)) {
    return EFI_UNSUPPORTED;
  }

  Dev    = NfcKeyboardFromProtocol (SimpleTextIn);
  Status = gBS->OpenProtocol (
                              ControllerHandle,
                              &gEfiSimpleTextInputExProtocolGuid,
                              NULL,
                              This->DriverBindingHandle,
                              ControllerHandle,
                              EFI_OPEN_PROTOCOL_TEST_PROTOCOL
                              );
  // A text input without the record's signature is another driver's, not a keyboard to stop.
  if (EFI_ERROR (Status) || (Dev->Signature != NFC_KEYBOARD_DEV_SIGNATURE)) {
    return EFI_UNSUPPORTED;
  }

  // When a consumer keeps the interfaces, the firmware reconnects the line before this
  // call returns. The keyboard still holds the line and counts itself then, so that offer
  // finds it taken and the keyboard runs on as before.
  Status = gBS->UninstallMultipleProtocolInterfaces (
                                                     ControllerHandle,
                                                     &gEfiSimpleTextInProtocolGuid,
                                                     &Dev->SimpleTextIn,
                                                     &gEfiSimpleTextInputExProtocolGuid,
                                                     &Dev->SimpleTextInEx,
                                                     NULL
                                                     );
  if (EFI_ERROR (Status)) {
    return Status;
  }

  FreeNfcKeyboardDevice (Dev);
  CloseSerialIo (This, ControllerHandle);
  mKeyboardCount--;
  return EFI_SUCCESS;
}

extern "C"
EFI_STATUS
EFIAPI
NfcKeyboardDriverEntryPoint (
  IN EFI_HANDLE        ImageHandle,
  IN EFI_SYSTEM_TABLE  *SystemTable
  )
{
  EFI_STATUS  Status;

  DEBUG_LOG_INIT ("ZorvikDxe");

  DEBUG_LOG (DEBUG_INFO, "Initialize driver private data\n");
  NFC_KEYBOARD_CONFIG  *Config = static_cast<NFC_KEYBOARD_CONFIG *>(AllocateZeroPool (sizeof (NFC_KEYBOARD_CONFIG)));

  if (Config == NULL) {
    DEBUG_LOG (DEBUG_ERROR, "Failed to allocate private data\n");
    return EFI_OUT_OF_RESOURCES;
  }

  DEBUG_LOG (DEBUG_INFO, "Initialize configuration data\n");
  mConfiguration          = Config;
  mConfiguration->Enabled = 0;

  CHAR16  *Name      = const_cast<CHAR16 *>(mConfigVariableName.Text);
  UINT32  Attributes = 0;
  UINTN   DataSize   = sizeof (NFC_KEYBOARD_CONFIG);

  Status = gRT->GetVariable (Name, &gZorvikConfGuid, &Attributes, &DataSize, mConfiguration);
  if (Status == EFI_NOT_FOUND) {
    DEBUG_LOG (DEBUG_INFO, "Store zero data Buffer Storage to EFI variable\n");
    Status = gRT->SetVariable (Name, &gZorvikConfGuid, ZORVIK_CONF_ATTRIBUTES, sizeof (NFC_KEYBOARD_CONFIG), mConfiguration);
    if (EFI_ERROR (Status)) {
      DEBUG_LOG (DEBUG_ERROR, "Failed to set Zorvik variable\n");
      FreePool (mConfiguration);
      mConfiguration = NULL;
      return EFI_UNSUPPORTED;
    }
  } else if ((Status == EFI_BUFFER_TOO_SMALL) ||
             (!EFI_ERROR (Status) && ((DataSize != sizeof (NFC_KEYBOARD_CONFIG)) ||
                                      ((Attributes & ~static_cast<UINT32>(EFI_VARIABLE_RUNTIME_ACCESS)) != ZORVIK_CONF_ATTRIBUTES))))
  {
    // Runtime access is left as it is: an OS tool that set the byte with it must still be
    // able to read it and set it back.
    // Firmware will not rewrite a variable under other attributes, so the stored one goes
    // first, named by its own attributes (0 where a firmware reports none for a long one).
    // One byte keeps its value: an OS tool that enables the keyboard writes it with runtime
    // access, and the user meant it. Any other size is nobody's setting: 00.
    if (DataSize != sizeof (NFC_KEYBOARD_CONFIG)) {
      mConfiguration->Enabled = 0;
    }

    Status = gRT->SetVariable (Name, &gZorvikConfGuid, Attributes, 0, NULL);
    if (!EFI_ERROR (Status)) {
      Status = gRT->SetVariable (Name, &gZorvikConfGuid, ZORVIK_CONF_ATTRIBUTES, sizeof (NFC_KEYBOARD_CONFIG), mConfiguration);
      // A write refused after the delete puts a one-byte setting back as it was, so the
      // user's choice outlives this boot.
      if (EFI_ERROR (Status) && (DataSize == sizeof (NFC_KEYBOARD_CONFIG))) {
        (VOID)gRT->SetVariable (Name, &gZorvikConfGuid, Attributes, DataSize, mConfiguration);
      }
    }

    if (EFI_ERROR (Status)) {
      DEBUG_LOG (DEBUG_WARN, "ZorvikConf cannot be replaced (%r): keyboard %a this boot\n", Status, (mConfiguration->Enabled != 0) ? "on" : "off");
    }
  } else if (EFI_ERROR (Status)) {
    // Likely gone by the next boot: the stored value stays as it is, only this boot goes without.
    mConfiguration->Enabled = 0;
    DEBUG_LOG (DEBUG_WARN, "ZorvikConf cannot be read (%r): keyboard off this boot\n", Status);
  } else {
    DEBUG_LOG (DEBUG_INFO, "EFI variable exist:\n");
    DEBUG_LOG (DEBUG_INFO, "mConfiguration->Enabled = %d\n", static_cast<UINT32>(mConfiguration->Enabled));
  }

  Status = EfiLibInstallDriverBindingComponentName2 (
                                                     ImageHandle,
                                                     SystemTable,
                                                     &gNfcKeyboardDriverBinding,
                                                     ImageHandle,
                                                     &gNfcKeyboardComponentName,
                                                     &gNfcKeyboardComponentName2
                                                     );
  DEBUG_LOG (DEBUG_INFO, "EfiLibInstallDriverBindingComponentName2 returns: %r\n", Status);
  if (EFI_ERROR (Status)) {
    // The image is unloaded: nothing may stay behind it.
    FreePool (mConfiguration);
    mConfiguration = NULL;
  } else {
    // Without them a probe inside the timer interrupt runs as it always did.
    mWaitingLine = NULL;
    (VOID)TickWitnessOpen (&mProbeClock, TPL_CALLBACK, NULL, NULL);
    Pn532OpenLinkDeadline ();
    if (EFI_ERROR (gBS->CreateEvent (EVT_TIMER | EVT_NOTIFY_SIGNAL, TPL_CALLBACK, RetakeNotify, NULL, &mRetakeTimer))) {
      mRetakeTimer = NULL;
    }

    if (mConfiguration->Enabled != 0) {
      TakeOverAdapterLines ();
    }
  }

  return Status;
}
