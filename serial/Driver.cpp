/** @file
  The adapter binding, the child's device path, the image entry and unload.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/
#include "FtdiSerial.h"

#include <Char16.h>
#include <OpenInfo.h>
#include <UartPath.h>

extern "C" {
#include <Library/UefiRuntimeServicesTableLib.h>
}

namespace {
// The chip of this image's list that takes the device, or NULL.
CONST USB_SERIAL_CHIP *
FindChip (
  EFI_USB_IO_PROTOCOL  *UsbIo
  )
{
  EFI_USB_DEVICE_DESCRIPTOR     DeviceDescriptor;
  EFI_USB_INTERFACE_DESCRIPTOR  InterfaceDescriptor;

  if (EFI_ERROR (UsbIo->UsbGetDeviceDescriptor (UsbIo, &DeviceDescriptor)) ||
      EFI_ERROR (UsbIo->UsbGetInterfaceDescriptor (UsbIo, &InterfaceDescriptor)))
  {
    return NULL;
  }

  for (UINTN Index = 0; gSerialChips[Index] != NULL; Index++) {
    if (gSerialChips[Index]->Matches (UsbIo, &DeviceDescriptor, &InterfaceDescriptor)) {
      return gSerialChips[Index];
    }
  }

  return NULL;
}

// Whether some chip of this image's list can run the settings a UART node asks for.
BOOLEAN
SomeChipRuns (
  CONST SERIAL_ATTRIBUTES  *Asked
  )
{
  for (UINTN Index = 0; gSerialChips[Index] != NULL; Index++) {
    if (UsbSerialAttributesValid (gSerialChips[Index], Asked)) {
      return TRUE;
    }
  }

  return FALSE;
}

BOOLEAN
IsEndOrNull (
  CONST EFI_DEVICE_PATH_PROTOCOL  *Path
  )
{
  return (BOOLEAN)((Path == NULL) || IsDevicePathEnd (Path));
}

// A UART node's settings as attributes, its zeros standing for the adapter's defaults.
VOID
NodeAttributes (
  CONST EFI_DEVICE_PATH_PROTOCOL  *Node,
  SERIAL_ATTRIBUTES               *Attributes
  )
{
  UART_DEVICE_PATH  Uart;

  CopyMem (&Uart, Node, sizeof (Uart));
  Attributes->BaudRate         = (Uart.BaudRate != 0) ? Uart.BaudRate : FTDI_DEFAULT_BAUD;
  Attributes->ReceiveFifoDepth = FTDI_DEFAULT_FIFO_DEPTH;
  Attributes->Timeout          = FTDI_DEFAULT_TIMEOUT;
  Attributes->Parity           = (Uart.Parity != DefaultParity) ? Uart.Parity : static_cast<UINT32>(NoParity);
  Attributes->DataBits         = (Uart.DataBits != 0) ? Uart.DataBits : 8;
  Attributes->StopBits         = (Uart.StopBits != DefaultStopBits) ? Uart.StopBits : static_cast<UINT32>(OneStopBit);
}

// Whether the chip runs what a connect's UART and flow-control nodes ask for; no node
// asks nothing.
BOOLEAN
ChipRunsNode (
  CONST USB_SERIAL_CHIP           *Chip,
  CONST EFI_DEVICE_PATH_PROTOCOL  *RemainingDevicePath
  )
{
  if (IsEndOrNull (RemainingDevicePath) || !UartPathIsUartNode (RemainingDevicePath)) {
    return TRUE;
  }

  SERIAL_ATTRIBUTES  Asked;

  NodeAttributes (RemainingDevicePath, &Asked);
  CONST EFI_DEVICE_PATH_PROTOCOL  *Next = NextDevicePathNode (RemainingDevicePath);
  BOOLEAN                         Flow  = (BOOLEAN)(!IsDevicePathEnd (Next) && UartPathIsFlowControlNode (Next) &&
                                                    (UartPathFlowControlMap (Next) == UART_FLOW_CONTROL_HARDWARE));

  return (BOOLEAN)(UsbSerialAttributesValid (Chip, &Asked) &&
                   (!Flow || ((Chip->ControlSettable & EFI_SERIAL_HARDWARE_FLOW_CONTROL_ENABLE) != 0)));
}
} // namespace

// The child this driver made for a controller, from the open information of its USB I/O.
EFI_STATUS
UsbSerialFindChild (
  EFI_HANDLE  ControllerHandle,
  EFI_HANDLE  *Child
  )
{
  *Child = NULL;
  return OpenInfoForEachChild (
                               ControllerHandle,
                               &gEfiUsbIoProtocolGuid,
                               gUsbSerialDriverBinding.DriverBindingHandle,
                               [Child](EFI_HANDLE Found) -> BOOLEAN {
    *Child = Found;
    return FALSE;
  }
                               );
}

namespace {
// Releases the record newest first, whatever part of it exists: the one way back out of
// CreateUsbSerialDevice, of a Start whose install failed and of Stop.
VOID
ReleaseDevice (
  FTDI_SERIAL_DEVICE  *Device
  )
{
  if (Device->ChildDevicePath != NULL) {
    FreePool (Device->ChildDevicePath);
    Device->ChildDevicePath = NULL;
  }

  if (Device->PollTimer != NULL) {
    gBS->SetTimer (Device->PollTimer, TimerCancel, 0);
    gBS->CloseEvent (Device->PollTimer);
    Device->PollTimer = NULL;
  }

  TickWitnessClose (&Device->PollClock);

  Device->DeviceFailed = TRUE;
  if (Device->ControllerNameTable != NULL) {
    FreeUnicodeStringTable (Device->ControllerNameTable);
    Device->ControllerNameTable = NULL;
  }

  if (Device->Ring != NULL) {
    FreePool (Device->Ring);
    Device->Ring = NULL;
  }

  FreePool (Device);
}

EFI_STATUS
ReprogramRunningChild (
  EFI_HANDLE                   ControllerHandle,
  EFI_DEVICE_PATH_PROTOCOL     *RemainingDevicePath,
  EFI_DRIVER_BINDING_PROTOCOL  *This
  )
{
  if (IsEndOrNull (RemainingDevicePath)) {
    return EFI_SUCCESS;
  }

  EFI_HANDLE  Child;
  EFI_STATUS  Status = UsbSerialFindChild (ControllerHandle, &Child);

  if (EFI_ERROR (Status)) {
    DEBUG_LOG (DEBUG_INFO, "UsbSerialDriverBindingStart() exit: %r\n", Status);
    return Status;
  }

  if (Child == NULL) {
    return EFI_ALREADY_STARTED;
  }

  EFI_SERIAL_IO_PROTOCOL  *SerialIo;

  Status = gBS->OpenProtocol (
                              Child,
                              &gEfiSerialIoProtocolGuid,
                              reinterpret_cast<VOID **>(&SerialIo),
                              This->DriverBindingHandle,
                              ControllerHandle,
                              EFI_OPEN_PROTOCOL_GET_PROTOCOL
                              );
  if (EFI_ERROR (Status)) {
    return Status;
  }

  // A node the running chip cannot run must change nothing, not half the line.
  CONST USB_SERIAL_CHIP  *Chip = FtdiFromSerialIo (SerialIo)->Chip;

  if (!UartPathIsUartNode (RemainingDevicePath) || !ChipRunsNode (Chip, RemainingDevicePath)) {
    return EFI_UNSUPPORTED;
  }

  UART_DEVICE_PATH  Uart;

  CopyMem (&Uart, RemainingDevicePath, sizeof (Uart));
  Status = SerialIo->SetAttributes (
                                    SerialIo,
                                    Uart.BaudRate,
                                    SerialIo->Mode->ReceiveFifoDepth,
                                    SerialIo->Mode->Timeout,
                                    static_cast<EFI_PARITY_TYPE>(Uart.Parity),
                                    Uart.DataBits,
                                    static_cast<EFI_STOP_BITS_TYPE>(Uart.StopBits)
                                    );
  if (EFI_ERROR (Status)) {
    return Status;
  }

  EFI_DEVICE_PATH_PROTOCOL  *Next = NextDevicePathNode (RemainingDevicePath);

  if (!IsDevicePathEnd (Next) && UartPathIsFlowControlNode (Next)) {
    UINT32  Control;
    Status = SerialIo->GetControl (SerialIo, &Control);
    if (EFI_ERROR (Status)) {
      return Status;
    }

    if (UartPathFlowControlMap (Next) == UART_FLOW_CONTROL_HARDWARE) {
      Control |= EFI_SERIAL_HARDWARE_FLOW_CONTROL_ENABLE;
    } else {
      Control &= ~static_cast<UINT32>(EFI_SERIAL_HARDWARE_FLOW_CONTROL_ENABLE);
    }

    Status = SerialIo->SetControl (SerialIo, Control & Chip->ControlSettable);
  }

  return Status;
}

// Reads the endpoints Start needs; a descriptor that cannot be read ends Start with its status.
EFI_STATUS
FindBulkEndpoints (
  FTDI_SERIAL_DEVICE  *Device,
  BOOLEAN             *FoundBoth
  )
{
  Device->UsbIo->UsbGetInterfaceDescriptor (Device->UsbIo, &Device->InterfaceDescriptor);
  BOOLEAN  FoundIn  = FALSE;
  BOOLEAN  FoundOut = FALSE;

  for (UINT8 Index = 0; Index < Device->InterfaceDescriptor.NumEndpoints; Index++) {
    EFI_USB_ENDPOINT_DESCRIPTOR  Endpoint;
    ZeroMem (&Endpoint, sizeof (Endpoint));
    EFI_STATUS  Status = Device->UsbIo->UsbGetEndpointDescriptor (Device->UsbIo, Index, &Endpoint);
    if (EFI_ERROR (Status)) {
      return Status;
    }

    // A chip that names its endpoints gets those; any other the first bulk pair.
    BOOLEAN  Bulk = (BOOLEAN)((Endpoint.Attributes & USB_ENDPOINT_TYPE_MASK) == USB_ENDPOINT_BULK);
    BOOLEAN  In   = (BOOLEAN)((Endpoint.EndpointAddress & USB_ENDPOINT_DIR_IN) != 0);
    UINT8    Want = In ? Device->Chip->BulkInAddress : Device->Chip->BulkOutAddress;
    if ((Want != 0) ? (Endpoint.EndpointAddress != Want) : (!Bulk || (In ? FoundIn : FoundOut))) {
      continue;
    }

    if (In) {
      CopyMem (&Device->BulkInEndpoint, &Endpoint, sizeof (Endpoint));
      FoundIn = TRUE;
    } else {
      CopyMem (&Device->BulkOutEndpoint, &Endpoint, sizeof (Endpoint));
      FoundOut = TRUE;
    }
  }

  *FoundBoth = (BOOLEAN)(FoundIn && FoundOut);
  return EFI_SUCCESS;
}

EFI_STATUS
EFIAPI
UsbSerialDriverBindingSupported (
  IN EFI_DRIVER_BINDING_PROTOCOL  *This,
  IN EFI_HANDLE                   ControllerHandle,
  IN EFI_DEVICE_PATH_PROTOCOL     *RemainingDevicePath
  )
{
  if (!IsEndOrNull (RemainingDevicePath)) {
    if (!UartPathIsUartNode (RemainingDevicePath)) {
      return EFI_UNSUPPORTED;
    }

    EFI_DEVICE_PATH_PROTOCOL  *Next = NextDevicePathNode (RemainingDevicePath);
    if (!IsDevicePathEnd (Next) && UartPathIsFlowControlNode (Next) &&
        ((UartPathFlowControlMap (Next) & ~static_cast<UINT32>(UART_FLOW_CONTROL_HARDWARE)) != 0))
    {
      return EFI_UNSUPPORTED;
    }

    // The node's settings are applied to the chip, so a node no chip can run is not
    // ours; once the chip is known, it must run them itself.
    SERIAL_ATTRIBUTES  Asked;
    NodeAttributes (RemainingDevicePath, &Asked);
    if (!SomeChipRuns (&Asked)) {
      return EFI_UNSUPPORTED;
    }
  }

  EFI_USB_IO_PROTOCOL  *UsbIo;
  EFI_STATUS           Status = gBS->OpenProtocol (
                                                   ControllerHandle,
                                                   &gEfiUsbIoProtocolGuid,
                                                   reinterpret_cast<VOID **>(&UsbIo),
                                                   This->DriverBindingHandle,
                                                   ControllerHandle,
                                                   EFI_OPEN_PROTOCOL_BY_DRIVER
                                                   );

  if (Status == EFI_ALREADY_STARTED) {
    if (IsEndOrNull (RemainingDevicePath)) {
      return EFI_SUCCESS;
    }

    EFI_HANDLE  Child;
    Status = UsbSerialFindChild (ControllerHandle, &Child);
    if (EFI_ERROR (Status)) {
      return Status;
    }

    if (Child == NULL) {
      return EFI_SUCCESS;
    }

    EFI_DEVICE_PATH_PROTOCOL  *ChildPath;
    EFI_SERIAL_IO_PROTOCOL    *SerialIo;
    Status = gBS->OpenProtocol (
                                Child,
                                &gEfiDevicePathProtocolGuid,
                                reinterpret_cast<VOID **>(&ChildPath),
                                This->DriverBindingHandle,
                                ControllerHandle,
                                EFI_OPEN_PROTOCOL_GET_PROTOCOL
                                );
    if (!EFI_ERROR (Status)) {
      Status = gBS->OpenProtocol (
                                  Child,
                                  &gEfiSerialIoProtocolGuid,
                                  reinterpret_cast<VOID **>(&SerialIo),
                                  This->DriverBindingHandle,
                                  ControllerHandle,
                                  EFI_OPEN_PROTOCOL_GET_PROTOCOL
                                  );
    }

    if (EFI_ERROR (Status)) {
      return Status;
    }

    return ((UartPathHasFlowControlNode (RemainingDevicePath) != UartPathHasFlowControlNode (ChildPath)) ||
            !ChipRunsNode (FtdiFromSerialIo (SerialIo)->Chip, RemainingDevicePath)) ? EFI_UNSUPPORTED : EFI_SUCCESS;
  }

  if (EFI_ERROR (Status)) {
    return Status;
  }

  // The chip is found while the USB I/O is held, so an unplug cannot free it meanwhile.
  CONST USB_SERIAL_CHIP  *Chip;

  {
    TplGuard  Tpl (TPL_CALLBACK);
    Chip = FindChip (UsbIo);
  }

  gBS->CloseProtocol (ControllerHandle, &gEfiUsbIoProtocolGuid, This->DriverBindingHandle, ControllerHandle);

  EFI_DEVICE_PATH_PROTOCOL  *DevicePath;

  Status = gBS->OpenProtocol (
                              ControllerHandle,
                              &gEfiDevicePathProtocolGuid,
                              reinterpret_cast<VOID **>(&DevicePath),
                              This->DriverBindingHandle,
                              ControllerHandle,
                              EFI_OPEN_PROTOCOL_BY_DRIVER
                              );
  if (Status == EFI_ALREADY_STARTED) {
    return EFI_SUCCESS;
  }

  if (EFI_ERROR (Status)) {
    return Status;
  }

  Status = EFI_UNSUPPORTED;
  if ((Chip != NULL) && ChipRunsNode (Chip, RemainingDevicePath)) {
    Status = EFI_SUCCESS;
  }

  gBS->CloseProtocol (ControllerHandle, &gEfiDevicePathProtocolGuid, This->DriverBindingHandle, ControllerHandle);
  return Status;
}

// The child path's nodes, the line's defaults and the Serial I/O record, with the chip
// set to those defaults, or to the UART and flow-control nodes the connect asked for.
VOID
InitializeUsbSerialDevice (
  FTDI_SERIAL_DEVICE        *Device,
  EFI_DEVICE_PATH_PROTOCOL  *RemainingDevicePath
  )
{
  Device->UartNode.Header.Type    = MESSAGING_DEVICE_PATH;
  Device->UartNode.Header.SubType = MSG_UART_DP;
  SetDevicePathNodeLength (&Device->UartNode.Header, sizeof (UART_DEVICE_PATH));
  Device->FlowControlNode.Header.Type    = MESSAGING_DEVICE_PATH;
  Device->FlowControlNode.Header.SubType = MSG_VENDOR_DP;
  SetDevicePathNodeLength (&Device->FlowControlNode.Header, sizeof (UART_FLOW_CONTROL_DEVICE_PATH));
  CopyGuid (&Device->FlowControlNode.Guid, &gEfiUartDevicePathGuid);
  Device->FlowControlNode.FlowControlMap = 0;
  SetDevicePathEndNode (&Device->NodesEnd);
  Device->LastAttributes.BaudRate         = FTDI_DEFAULT_BAUD;
  Device->LastAttributes.ReceiveFifoDepth = FTDI_DEFAULT_FIFO_DEPTH;
  Device->LastAttributes.Timeout          = FTDI_DEFAULT_TIMEOUT;
  Device->LastAttributes.Parity           = NoParity;
  Device->LastAttributes.DataBits         = 8;
  Device->LastAttributes.StopBits         = OneStopBit;
  Device->SerialIo.Mode                   = &Device->SerialMode;

  // A console variable that names this port with its settings gets them on the chip, not
  // only in the child's path.
  // The lines are recorded only once the chip took them, so a refused flow control is
  // neither reported nor named in the path.
  SERIAL_ATTRIBUTES  Asked;
  LINE_CONTROL       Lines = Device->LineControl;

  NodeAttributes (&Device->UartNode.Header, &Asked);
  if ((RemainingDevicePath != NULL) && UartPathIsUartNode (RemainingDevicePath)) {
    NodeAttributes (RemainingDevicePath, &Asked);
    EFI_DEVICE_PATH_PROTOCOL  *Next = NextDevicePathNode (RemainingDevicePath);
    Lines.HardwareFlowControl = (BOOLEAN)(!IsDevicePathEnd (Next) && UartPathIsFlowControlNode (Next) &&
                                          (UartPathFlowControlMap (Next) == UART_FLOW_CONTROL_HARDWARE));
  }

  EFI_STATUS  AttributesStatus = SetAttributesInternal (
                                                        Device,
                                                        Asked.BaudRate,
                                                        FTDI_DEFAULT_FIFO_DEPTH,
                                                        FTDI_DEFAULT_TIMEOUT,
                                                        static_cast<EFI_PARITY_TYPE>(Asked.Parity),
                                                        Asked.DataBits,
                                                        static_cast<EFI_STOP_BITS_TYPE>(Asked.StopBits)
                                                        );

  DEBUG_LOG (DEBUG_INFO, "SetAttributesInternal() status: %r\n", AttributesStatus);
  AttributesStatus = SetControlBitsInternal (Device, &Lines);
  DEBUG_LOG (DEBUG_INFO, "SetControlBitsInternal() status: %r\n", AttributesStatus);
  (VOID)AttributesStatus;

  Device->Signature = FTDI_SERIAL_DEVICE_SIGNATURE;
  CopyMem (&Device->SerialIo, &gFtdiSerialIoTemplate, sizeof (Device->SerialIo));
  Device->SerialIo.Mode               = &Device->SerialMode;
  Device->SerialMode.ControlMask      = Device->Chip->ControlMask;
  Device->SerialMode.Timeout          = Device->LastAttributes.Timeout;
  Device->SerialMode.ReceiveFifoDepth = Device->LastAttributes.ReceiveFifoDepth;
  Device->SerialMode.BaudRate         = Device->LastAttributes.BaudRate;
  Device->SerialMode.DataBits         = Device->LastAttributes.DataBits;
  Device->SerialMode.Parity           = Device->LastAttributes.Parity;
  Device->SerialMode.StopBits         = Device->LastAttributes.StopBits;
}

// The tick witness, the first status read and the periodic poll; none of them is fatal.
VOID
StartPolling (
  FTDI_SERIAL_DEVICE  *Device
  )
{
  // Without its witness the poll would work as before, so a failure here is not fatal.
  (VOID)TickWitnessOpen (&Device->PollClock, TPL_CALLBACK, FtdiPollRefill, Device);

  // A plugged-in adapter is started from the USB bus driver's enumeration notify, which
  // may run inside the timer interrupt; the first poll reads the status then, a period later.
  Device->ControlAsked = TRUE;
  if (!Device->DeviceFailed && TickWitnessTicking (&Device->PollClock)) {
    TplGuard  Tpl (TPL_NOTIFY);
    if (Device->Chip->PacketHeader != 0) {
      UINT8  FirstStatus[FTDI_STATUS_SIZE];
      ZeroMem (FirstStatus, sizeof (FirstStatus));
      UINTN  Length = sizeof (FirstStatus);
      FtdiBulkTransfer (Device, FALSE, FirstStatus, &Length, FTDI_TIMEOUT_FIRST_STATUS);
      FtdiDecodeModemStatus (Device, FirstStatus);
    } else if (Device->Chip->ReadModemStatus != NULL) {
      Device->Chip->ReadModemStatus (Device);
    }
  }

  if (!EFI_ERROR (gBS->CreateEvent (EVT_TIMER | EVT_NOTIFY_SIGNAL, TPL_CALLBACK, FtdiPollNotify, Device, &Device->PollTimer))) {
    gBS->SetTimer (Device->PollTimer, TimerPeriodic, FTDI_POLL_PERIOD_100NS);
  } else {
    Device->PollTimer = NULL;
  }
}

// The child's path: the adapter's, then the UART and flow-control nodes of what the chip runs.
EFI_STATUS
BuildChildDevicePath (
  FTDI_SERIAL_DEVICE  *Device
  )
{
  Device->ChildDevicePath = AppendDevicePath (Device->AdapterDevicePath, &Device->UartNode.Header);
  return (Device->ChildDevicePath == NULL) ? EFI_OUT_OF_RESOURCES : EFI_SUCCESS;
}

/**
  Allocates the adapter's record and sets it up: endpoints, chip defaults, Serial I/O,
  ring, names, poll and the child's path. Nothing is installed.

  @retval EFI_SUCCESS           *Created is the record.
  @retval EFI_DEVICE_ERROR      The adapter lacks a bulk endpoint.
  @retval EFI_OUT_OF_RESOURCES  No pool for the record, its ring or its path.
  @retval other                 An endpoint descriptor could not be read.
  On an error everything made is released and *Created is NULL.
**/
EFI_STATUS
CreateUsbSerialDevice (
  EFI_USB_IO_PROTOCOL       *UsbIo,
  EFI_DEVICE_PATH_PROTOCOL  *AdapterDevicePath,
  EFI_DEVICE_PATH_PROTOCOL  *RemainingDevicePath,
  FTDI_SERIAL_DEVICE        **Created
  )
{
  *Created = NULL;
  CONST USB_SERIAL_CHIP  *Chip = FindChip (UsbIo);

  if (Chip == NULL) {
    return EFI_UNSUPPORTED;
  }

  FTDI_SERIAL_DEVICE  *Device = static_cast<FTDI_SERIAL_DEVICE *>(AllocateZeroPool (sizeof (FTDI_SERIAL_DEVICE)));

  if (Device == NULL) {
    return EFI_OUT_OF_RESOURCES;
  }

  Device->Chip              = Chip;
  Device->UsbIo             = UsbIo;
  Device->AdapterDevicePath = AdapterDevicePath;
  BOOLEAN     FoundBoth;
  EFI_STATUS  Status = FindBulkEndpoints (Device, &FoundBoth);

  if (!EFI_ERROR (Status) && !FoundBoth) {
    Status = EFI_DEVICE_ERROR;
  }

  // The chip is readied before its line is first set; one that refuses is not started.
  Device->RequestInterface = Device->InterfaceDescriptor.InterfaceNumber;
  if (!EFI_ERROR (Status) && (Chip->Open != NULL)) {
    TplGuard  Tpl (TPL_NOTIFY);
    Status = Chip->Open (Device);
  }

  if (EFI_ERROR (Status)) {
    goto ErrorExit;
  }

  InitializeUsbSerialDevice (Device, RemainingDevicePath);
  Device->ChildHandle = NULL;
  Device->Ring        = static_cast<UINT8 *>(AllocateZeroPool (FTDI_RING_SIZE));
  if (Device->Ring == NULL) {
    Status = EFI_OUT_OF_RESOURCES;
    goto ErrorExit;
  }

  Device->RingHead = 0;
  Device->RingTail = 0;
  AddUnicodeString2 (mLanguageIso639, gUsbSerialComponentName.SupportedLanguages, &Device->ControllerNameTable, Chip->Name, TRUE);
  AddUnicodeString2 (mLanguageRfc4646, gUsbSerialComponentName2.SupportedLanguages, &Device->ControllerNameTable, Chip->Name, FALSE);
  StartPolling (Device);
  Status = BuildChildDevicePath (Device);
  if (EFI_ERROR (Status)) {
    goto ErrorExit;
  }

  *Created = Device;
  return EFI_SUCCESS;

ErrorExit:
  ReleaseDevice (Device);
  return Status;
}

