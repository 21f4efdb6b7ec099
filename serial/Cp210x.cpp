/** @file
  The CP210x bridge: interface requests that enable its UART and program its line.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/
#include "FtdiSerial.h"

// Interface requests; wIndex names the interface.
#define CP210X_REQUEST_TYPE_OUT  0x41
#define CP210X_REQUEST_TYPE_IN   0xC1
#define CP210X_IFC_ENABLE        0x00
#define CP210X_SET_LINE_CTL      0x03
#define CP210X_SET_MHS           0x07
#define CP210X_GET_MDMSTS        0x08
#define CP210X_PURGE             0x12
#define CP210X_SET_FLOW          0x13
#define CP210X_SET_BAUDRATE      0x1E

#define CP210X_UART_ENABLE  0x0001
#define CP210X_PURGE_ALL    0x000F
// SET_MHS changes a line only where its mask bit is set, so both masks always go.
#define CP210X_MHS_DTR    0x0001
#define CP210X_MHS_RTS    0x0002
#define CP210X_MHS_MASKS  0x0300
// SET_FLOW: DTR stays where SET_MHS puts it; RTS is driven statically or by the receiver.
#define CP210X_HANDSHAKE_DTR_ON  0x01
#define CP210X_HANDSHAKE_CTS     0x08
#define CP210X_REPLACE_RTS_ON    0x40
#define CP210X_REPLACE_RTS_FLOW  0x80
#define CP210X_FLOW_SIZE         16

#define CP210X_MIN_BAUD  300
#define CP210X_MAX_BAUD  921600

namespace {
constexpr auto  mCp210xName = Char16 (u"CP210x USB UART");

/**
  The LINE_CTL codes of a framing.

  @param[in]  Attributes  The framing.
  @param[out] Parity      The parity code (bits 4-7 of the word).
  @param[out] StopBits    The stop-bits code (bits 0-3).

  @retval TRUE   Both have a code.
  @retval FALSE  A value the chip has no code for.
**/
BOOLEAN
Cp210xLineCodes (
  CONST SERIAL_ATTRIBUTES  *Attributes,
  UINT16                   *Parity,
  UINT16                   *StopBits
  )
{
  switch (Attributes->Parity) {
    case NoParity:    *Parity = 0;
      break;
    case OddParity:   *Parity = 1;
      break;
    case EvenParity:  *Parity = 2;
      break;
    case MarkParity:  *Parity = 3;
      break;
    case SpaceParity: *Parity = 4;
      break;
    default:          return FALSE;
  }

  switch (Attributes->StopBits) {
    case OneStopBit:      *StopBits = 0;
      break;
    case OneFiveStopBits: *StopBits = 1;
      break;
    case TwoStopBits:     *StopBits = 2;
      break;
    default:              return FALSE;
  }

  return TRUE;
}

BOOLEAN
Cp210xMatches (
  EFI_USB_IO_PROTOCOL                 *UsbIo,
  CONST EFI_USB_DEVICE_DESCRIPTOR     *DeviceDescriptor,
  CONST EFI_USB_INTERFACE_DESCRIPTOR  *InterfaceDescriptor
  )
{
  return UsbBridgeIdMatches (
                             UsbBridgeCp210x,
                             DeviceDescriptor->IdVendor,
                             DeviceDescriptor->IdProduct,
                             InterfaceDescriptor->InterfaceNumber
                             );
}

// Nothing passes the chip while its UART is disabled, as it is after every reset.
EFI_STATUS
Cp210xOpen (
  FTDI_SERIAL_DEVICE  *Device
  )
{
  return UsbSerialControl (
                           Device->UsbIo,
                           CP210X_REQUEST_TYPE_OUT,
                           CP210X_IFC_ENABLE,
                           CP210X_UART_ENABLE,
                           Device->RequestInterface,
                           NULL,
                           0
                           );
}

BOOLEAN
Cp210xLineValid (
  CONST SERIAL_ATTRIBUTES  *Attributes
  )
{
  UINT16  Parity;
  UINT16  StopBits;

  return (BOOLEAN)((Attributes->BaudRate >= CP210X_MIN_BAUD) &&
                   (Attributes->BaudRate <= CP210X_MAX_BAUD) &&
                   Cp210xLineCodes (Attributes, &Parity, &StopBits));
}

