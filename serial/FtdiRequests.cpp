/** @file
  The FT232's vendor requests: baud divisor, line word, flow control and modem lines.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/
#include "FtdiSerial.h"

#include <Char16.h>
#include <OpenInfo.h>

namespace {
// Sixteenths of the divisor the chip can really run, indexed by the computed sixteenths.
constexpr UINT8  mBaudRoundTable[16] = { 0, 2, 2, 4, 4, 4, 8, 8, 8, 8, 8, 8, 16, 16, 16, 16 };

constexpr UINT32  BASE_SIXTEENTHS = 48000000;
constexpr UINT32  MIN_SIXTEENTHS  = 32;
constexpr UINT32  MAX_SIXTEENTHS  = 0x3FFF8;
constexpr UINT32  ACCEPT_LOW      = 46601941;
constexpr UINT32  ACCEPT_HIGH     = 49484536;
constexpr UINT64  MIN_BAUD        = 178;

// Walks the child's path to the first node of the given kind.
EFI_DEVICE_PATH_PROTOCOL *
FindChildNode (
  FTDI_SERIAL_DEVICE  *Device,
  UINT8               SubType,
  UINT16              Length
  )
{
  if ((Device->ChildHandle == NULL) || (Device->ChildDevicePath == NULL)) {
    return NULL;
  }

  for (EFI_DEVICE_PATH_PROTOCOL *Node = Device->ChildDevicePath; !IsDevicePathEnd (Node); Node = NextDevicePathNode (Node)) {
    if ((DevicePathType (Node) == MESSAGING_DEVICE_PATH) && (DevicePathSubType (Node) == SubType) &&
        (DevicePathNodeLength (Node) == Length))
    {
      return Node;
    }
  }

  return NULL;
}
} // namespace

EFI_STATUS
FtdiVendorRequest (
  IN EFI_USB_IO_PROTOCOL  *UsbIo,
  IN UINT8                Request,
  IN UINT16               Value,
  IN UINT16               Index,
  IN UINT32               Timeout
  )
{
  // The setup packet announces no data, so the transfer has no data stage either: a host
  // controller that sends one anyway makes the chip stall every request.
  return UsbSerialControlWithin (UsbIo, FTDI_REQUEST_TYPE_VENDOR_OUT, Request, Value, Index, NULL, 0, Timeout);
}

EFI_STATUS
FtdiComputeDivisor (
  IN  UINT64  BaudRate,
  OUT UINT16  *Divisor
  )
{
  if (BaudRate > 3092783) {
    return EFI_INVALID_PARAMETER;
  }

  if (BaudRate >= 2912621) {
    *Divisor = 0;
    return EFI_SUCCESS;
  }

  if ((BaudRate >= 1941747) && (BaudRate <= 2061855)) {
    *Divisor = 1;
    return EFI_SUCCESS;
  }

  if (BaudRate == 0) {
    return EFI_INVALID_PARAMETER;
  }

  UINT32  Quotient   = BASE_SIXTEENTHS / static_cast<UINT32>(BaudRate);
  UINT32  Sixteenths = (Quotient & ~static_cast<UINT32>(0xF)) + mBaudRoundTable[Quotient & 0xF];

  if (Sixteenths < MIN_SIXTEENTHS) {
    Sixteenths = MIN_SIXTEENTHS;
  } else if (Sixteenths > MAX_SIXTEENTHS) {
    Sixteenths = MAX_SIXTEENTHS;
  }

  UINT32  Product = static_cast<UINT32>(BaudRate) * Sixteenths;

  if ((Product < ACCEPT_LOW) || (Product > ACCEPT_HIGH)) {
    return EFI_INVALID_PARAMETER;
  }

  UINT16  Word = static_cast<UINT16>(Sixteenths >> 4);

  if ((Sixteenths & 8) != 0) {
    Word |= 0x4000;
  } else if ((Sixteenths & 4) != 0) {
    Word |= 0x8000;
  } else if ((Sixteenths & 2) != 0) {
    Word |= 0xC000;
  }

  *Divisor = Word;
  return EFI_SUCCESS;
}

EFI_STATUS
FtdiSetLineProperties (
  IN EFI_USB_IO_PROTOCOL      *UsbIo,
  IN UINT8                    DataBits,
  IN EFI_PARITY_TYPE          Parity,
  IN EFI_STOP_BITS_TYPE       StopBits,
  IN CONST SERIAL_ATTRIBUTES  *Last
  )
{
  UINT8   Data = (DataBits != 0) ? DataBits : Last->DataBits;
  UINT32  Par  = (Parity != DefaultParity) ? static_cast<UINT32>(Parity) : Last->Parity;
  UINT32  Stop = (StopBits != DefaultStopBits) ? static_cast<UINT32>(StopBits) : Last->StopBits;

  if ((DataBits != 0) && ((DataBits < 5) || (DataBits > 8))) {
    return EFI_INVALID_PARAMETER;
  }

  if ((Data >= 6) && (Data <= 8) && (Stop == OneFiveStopBits)) {
    return EFI_INVALID_PARAMETER;
  }

  UINT16  Word = Data;

  switch (Par) {
    case EvenParity:  Word |= 0x200;
      break;
    case OddParity:   Word |= 0x100;
      break;
    case MarkParity:  Word |= 0x300;
      break;
    case SpaceParity: Word |= 0x400;
      break;
    default:          break;
  }

  switch (Stop) {
    case OneFiveStopBits: Word |= 0x800;
      break;
    case TwoStopBits:     Word |= 0x1000;
      break;
    default:              break;
  }

  if (EFI_ERROR (FtdiVendorRequest (UsbIo, FTDI_REQUEST_SET_DATA, Word, FTDI_REQUEST_INDEX, FTDI_TIMEOUT_LINE))) {
    return EFI_DEVICE_ERROR;
  }

  return EFI_SUCCESS;
}

namespace {
// The divisor word of the rate in force: BaudRate, or Fallback for 0. SetAttributes asks
// it before it sends anything, the baud request before it sends the word.
EFI_STATUS
BaudDivisor (
  UINT64  BaudRate,
  UINT64  Fallback,
  UINT16  *Divisor
  )
{
  UINT64  Baud = (BaudRate != 0) ? BaudRate : Fallback;

  if (Baud < MIN_BAUD) {
    return EFI_INVALID_PARAMETER;
  }

  return FtdiComputeDivisor (Baud, Divisor);
}
} // namespace

BOOLEAN
UsbSerialAttributesValid (
  IN CONST USB_SERIAL_CHIP    *Chip,
  IN CONST SERIAL_ATTRIBUTES  *Attributes
  )
{
  return (BOOLEAN)((Attributes->ReceiveFifoDepth >= 1) && (Attributes->ReceiveFifoDepth <= FTDI_MAX_FIFO_DEPTH) &&
                   (Attributes->Timeout >= FTDI_MIN_TIMEOUT) && (Attributes->Timeout <= FTDI_MAX_TIMEOUT) &&
                   (Attributes->Parity >= NoParity) && (Attributes->Parity <= SpaceParity) &&
                   (Attributes->StopBits >= OneStopBit) && (Attributes->StopBits <= TwoStopBits) &&
                   (Attributes->DataBits >= 5) && (Attributes->DataBits <= 8) &&
                   ((Attributes->DataBits == 5) || (Attributes->StopBits != OneFiveStopBits)) &&
                   Chip->LineValid (Attributes));
}

BOOLEAN
FtdiAttributesValid (
  IN CONST SERIAL_ATTRIBUTES  *Attributes
  )
{
  return UsbSerialAttributesValid (&gFtdiChip, Attributes);
}

EFI_STATUS
FtdiSyncChildPath (
  IN FTDI_SERIAL_DEVICE  *Device
  )
{
  CONST SERIAL_ATTRIBUTES  *Last = &Device->LastAttributes;
  UART_DEVICE_PATH         *Uart = &Device->UartNode;
  UINT32                   Map   = Device->LineControl.HardwareFlowControl ? UART_FLOW_CONTROL_HARDWARE : 0;
  {
    // An unplug stops the adapter at TPL_CALLBACK and frees the record written here.
    TplGuard  Tpl (TPL_NOTIFY);
    if ((Uart->BaudRate == Last->BaudRate) && (Uart->DataBits == Last->DataBits) && (Uart->Parity == Last->Parity) &&
        (Uart->StopBits == Last->StopBits) && (Device->FlowControlNode.FlowControlMap == Map))
    {
      return EFI_SUCCESS;
    }

    Uart->BaudRate                         = Last->BaudRate;
    Uart->DataBits                         = Last->DataBits;
    Uart->Parity                           = static_cast<UINT8>(Last->Parity);
    Uart->StopBits                         = static_cast<UINT8>(Last->StopBits);
    Device->FlowControlNode.FlowControlMap = Map;
    UART_DEVICE_PATH               *Node = reinterpret_cast<UART_DEVICE_PATH *>(FindChildNode (Device, MSG_UART_DP, sizeof (UART_DEVICE_PATH)));
    UART_FLOW_CONTROL_DEVICE_PATH  *Flow = reinterpret_cast<UART_FLOW_CONTROL_DEVICE_PATH *>(
                                                                                             FindChildNode (Device, MSG_VENDOR_DP, sizeof (UART_FLOW_CONTROL_DEVICE_PATH)));
    if ((Node == NULL) || (Flow == NULL)) {
      return EFI_SUCCESS;
    }

    CopyMem (Node, Uart, sizeof (*Uart));
    WriteUnaligned32 (&Flow->FlowControlMap, Map);
  }

  // A consumer that holds the path (a terminal matched against a console variable) must
  // learn that it changed, as it would from a UART's own driver. With none, a reinstall
  // would only have the firmware offer the line around again from inside the caller's
  // call, a reader's probe on someone else's line included.
  BOOLEAN  Held = FALSE;

  (VOID)OpenInfoForEach (
                         Device->ChildHandle,
                         &gEfiDevicePathProtocolGuid,
                         [&Held](CONST EFI_OPEN_PROTOCOL_INFORMATION_ENTRY &Entry) -> BOOLEAN {
    Held |= (BOOLEAN)((Entry.Attributes & EFI_OPEN_PROTOCOL_BY_DRIVER) != 0);
    return TRUE;
  }
                         );
  return Held ? gBS->ReinstallProtocolInterface (Device->ChildHandle, &gEfiDevicePathProtocolGuid, Device->ChildDevicePath, Device->ChildDevicePath)
              : EFI_SUCCESS;
}

EFI_STATUS
FtdiSetBaudRate (
  IN EFI_USB_IO_PROTOCOL  *UsbIo,
  IN UINT64               BaudRate,
  IN UINT64               Fallback
  )
{
  TplGuard    Tpl (TPL_NOTIFY);
  UINT16      Divisor;
  EFI_STATUS  Status = BaudDivisor (BaudRate, Fallback, &Divisor);

  if (EFI_ERROR (Status)) {
    return Status;
  }

  // A single-port chip reads wIndex as the divisor's bit 16, the third fraction bit, which
  // the fractions this driver picks never use: the port number there would slow the line
  // by 1 to 13 %.
  if (EFI_ERROR (FtdiVendorRequest (UsbIo, FTDI_REQUEST_SET_BAUD_RATE, Divisor, 0, FTDI_TIMEOUT_LINE))) {
    return EFI_DEVICE_ERROR;
  }

  return EFI_SUCCESS;
}

namespace {
// Checks, sends and records the attributes at TPL_NOTIFY; the path is left to the caller,
// whose TPL a reinstall needs.
EFI_STATUS
ProgramAttributes (
  FTDI_SERIAL_DEVICE  *Device,
  UINT64              BaudRate,
  UINT32              ReceiveFifoDepth,
  UINT32              Timeout,
  EFI_PARITY_TYPE     Parity,
  UINT8               DataBits,
  EFI_STOP_BITS_TYPE  StopBits
  )
{
  TplGuard  Tpl (TPL_NOTIFY);

  SERIAL_ATTRIBUTES  *Last = &Device->LastAttributes;
  SERIAL_ATTRIBUTES  New;

  New.BaudRate         = (BaudRate != 0) ? BaudRate : Last->BaudRate;
  New.ReceiveFifoDepth = (ReceiveFifoDepth != 0) ? ReceiveFifoDepth : FTDI_DEFAULT_FIFO_DEPTH;
  New.Timeout          = (Timeout != 0) ? Timeout : FTDI_DEFAULT_TIMEOUT;
  New.Parity           = (Parity != DefaultParity) ? static_cast<UINT32>(Parity) : Last->Parity;
  New.DataBits         = (DataBits != 0) ? DataBits : Last->DataBits;
  New.StopBits         = (StopBits != DefaultStopBits) ? static_cast<UINT32>(StopBits) : Last->StopBits;

  // Everything is checked before anything is sent, so a refused call leaves the chip
  // running what the mode says rather than a new framing at the old rate.
  if (!UsbSerialAttributesValid (Device->Chip, &New)) {
    return EFI_INVALID_PARAMETER;
  }

  if (EFI_ERROR (Device->Chip->SetLine (Device, &New))) {
    return EFI_DEVICE_ERROR;
  }

  *Last             = New;
  Device->DrainOnly = FALSE;
  EFI_SERIAL_IO_MODE  *Mode = &Device->SerialMode;

  Mode->BaudRate         = New.BaudRate;
  Mode->ReceiveFifoDepth = New.ReceiveFifoDepth;
  Mode->Timeout          = New.Timeout;
  Mode->Parity           = New.Parity;
  Mode->DataBits         = New.DataBits;
  Mode->StopBits         = New.StopBits;

  return EFI_SUCCESS;
}
} // namespace

EFI_STATUS
SetAttributesInternal (
  IN FTDI_SERIAL_DEVICE  *Device,
  IN UINT64              BaudRate,
  IN UINT32              ReceiveFifoDepth,
  IN UINT32              Timeout,
  IN EFI_PARITY_TYPE     Parity,
  IN UINT8               DataBits,
  IN EFI_STOP_BITS_TYPE  StopBits
  )
{
  EFI_STATUS  Status = ProgramAttributes (Device, BaudRate, ReceiveFifoDepth, Timeout, Parity, DataBits, StopBits);

  return EFI_ERROR (Status) ? Status : FtdiSyncChildPath (Device);
}

namespace {
// Sends and records the lines at TPL_NOTIFY; the path is left to the caller.
EFI_STATUS
ProgramControlBits (
  FTDI_SERIAL_DEVICE  *Device,
  LINE_CONTROL        *Control
  )
{
  // An unplug stops the adapter at TPL_CALLBACK and frees the record written here.
  TplGuard  Tpl (TPL_NOTIFY);

  Control->HardwareLoopback = FALSE;
  Control->SoftwareLoopback = FALSE;

  if (EFI_ERROR (Device->Chip->SetLines (Device, Control))) {
    return EFI_DEVICE_ERROR;
  }

  Device->LineControl.HardwareFlowControl = Control->HardwareFlowControl;
  Device->LineControl.DtrOn               = Control->DtrOn;
  Device->LineControl.RtsOn               = Control->RtsOn;
  Device->LineControl.HardwareLoopback    = FALSE;
  Device->LineControl.SoftwareLoopback    = FALSE;
  return EFI_SUCCESS;
}
} // namespace

EFI_STATUS
SetControlBitsInternal (
  IN FTDI_SERIAL_DEVICE  *Device,
  IN LINE_CONTROL        *Control
  )
{
  EFI_STATUS  Status = ProgramControlBits (Device, Control);

  return EFI_ERROR (Status) ? Status : FtdiSyncChildPath (Device);
}

namespace {
// The FT232's own table entry: its ID alone, and a manufacturer string it must give.
BOOLEAN
FtdiMatchesId (
  EFI_USB_IO_PROTOCOL                 *UsbIo,
  CONST EFI_USB_DEVICE_DESCRIPTOR     *DeviceDescriptor,
  CONST EFI_USB_INTERFACE_DESCRIPTOR  *InterfaceDescriptor,
  BOOLEAN                             Ft232
  )
{
  if (!UsbBridgeIdMatches (
                           UsbBridgeFtdi,
                           DeviceDescriptor->IdVendor,
                           DeviceDescriptor->IdProduct,
                           InterfaceDescriptor->InterfaceNumber,
                           Ft232
                           ))
  {
    return FALSE;
  }

  CHAR16   *Manufacturer = NULL;
  BOOLEAN  Named         = (BOOLEAN) !EFI_ERROR (
                                                 UsbIo->UsbGetStringDescriptor (
                                                                                UsbIo,
                                                                                FTDI_LANGUAGE_ENGLISH_US,
                                                                                DeviceDescriptor->StrManufacturer,
                                                                                &Manufacturer
                                                                                )
                                                 );

  if (Manufacturer != NULL) {
    FreePool (Manufacturer);
  }

  return Named;
}

BOOLEAN
Ft232Matches (
  EFI_USB_IO_PROTOCOL                 *UsbIo,
  CONST EFI_USB_DEVICE_DESCRIPTOR     *DeviceDescriptor,
  CONST EFI_USB_INTERFACE_DESCRIPTOR  *InterfaceDescriptor
  )
{
  return FtdiMatchesId (UsbIo, DeviceDescriptor, InterfaceDescriptor, TRUE);
}

BOOLEAN
FtdiKinMatches (
  EFI_USB_IO_PROTOCOL                 *UsbIo,
  CONST EFI_USB_DEVICE_DESCRIPTOR     *DeviceDescriptor,
  CONST EFI_USB_INTERFACE_DESCRIPTOR  *InterfaceDescriptor
  )
{
  return FtdiMatchesId (UsbIo, DeviceDescriptor, InterfaceDescriptor, FALSE);
}

BOOLEAN
FtdiLineValid (
  CONST SERIAL_ATTRIBUTES  *Attributes
  )
{
  UINT16  Divisor;

  return (BOOLEAN) !EFI_ERROR (BaudDivisor (Attributes->BaudRate, Attributes->BaudRate, &Divisor));
}

EFI_STATUS
FtdiSetLine (
  FTDI_SERIAL_DEVICE       *Device,
  CONST SERIAL_ATTRIBUTES  *New
  )
{
  if (EFI_ERROR (
                 FtdiSetLineProperties (
                                        Device->UsbIo,
                                        New->DataBits,
                                        static_cast<EFI_PARITY_TYPE>(New->Parity),
                                        static_cast<EFI_STOP_BITS_TYPE>(New->StopBits),
                                        &Device->LastAttributes
                                        )
                 ) ||
      EFI_ERROR (FtdiSetBaudRate (Device->UsbIo, New->BaudRate, New->BaudRate)))
  {
    return EFI_DEVICE_ERROR;
  }

  return EFI_SUCCESS;
}

EFI_STATUS
FtdiSetLines (
  FTDI_SERIAL_DEVICE  *Device,
  CONST LINE_CONTROL  *Control
  )
{
  if (EFI_ERROR (
                 FtdiVendorRequest (
                                    Device->UsbIo,
                                    FTDI_REQUEST_FLOW_CTRL,
                                    0,
                                    (Control->HardwareFlowControl ? FTDI_FLOW_CTRL_RTS_CTS : FTDI_FLOW_CTRL_NONE) | FTDI_REQUEST_INDEX,
                                    FTDI_TIMEOUT_CONTROL
                                    )
                 ) ||
      EFI_ERROR (
                 FtdiVendorRequest (
                                    Device->UsbIo,
                                    FTDI_REQUEST_MODEM_CTRL,
                                    Control->DtrOn ? FTDI_SET_DTR_HIGH : FTDI_SET_DTR_LOW,
                                    FTDI_REQUEST_INDEX,
                                    FTDI_TIMEOUT_CONTROL
                                    )
                 ) ||
      EFI_ERROR (
                 FtdiVendorRequest (
                                    Device->UsbIo,
                                    FTDI_REQUEST_MODEM_CTRL,
                                    Control->RtsOn ? FTDI_SET_RTS_HIGH : FTDI_SET_RTS_LOW,
                                    FTDI_REQUEST_INDEX,
                                    FTDI_TIMEOUT_CONTROL
                                    )
                 ))
  {
    return EFI_DEVICE_ERROR;
  }

  return EFI_SUCCESS;
}

EFI_STATUS
FtdiPurge (
  FTDI_SERIAL_DEVICE  *Device
  )
{
  if (EFI_ERROR (FtdiVendorRequest (Device->UsbIo, FTDI_REQUEST_RESET, FTDI_PURGE_RX, FTDI_REQUEST_INDEX, FTDI_TIMEOUT_CONTROL)) ||
      EFI_ERROR (FtdiVendorRequest (Device->UsbIo, FTDI_REQUEST_RESET, FTDI_PURGE_TX, FTDI_REQUEST_INDEX, FTDI_TIMEOUT_CONTROL)))
  {
    return EFI_DEVICE_ERROR;
  }

  return EFI_SUCCESS;
}

constexpr auto  mFt232Name   = Char16 (u"Velk USB Serial Adapter");
constexpr auto  mFtdiKinName = Char16 (u"FTDI USB UART");
} // namespace

CONST USB_SERIAL_CHIP  gFtdiChip = {
  mFt232Name.Text,
  Ft232Matches,
  NULL,
  FtdiLineValid,
  FtdiSetLine,
  FtdiSetLines,
  FtdiPurge,
  NULL,
  FTDI_STATUS_SIZE,
  FTDI_BULK_IN_ADDRESS,
  FTDI_BULK_OUT_ADDRESS,
  FTDI_CONTROL_SETTABLE,
  FTDI_CONTROL_MASK
};

// FT-X, FT232H and the first port of the FT2232 and FT4232 take the FT232's requests and
// head their packets alike; port A's index is the FT232's.
CONST USB_SERIAL_CHIP  gFtdiKinChip = {
  mFtdiKinName.Text,
  FtdiKinMatches,
  NULL,
  FtdiLineValid,
  FtdiSetLine,
  FtdiSetLines,
  FtdiPurge,
  NULL,
  FTDI_STATUS_SIZE,
  FTDI_BULK_IN_ADDRESS,
  FTDI_BULK_OUT_ADDRESS,
  FTDI_CONTROL_SETTABLE,
  FTDI_CONTROL_MASK
};