EFI_STATUS
EFIAPI
UsbSerialDriverBindingStart (
  IN EFI_DRIVER_BINDING_PROTOCOL  *This,
  IN EFI_HANDLE                   ControllerHandle,
  IN EFI_DEVICE_PATH_PROTOCOL     *RemainingDevicePath
  )
{
  FTDI_SERIAL_DEVICE        *Device;
  EFI_USB_IO_PROTOCOL       *UsbIo;
  EFI_DEVICE_PATH_PROTOCOL  *AdapterDevicePath;
  EFI_STATUS                Status;
  BOOLEAN                   PathOpened;
  BOOLEAN                   UsbIoOpened;

  DEBUG_LOG (DEBUG_INFO, "UsbSerialDriverBindingStart() is called\n");
  // An unplug reaches Stop from the USB bus driver's TPL_CALLBACK work; it must not pull
  // the USB I/O from under a Start that is still building on it.
  TplGuard  Tpl (TPL_CALLBACK);

  Device            = NULL;
  UsbIo             = NULL;
  AdapterDevicePath = NULL;
  PathOpened        = FALSE;
  UsbIoOpened       = FALSE;

  Status = gBS->OpenProtocol (
                              ControllerHandle,
                              &gEfiDevicePathProtocolGuid,
                              reinterpret_cast<VOID **>(&AdapterDevicePath),
                              This->DriverBindingHandle,
                              ControllerHandle,
                              EFI_OPEN_PROTOCOL_BY_DRIVER
                              );
  if (EFI_ERROR (Status) && (Status != EFI_ALREADY_STARTED)) {
    goto ErrorExit;
  }

  PathOpened = (BOOLEAN)(!EFI_ERROR (Status));
  Status     = gBS->OpenProtocol (
                                  ControllerHandle,
                                  &gEfiUsbIoProtocolGuid,
                                  reinterpret_cast<VOID **>(&UsbIo),
                                  This->DriverBindingHandle,
                                  ControllerHandle,
                                  EFI_OPEN_PROTOCOL_BY_DRIVER
                                  );
  // A running adapter keeps what it holds: a new UART node only reprograms its child.
  if (Status == EFI_ALREADY_STARTED) {
    return ReprogramRunningChild (ControllerHandle, RemainingDevicePath, This);
  }

  if (EFI_ERROR (Status)) {
    goto ErrorExit;
  }

  UsbIoOpened = TRUE;
  if ((RemainingDevicePath != NULL) && IsDevicePathEnd (RemainingDevicePath)) {
    return EFI_SUCCESS;
  }

  Status = CreateUsbSerialDevice (UsbIo, AdapterDevicePath, RemainingDevicePath, &Device);
  if (EFI_ERROR (Status)) {
    goto ErrorExit;
  }

  Status = gBS->InstallMultipleProtocolInterfaces (
                                                   &Device->ChildHandle,
                                                   &gEfiDevicePathProtocolGuid,
                                                   Device->ChildDevicePath,
                                                   &gEfiSerialIoProtocolGuid,
                                                   &Device->SerialIo,
                                                   NULL
                                                   );
  if (EFI_ERROR (Status)) {
    Device->ChildHandle = NULL;
    goto ErrorExit;
  }

  gBS->OpenProtocol (
                     ControllerHandle,
                     &gEfiUsbIoProtocolGuid,
                     reinterpret_cast<VOID **>(&Device->UsbIo),
                     This->DriverBindingHandle,
                     Device->ChildHandle,
                     EFI_OPEN_PROTOCOL_BY_CHILD_CONTROLLER
                     );
  Device->DeviceFailed = FALSE;
  return EFI_SUCCESS;

ErrorExit:
  // Everything Start acquired goes back, newest first, so no timer outlives its ring.
  DEBUG_LOG (DEBUG_INFO, "UsbSerialDriverBindingStart() exit: %r\n", Status);
  if (Device != NULL) {
    ReleaseDevice (Device);
  }

  if (UsbIoOpened) {
    gBS->CloseProtocol (ControllerHandle, &gEfiUsbIoProtocolGuid, This->DriverBindingHandle, ControllerHandle);
  }

  if (PathOpened) {
    gBS->CloseProtocol (ControllerHandle, &gEfiDevicePathProtocolGuid, This->DriverBindingHandle, ControllerHandle);
  }

  return Status;
}