EFI_STATUS
Cp210xSetLine (
  FTDI_SERIAL_DEVICE       *Device,
  CONST SERIAL_ATTRIBUTES  *New
  )
{
  UINT16  Parity;
  UINT16  StopBits;

  if (!Cp210xLineCodes (New, &Parity, &StopBits)) {
    return EFI_DEVICE_ERROR;
  }

  EFI_STATUS  Status = UsbSerialControl (
                                         Device->UsbIo,
                                         CP210X_REQUEST_TYPE_OUT,
                                         CP210X_SET_LINE_CTL,
                                         (UINT16)(StopBits | (Parity << 4) | ((UINT16)New->DataBits << 8)),
                                         Device->RequestInterface,
                                         NULL,
                                         0
                                         );

  if (EFI_ERROR (Status)) {
    return Status;
  }

  UINT32  Rate         = (UINT32)New->BaudRate;
  UINT8   RateBytes[4] = { (UINT8)Rate, (UINT8)(Rate >> 8), (UINT8)(Rate >> 16), (UINT8)(Rate >> 24) };

  return UsbSerialControl (
                           Device->UsbIo,
                           CP210X_REQUEST_TYPE_OUT,
                           CP210X_SET_BAUDRATE,
                           0,
                           Device->RequestInterface,
                           RateBytes,
                           sizeof (RateBytes)
                           );
}

// Flow control first: with RTS back in static mode, SET_MHS then drives it as asked.
EFI_STATUS
Cp210xSetLines (
  FTDI_SERIAL_DEVICE  *Device,
  CONST LINE_CONTROL  *Control
  )
{
  UINT8  Flow[CP210X_FLOW_SIZE] = { 0 };

  Flow[0] = Control->HardwareFlowControl ? (CP210X_HANDSHAKE_DTR_ON | CP210X_HANDSHAKE_CTS) : CP210X_HANDSHAKE_DTR_ON;
  Flow[4] = Control->HardwareFlowControl ? CP210X_REPLACE_RTS_FLOW : CP210X_REPLACE_RTS_ON;

  EFI_STATUS  Status = UsbSerialControl (
                                         Device->UsbIo,
                                         CP210X_REQUEST_TYPE_OUT,
                                         CP210X_SET_FLOW,
                                         0,
                                         Device->RequestInterface,
                                         Flow,
                                         sizeof (Flow)
                                         );

  if (EFI_ERROR (Status)) {
    return Status;
  }

  UINT16  Lines = CP210X_MHS_MASKS;

  if (Control->DtrOn) {
    Lines |= CP210X_MHS_DTR;
  }

  if (Control->RtsOn) {
    Lines |= CP210X_MHS_RTS;
  }

  return UsbSerialControl (
                           Device->UsbIo,
                           CP210X_REQUEST_TYPE_OUT,
                           CP210X_SET_MHS,
                           Lines,
                           Device->RequestInterface,
                           NULL,
                           0
                           );
}

EFI_STATUS
Cp210xPurge (
  FTDI_SERIAL_DEVICE  *Device
  )
{
  return UsbSerialControl (
                           Device->UsbIo,
                           CP210X_REQUEST_TYPE_OUT,
                           CP210X_PURGE,
                           CP210X_PURGE_ALL,
                           Device->RequestInterface,
                           NULL,
                           0
                           );
}

EFI_STATUS
Cp210xReadModemStatus (
  FTDI_SERIAL_DEVICE  *Device
  )
{
  UINT8       Lines  = 0;
  EFI_STATUS  Status = UsbSerialControl (
                                         Device->UsbIo,
                                         CP210X_REQUEST_TYPE_IN,
                                         CP210X_GET_MDMSTS,
                                         0,
                                         Device->RequestInterface,
                                         &Lines,
                                         sizeof (Lines)
                                         );

  if (EFI_ERROR (Status)) {
    return Status;
  }

  Device->ModemStatus.Cts = (BOOLEAN)((Lines & BIT4) != 0);
  Device->ModemStatus.Dsr = (BOOLEAN)((Lines & BIT5) != 0);
  Device->ModemStatus.Ri  = (BOOLEAN)((Lines & BIT6) != 0);
  Device->ModemStatus.Dcd = (BOOLEAN)((Lines & BIT7) != 0);
  return EFI_SUCCESS;
}
} // namespace

CONST USB_SERIAL_CHIP  gCp210xChip = {
  mCp210xName.Text,
  Cp210xMatches,
  Cp210xOpen,
  Cp210xLineValid,
  Cp210xSetLine,
  Cp210xSetLines,
  Cp210xPurge,
  Cp210xReadModemStatus,
  0,                                     // PacketHeader: the bulk data is raw
  0,                                     // BulkInAddress
  0,                                     // BulkOutAddress
  FTDI_CONTROL_SETTABLE,
  FTDI_CONTROL_SETTABLE | EFI_SERIAL_CLEAR_TO_SEND | EFI_SERIAL_DATA_SET_READY | EFI_SERIAL_RING_INDICATE |
  EFI_SERIAL_CARRIER_DETECT | EFI_SERIAL_INPUT_BUFFER_EMPTY | EFI_SERIAL_OUTPUT_BUFFER_EMPTY
};
