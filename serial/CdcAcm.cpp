/** @file
  CDC ACM devices: bound on their data interface, whose communication interface takes
  the line coding and DTR/RTS.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/
#include "FtdiSerial.h"

#define CDC_CLASS_OUT               0x21
#define CDC_SET_LINE_CODING         0x20
#define CDC_SET_CONTROL_LINE_STATE  0x22
#define CDC_LINE_CODING_SIZE        7
#define CDC_CONTROL_DTR             0x0001
#define CDC_CONTROL_RTS             0x0002

#define CDC_CS_INTERFACE   0x24
#define CDC_UNION_SUBTYPE  0x06
// bLength, bDescriptorType, bDescriptorSubtype, bMasterInterface, one subordinate at least.
#define CDC_UNION_MIN_LENGTH  5
// More than any device's interfaces need; a longer configuration is read up to here.
#define CDC_CONFIG_MAX_LENGTH  1024

namespace {
constexpr auto  mCdcAcmName = Char16 (u"CDC ACM USB UART");

/**
  Finds the communication interface of the abstract control model whose union names
  DataInterface as a subordinate, in the first configuration (the one the bus selects).

  @param[in]  UsbIo          The device's USB I/O.
  @param[in]  DataInterface  The data interface's number.
  @param[out] Master         The communication interface's number.

  @retval EFI_SUCCESS           Found; *Master holds it.
  @retval EFI_NOT_FOUND         No such union.
  @retval EFI_DEVICE_ERROR      A descriptor could not be read.
  @retval EFI_OUT_OF_RESOURCES  No pool for the configuration.
**/
EFI_STATUS
CdcFindMaster (
  EFI_USB_IO_PROTOCOL  *UsbIo,
  UINT8                DataInterface,
  UINT8                *Master
  )
{
  EFI_USB_CONFIG_DESCRIPTOR  Header;
  UINT32                     UsbStatus;

  if (EFI_ERROR (
                 UsbGetDescriptor (
                                   UsbIo,
                                   USB_DESC_TYPE_CONFIG << 8,
                                   0,
                                   sizeof (Header),
                                   &Header,
                                   &UsbStatus
                                   )
                 ) ||
      (Header.DescriptorType != USB_DESC_TYPE_CONFIG) ||
      (Header.TotalLength < sizeof (Header)))
  {
    return EFI_DEVICE_ERROR;
  }

  UINT16  Length = MIN (Header.TotalLength, CDC_CONFIG_MAX_LENGTH);
  // Zeroed, so bytes a short answer leaves unwritten read as a descriptor of length 0,
  // which ends the walk.
  UINT8  *Config = (UINT8 *)AllocateZeroPool (Length);

  if (Config == NULL) {
    return EFI_OUT_OF_RESOURCES;
  }

  BOOLEAN     Found  = FALSE;
  EFI_STATUS  Status = UsbGetDescriptor (UsbIo, USB_DESC_TYPE_CONFIG << 8, 0, Length, Config, &UsbStatus);

  if (!EFI_ERROR (Status)) {
    BOOLEAN  InAcm  = FALSE;
    UINT16   Offset = 0;
    while (!Found && (Length - Offset >= 2)) {
      CONST UINT8  *Descriptor = Config + Offset;
      UINT8        DescLength  = Descriptor[0];
      if ((DescLength < 2) || (DescLength > Length - Offset)) {
        break;
      }

      if (Descriptor[1] == USB_DESC_TYPE_INTERFACE) {
        CONST EFI_USB_INTERFACE_DESCRIPTOR  *Interface = (CONST EFI_USB_INTERFACE_DESCRIPTOR *)Descriptor;
        // Protocol 0xFF under the ACM subclass is RNDIS, a network function.
        InAcm = (BOOLEAN)((DescLength >= sizeof (EFI_USB_INTERFACE_DESCRIPTOR)) &&
                          (Interface->InterfaceClass == USB_CDC_COMM_CLASS) &&
                          (Interface->InterfaceSubClass == USB_CDC_ACM_SUBCLASS) &&
                          (Interface->InterfaceProtocol != 0xFF));
      } else if (InAcm && (Descriptor[1] == CDC_CS_INTERFACE) &&
                 (DescLength >= CDC_UNION_MIN_LENGTH) && (Descriptor[2] == CDC_UNION_SUBTYPE))
      {
        for (UINT8 Slave = 4; Slave < DescLength; Slave++) {
          if (Descriptor[Slave] == DataInterface) {
            *Master = Descriptor[3];
            Found   = TRUE;
          }
        }
      }

      Offset = (UINT16)(Offset + DescLength);
    }
  }

  FreePool (Config);
  return EFI_ERROR (Status) ? EFI_DEVICE_ERROR : Found ? EFI_SUCCESS : EFI_NOT_FOUND;
}