// Stops one child; a handle without this driver's Serial I/O record is left as it is.
EFI_STATUS
StopChild (
  EFI_DRIVER_BINDING_PROTOCOL  *This,
  EFI_HANDLE                   ControllerHandle,
  EFI_HANDLE                   Child
  )
{
  EFI_SERIAL_IO_PROTOCOL  *SerialIo;
  EFI_STATUS              Status = gBS->OpenProtocol (
                                                      Child,
                                                      &gEfiSerialIoProtocolGuid,
                                                      reinterpret_cast<VOID **>(&SerialIo),
                                                      This->DriverBindingHandle,
                                                      ControllerHandle,
                                                      EFI_OPEN_PROTOCOL_GET_PROTOCOL
                                                      );

  if (Status != EFI_SUCCESS) {
    return EFI_DEVICE_ERROR;
  }

  // A record without the signature is not this driver's to close or free.
  FTDI_SERIAL_DEVICE  *Device = FtdiFromSerialIo (SerialIo);

  if (Device->Signature != FTDI_SERIAL_DEVICE_SIGNATURE) {
    return EFI_DEVICE_ERROR;
  }

  gBS->CloseProtocol (ControllerHandle, &gEfiUsbIoProtocolGuid, This->DriverBindingHandle, Child);
  Status = gBS->UninstallMultipleProtocolInterfaces (
                                                     Child,
                                                     &gEfiDevicePathProtocolGuid,
                                                     Device->ChildDevicePath,
                                                     &gEfiSerialIoProtocolGuid,
                                                     &Device->SerialIo,
                                                     NULL
                                                     );
  if (EFI_ERROR (Status)) {
    EFI_USB_IO_PROTOCOL  *UsbIo;
    gBS->OpenProtocol (
                       ControllerHandle,
                       &gEfiUsbIoProtocolGuid,
                       reinterpret_cast<VOID **>(&UsbIo),
                       This->DriverBindingHandle,
                       Child,
                       EFI_OPEN_PROTOCOL_BY_CHILD_CONTROLLER
                       );
    return EFI_DEVICE_ERROR;
  }

  ReleaseDevice (Device);
  return EFI_SUCCESS;
}

