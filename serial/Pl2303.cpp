/** @file
  The PL2303 bridge (HX and later): class requests for the line and DTR/RTS, vendor
  register writes for its set-up, flow control and purge.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/
#include "FtdiSerial.h"

#define PL2303_CLASS_OUT         0x21
#define PL2303_SET_LINE_REQUEST  0x20
#define PL2303_SET_CONTROL       0x22
#define PL2303_VENDOR_OUT        0x40
#define PL2303_VENDOR_IN         0xC0
#define PL2303_VENDOR_REQUEST    0x01

#define PL2303_LINE_SIZE    7
#define PL2303_CONTROL_DTR  0x0001
#define PL2303_CONTROL_RTS  0x0002

#define PL2303_REG_FLOW      0
#define PL2303_FLOW_RTS_CTS  0x61
#define PL2303_FLOW_NONE     0x01

namespace {
constexpr auto  mPl2303Name = Char16 (u"PL2303 USB UART");

// Zero written to each empties one direction's buffer.
constexpr UINT16  mPl2303PurgeRegisters[] = { 8, 9 };

struct PL2303_INIT_STEP {
  BOOLEAN    Read;
  UINT16     Register;
  UINT16     Value;
};

// The chip's initialisation, in its order, reads included; what they return is not needed.
constexpr PL2303_INIT_STEP  mPl2303Init[] = {
  { TRUE,  0x8484, 0    },
  { FALSE, 0x0404, 0    },
  { TRUE,  0x8484, 0    },
  { TRUE,  0x8383, 0    },
  { TRUE,  0x8484, 0    },
  { FALSE, 0x0404, 1    },
  { TRUE,  0x8484, 0    },
  { TRUE,  0x8383, 0    },
  { FALSE, 0,      1    },
  { FALSE, 1,      0    },
  { FALSE, 2,      0x44 },
};

// The only rates the chip's baud generator takes.
constexpr UINT32  mPl2303Rates[] = {
  75,     150,    300,    600,     1200,    1800,    2400,  3600,   4800,
  7200,   9600,   14400,  19200,   28800,   38400,   57600, 115200, 230400,
  460800, 614400, 921600, 1228800, 2457600, 3000000, 6000000
};

/**
  The 7-byte line request: the rate little-endian, then stop bits, parity, data bits.

  @param[in]  Attributes  The line.
  @param[out] Line        The request's data.

  @retval TRUE   Every field has a code.
  @retval FALSE  A parity or stop-bits value outside the enums.
**/
BOOLEAN
Pl2303LineRequest (
  CONST SERIAL_ATTRIBUTES  *Attributes,
  UINT8                    *Line
  )
{
  UINT32  Rate = (UINT32)Attributes->BaudRate;

  Line[0] = (UINT8)Rate;
  Line[1] = (UINT8)(Rate >> 8);
  Line[2] = (UINT8)(Rate >> 16);
  Line[3] = (UINT8)(Rate >> 24);

  switch (Attributes->StopBits) {
    case OneStopBit:      Line[4] = 0;
      break;
    case OneFiveStopBits: Line[4] = 1;
      break;
    case TwoStopBits:     Line[4] = 2;
      break;
    default:              return FALSE;
  }

  switch (Attributes->Parity) {
    case NoParity:    Line[5] = 0;
      break;
    case OddParity:   Line[5] = 1;
      break;
    case EvenParity:  Line[5] = 2;
      break;
    case MarkParity:  Line[5] = 3;
      break;
    case SpaceParity: Line[5] = 4;
      break;
    default:          return FALSE;
  }

  Line[6] = Attributes->DataBits;
  return TRUE;
}

EFI_STATUS
Pl2303WriteRegister (
  FTDI_SERIAL_DEVICE  *Device,
  UINT16              Register,
  UINT16              Value
  )
{
  return UsbSerialControl (
                           Device->UsbIo,
                           PL2303_VENDOR_OUT,
                           PL2303_VENDOR_REQUEST,
                           Register,
                           Value,
                           NULL,
                           0
                           );
}