/**
  The 7-byte line coding: the rate little-endian, then stop bits, parity, data bits.

  @param[in]  Attributes  The line.
  @param[out] Coding      The request's data.

  @retval EFI_SUCCESS      Every field has a code.
  @retval EFI_UNSUPPORTED  A rate of 0 or above 32 bits, or a value outside the enums.
**/
EFI_STATUS
CdcLineCoding (
  CONST SERIAL_ATTRIBUTES  *Attributes,
  UINT8                    *Coding
  )
{
  if ((Attributes->BaudRate == 0) || (Attributes->BaudRate > MAX_UINT32)) {
    return EFI_UNSUPPORTED;
  }

  UINT32  Rate = (UINT32)Attributes->BaudRate;

  Coding[0] = (UINT8)Rate;
  Coding[1] = (UINT8)(Rate >> 8);
  Coding[2] = (UINT8)(Rate >> 16);
  Coding[3] = (UINT8)(Rate >> 24);

  switch (Attributes->StopBits) {
    case OneStopBit:      Coding[4] = 0;
      break;
    case OneFiveStopBits: Coding[4] = 1;
      break;
    case TwoStopBits:     Coding[4] = 2;
      break;
    default:              return EFI_UNSUPPORTED;
  }

  switch (Attributes->Parity) {
    case NoParity:    Coding[5] = 0;
      break;
    case OddParity:   Coding[5] = 1;
      break;
    case EvenParity:  Coding[5] = 2;
      break;
    case MarkParity:  Coding[5] = 3;
      break;
    case SpaceParity: Coding[5] = 4;
      break;
    default:          return EFI_UNSUPPORTED;
  }

  Coding[6] = Attributes->DataBits;
  return EFI_SUCCESS;
}

// Any device of the class, whatever its IDs: the data interface a union names.
BOOLEAN
CdcAcmMatches (
  EFI_USB_IO_PROTOCOL                 *UsbIo,
  CONST EFI_USB_DEVICE_DESCRIPTOR     *DeviceDescriptor,
  CONST EFI_USB_INTERFACE_DESCRIPTOR  *InterfaceDescriptor
  )
{
  UINT8  Master;

  return (BOOLEAN)((InterfaceDescriptor->InterfaceClass == USB_CDC_DATA_CLASS) &&
                   !EFI_ERROR (CdcFindMaster (UsbIo, InterfaceDescriptor->InterfaceNumber, &Master)));
}

EFI_STATUS
CdcAcmOpen (
  FTDI_SERIAL_DEVICE  *Device
  )
{
  UINT8  Master;

  if (EFI_ERROR (CdcFindMaster (Device->UsbIo, Device->InterfaceDescriptor.InterfaceNumber, &Master))) {
    return EFI_DEVICE_ERROR;
  }

  // A device function answers only once a host opened the port, which it learns from
  // DTR, as operating systems raise it on open; the first SetControl sends these.
  Device->RequestInterface  = Master;
  Device->LineControl.DtrOn = TRUE;
  Device->LineControl.RtsOn = TRUE;
  return EFI_SUCCESS;
}

BOOLEAN
CdcAcmLineValid (
  CONST SERIAL_ATTRIBUTES  *Attributes
  )
{
  UINT8  Coding[CDC_LINE_CODING_SIZE];

  return (BOOLEAN) !EFI_ERROR (CdcLineCoding (Attributes, Coding));
}

EFI_STATUS
CdcAcmSetLine (
  FTDI_SERIAL_DEVICE       *Device,
  CONST SERIAL_ATTRIBUTES  *New
  )
{
  UINT8  Coding[CDC_LINE_CODING_SIZE];

  if (EFI_ERROR (CdcLineCoding (New, Coding))) {
    return EFI_DEVICE_ERROR;
  }

  return UsbSerialControl (
                           Device->UsbIo,
                           CDC_CLASS_OUT,
                           CDC_SET_LINE_CODING,
                           0,
                           Device->RequestInterface,
                           Coding,
                           sizeof (Coding)
                           );
}

// The class has no flow-control request; ControlSettable keeps SetControl from asking.
EFI_STATUS
CdcAcmSetLines (
  FTDI_SERIAL_DEVICE  *Device,
  CONST LINE_CONTROL  *Control
  )
{
  return UsbSerialControl (
                           Device->UsbIo,
                           CDC_CLASS_OUT,
                           CDC_SET_CONTROL_LINE_STATE,
                           (UINT16)((Control->DtrOn ? CDC_CONTROL_DTR : 0) | (Control->RtsOn ? CDC_CONTROL_RTS : 0)),
                           Device->RequestInterface,
                           NULL,
                           0
                           );
}

// The class has no request that empties the device's buffers.
EFI_STATUS
CdcAcmPurge (
  FTDI_SERIAL_DEVICE  *Device
  )
{
  return EFI_SUCCESS;
}
} // namespace

// The modem lines come as notifications on an interrupt endpoint this driver does not read.
CONST USB_SERIAL_CHIP  gCdcAcmChip = {
  mCdcAcmName.Text,
  CdcAcmMatches,
  CdcAcmOpen,
  CdcAcmLineValid,
  CdcAcmSetLine,
  CdcAcmSetLines,
  CdcAcmPurge,
  NULL,                                  // ReadModemStatus
  0,                                     // PacketHeader: the bulk data is raw
  0,                                     // BulkInAddress
  0,                                     // BulkOutAddress
  EFI_SERIAL_DATA_TERMINAL_READY | EFI_SERIAL_REQUEST_TO_SEND,
  EFI_SERIAL_DATA_TERMINAL_READY | EFI_SERIAL_REQUEST_TO_SEND | EFI_SERIAL_INPUT_BUFFER_EMPTY |
  EFI_SERIAL_OUTPUT_BUFFER_EMPTY
};