EFI_STATUS
EFIAPI
UsbSerialDriverBindingStop (
  IN EFI_DRIVER_BINDING_PROTOCOL  *This,
  IN EFI_HANDLE                   ControllerHandle,
  IN UINTN                        NumberOfChildren,
  IN EFI_HANDLE                   *ChildHandleBuffer
  )
{
  DEBUG_LOG (DEBUG_INFO, "UsbSerialDriverBindingStop is called\n");

  if (NumberOfChildren == 0) {
    gBS->CloseProtocol (ControllerHandle, &gEfiUsbIoProtocolGuid, This->DriverBindingHandle, ControllerHandle);
    return gBS->CloseProtocol (ControllerHandle, &gEfiDevicePathProtocolGuid, This->DriverBindingHandle, ControllerHandle);
  }

  if (ChildHandleBuffer == NULL) {
    return EFI_INVALID_PARAMETER;
  }

  // A child that cannot be stopped leaves the others to be stopped all the same.
  BOOLEAN  AllStopped = TRUE;

  for (UINTN Index = 0; Index < NumberOfChildren; Index++) {
    if (EFI_ERROR (StopChild (This, ControllerHandle, ChildHandleBuffer[Index]))) {
      AllStopped = FALSE;
    }
  }

  return AllStopped ? EFI_SUCCESS : EFI_DEVICE_ERROR;
}