BOOLEAN
Pl2303Matches (
  EFI_USB_IO_PROTOCOL                 *UsbIo,
  CONST EFI_USB_DEVICE_DESCRIPTOR     *DeviceDescriptor,
  CONST EFI_USB_INTERFACE_DESCRIPTOR  *InterfaceDescriptor
  )
{
  return UsbBridgeIdMatches (
                             UsbBridgePl2303,
                             DeviceDescriptor->IdVendor,
                             DeviceDescriptor->IdProduct,
                             InterfaceDescriptor->InterfaceNumber
                             );
}

EFI_STATUS
Pl2303Open (
  FTDI_SERIAL_DEVICE  *Device
  )
{
  for (CONST PL2303_INIT_STEP &Step : mPl2303Init) {
    UINT8       Ignored = 0;
    EFI_STATUS  Status  = Step.Read
                          ? UsbSerialControl (
                                              Device->UsbIo,
                                              PL2303_VENDOR_IN,
                                              PL2303_VENDOR_REQUEST,
                                              Step.Register,
                                              0,
                                              &Ignored,
                                              sizeof (Ignored)
                                              )
                          : Pl2303WriteRegister (Device, Step.Register, Step.Value);
    if (EFI_ERROR (Status)) {
      return Status;
    }
  }

  return EFI_SUCCESS;
}

BOOLEAN
Pl2303LineValid (
  CONST SERIAL_ATTRIBUTES  *Attributes
  )
{
  UINT8  Line[PL2303_LINE_SIZE];

  if (!Pl2303LineRequest (Attributes, Line)) {
    return FALSE;
  }

  for (UINT32 Rate : mPl2303Rates) {
    if (Attributes->BaudRate == Rate) {
      return TRUE;
    }
  }

  return FALSE;
}

EFI_STATUS
Pl2303SetLine (
  FTDI_SERIAL_DEVICE       *Device,
  CONST SERIAL_ATTRIBUTES  *New
  )
{
  UINT8  Line[PL2303_LINE_SIZE];

  if (!Pl2303LineRequest (New, Line)) {
    return EFI_DEVICE_ERROR;
  }

  return UsbSerialControl (
                           Device->UsbIo,
                           PL2303_CLASS_OUT,
                           PL2303_SET_LINE_REQUEST,
                           0,
                           Device->RequestInterface,
                           Line,
                           sizeof (Line)
                           );
}

EFI_STATUS
Pl2303SetLines (
  FTDI_SERIAL_DEVICE  *Device,
  CONST LINE_CONTROL  *Control
  )
{
  EFI_STATUS  Status = Pl2303WriteRegister (
                                            Device,
                                            PL2303_REG_FLOW,
                                            Control->HardwareFlowControl ? PL2303_FLOW_RTS_CTS : PL2303_FLOW_NONE
                                            );

  if (EFI_ERROR (Status)) {
    return Status;
  }

  return UsbSerialControl (
                           Device->UsbIo,
                           PL2303_CLASS_OUT,
                           PL2303_SET_CONTROL,
                           (UINT16)((Control->DtrOn ? PL2303_CONTROL_DTR : 0) | (Control->RtsOn ? PL2303_CONTROL_RTS : 0)),
                           Device->RequestInterface,
                           NULL,
                           0
                           );
}

EFI_STATUS
Pl2303Purge (
  FTDI_SERIAL_DEVICE  *Device
  )
{
  for (UINT16 Register : mPl2303PurgeRegisters) {
    EFI_STATUS  Status = Pl2303WriteRegister (Device, Register, 0);
    if (EFI_ERROR (Status)) {
      return Status;
    }
  }

  return EFI_SUCCESS;
}
} // namespace

// The chip reports its modem lines on an interrupt endpoint this driver does not read.
CONST USB_SERIAL_CHIP  gPl2303Chip = {
  mPl2303Name.Text,
  Pl2303Matches,
  Pl2303Open,
  Pl2303LineValid,
  Pl2303SetLine,
  Pl2303SetLines,
  Pl2303Purge,
  NULL,                                  // ReadModemStatus
  0,                                     // PacketHeader: the bulk data is raw
  0,                                     // BulkInAddress
  0,                                     // BulkOutAddress
  FTDI_CONTROL_SETTABLE,
  FTDI_CONTROL_SETTABLE | EFI_SERIAL_INPUT_BUFFER_EMPTY | EFI_SERIAL_OUTPUT_BUFFER_EMPTY
};