// True while any controller still has this driver attached, by its own open or a child's.
BOOLEAN
DriverStillAttached (
  EFI_HANDLE  *Handles,
  UINTN       Count
  )
{
  BOOLEAN  Attached = FALSE;

  for (UINTN Handle = 0; (Handle < Count) && !Attached; Handle++) {
    (VOID)OpenInfoForEach (
                           Handles[Handle],
                           &gEfiUsbIoProtocolGuid,
                           [&Attached](CONST EFI_OPEN_PROTOCOL_INFORMATION_ENTRY &Entry) -> BOOLEAN {
        Attached = (BOOLEAN)((Entry.AgentHandle == gUsbSerialDriverBinding.DriverBindingHandle) &&
                             ((Entry.Attributes & (EFI_OPEN_PROTOCOL_BY_DRIVER | EFI_OPEN_PROTOCOL_BY_CHILD_CONTROLLER)) != 0));
        return !Attached;
      }
                           );
  }

  return Attached;
}

EFI_HANDLE  mImageHandle = NULL;
} // namespace

EFI_DRIVER_BINDING_PROTOCOL  gUsbSerialDriverBinding = {
  UsbSerialDriverBindingSupported,
  UsbSerialDriverBindingStart,
  UsbSerialDriverBindingStop,
  0x0A,
  NULL,
  NULL
};

extern "C" EFI_STATUS
EFIAPI
UsbSerialDriverEntryPoint (
  IN EFI_HANDLE        ImageHandle,
  IN EFI_SYSTEM_TABLE  *SystemTable
  )
{
  gImageHandle = ImageHandle;
  gST          = SystemTable;
  gBS          = SystemTable->BootServices;
  gRT          = SystemTable->RuntimeServices;
  mImageHandle = ImageHandle;

  // Without its loaded-image record the image could never be unloaded, so it stays unpublished.
  EFI_LOADED_IMAGE_PROTOCOL  *LoadedImage;
  EFI_STATUS                 Status = gBS->HandleProtocol (ImageHandle, &gEfiLoadedImageProtocolGuid, reinterpret_cast<VOID **>(&LoadedImage));

  if (EFI_ERROR (Status)) {
    return Status;
  }

  LoadedImage->Unload = OstrelUnload;
  DEBUG_LOG_INIT (gSerialImageName);

  Status = EfiLibInstallDriverBindingComponentName2 (
                                                     ImageHandle,
                                                     SystemTable,
                                                     &gUsbSerialDriverBinding,
                                                     ImageHandle,
                                                     &gUsbSerialComponentName,
                                                     &gUsbSerialComponentName2
                                                     );
  DEBUG_LOG (DEBUG_INFO, "EfiLibInstallDriverBindingComponentName2 returns: %r\n", Status);
  return Status;
}

EFI_STATUS
EFIAPI
OstrelUnload (
  IN EFI_HANDLE  ImageHandle
  )
{
  DEBUG_LOG (DEBUG_INFO, "OstrelUnload is called\n");

  EFI_HANDLE  *Handles;
  UINTN       Count;
  EFI_STATUS  Status = gBS->LocateHandleBuffer (AllHandles, NULL, NULL, &Count, &Handles);

  if (EFI_ERROR (Status)) {
    return Status;
  }

  for (UINTN Index = 0; Index < Count; Index++) {
    gBS->DisconnectController (Handles[Index], mImageHandle, NULL);
  }

  // A controller that refused to let go still runs this image's code; the image must stay.
  BOOLEAN  Attached = DriverStillAttached (Handles, Count);

  FreePool (Handles);
  if (Attached) {
    return EFI_DEVICE_ERROR;
  }

  Status = gBS->UninstallMultipleProtocolInterfaces (
                                                     ImageHandle,
                                                     &gEfiDriverBindingProtocolGuid,
                                                     &gUsbSerialDriverBinding,
                                                     &gEfiComponentNameProtocolGuid,
                                                     &gUsbSerialComponentName,
                                                     &gEfiComponentName2ProtocolGuid,
                                                     &gUsbSerialComponentName2,
                                                     NULL
                                                     );
  return EFI_ERROR (Status) ? Status : EFI_SUCCESS;
}
