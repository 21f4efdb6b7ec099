/** @file
  The CH340 and CH341 bridges: vendor requests that write the chip's rate, line and
  flow-control registers.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/
#include "FtdiSerial.h"

#define CH340_REQUEST_TYPE_OUT  0x40
#define CH340_REQUEST_TYPE_IN   0xC0
#define CH340_READ_VERSION      0x5F
#define CH340_SERIAL_INIT       0xA1
#define CH340_READ_REG          0x95
#define CH340_WRITE_REG         0x9A
#define CH340_MODEM_CTRL        0xA4

// Register pairs, as wValue carries them (second register in the high byte).
#define CH340_REGS_RATE          0x1312
#define CH340_REGS_LCR           0x2518
#define CH340_REGS_FLOW          0x2727
#define CH340_REGS_MODEM_STATUS  0x0706

// The prescaler register: its bit 7 hands received bytes on at once instead of holding
// them for a full packet, which a reader waiting on a short reply needs.
#define CH340_PRESCALER_NOW      0x80
#define CH340_PRESCALER_FACT     0x04
#define CH340_CLOCK              48000000u
#define CH340_MAX_ERROR_PERCENT  3

#define CH340_LCR_ENABLE_RX   0x80
#define CH340_LCR_ENABLE_TX   0x40
#define CH340_LCR_MARK_SPACE  0x20
#define CH340_LCR_EVEN        0x10
#define CH340_LCR_PARITY      0x08
#define CH340_LCR_TWO_STOP    0x04

#define CH340_FLOW_RTS_CTS  0x0101
// MODEM_CTRL takes the lines inverted; the modem status register reports them so too.
#define CH340_MODEM_DTR   0x20
#define CH340_MODEM_RTS   0x40
#define CH340_STATUS_CTS  0x01
#define CH340_STATUS_DSR  0x02
#define CH340_STATUS_RI   0x04
#define CH340_STATUS_DCD  0x08

namespace {
constexpr auto  mCh340Name = Char16 (u"CH340 USB UART");

/**
  Finds the prescaler and divisor whose rate comes nearest the one asked:
  48 MHz / ((1 << (12 - 3 * ps - fact)) * (256 - d)), with 256 - d in 2..256.

  @param[in]  BaudRate   The rate asked for.
  @param[out] Prescaler  The prescaler register, with its bit 7 set.
  @param[out] Divisor    The divisor register d.

  @retval TRUE   The nearest rate is within 3 % of the one asked.
  @retval FALSE  No setting comes that close; the outputs are not valid.
**/
BOOLEAN
Ch340Divisor (
  UINT64  BaudRate,
  UINT8   *Prescaler,
  UINT8   *Divisor
  )
{
  // The fastest setting divides the clock by 8: a rate above that cannot come within 3 %
  // of it, and the bound keeps the products below in 64 bits.
  if ((BaudRate == 0) || (BaudRate > CH340_CLOCK / 4)) {
    return FALSE;
  }

  BOOLEAN  Found     = FALSE;
  UINT64   BestError = 0;
  UINT64   BestTotal = 1;

  // From the finest prescaler down, so a tie keeps the larger divisor.
  for (INT32 Ps = 3; Ps >= 0; Ps--) {
    for (INT32 Fact = 1; Fact >= 0; Fact--) {
      UINT32  Shift = (UINT32)(12 - 3 * Ps - Fact);
      // The nearest divisor is one of the two integers around the exact quotient, or the
      // range's end nearer to it.
      UINT64  Exact = DivU64x64Remainder (CH340_CLOCK, LShiftU64 (BaudRate, Shift), NULL);
      UINT64  First = MIN (MAX (Exact, 2), 256);
      UINT64  Last  = MIN (MAX (Exact + 1, 2), 256);
      for (UINT64 N = First; N <= Last; N++) {
        // |clock / total - rate| = Error / total; compare Error_a * total_b with Error_b * total_a.
        UINT64  Total = N << Shift;
        UINT64  Made  = BaudRate * Total;
        UINT64  Error = (Made > CH340_CLOCK) ? Made - CH340_CLOCK : CH340_CLOCK - Made;
        if (!Found || (Error * BestTotal < BestError * Total)) {
          Found      = TRUE;
          BestError  = Error;
          BestTotal  = Total;
          *Prescaler = (UINT8)(CH340_PRESCALER_NOW | (Fact != 0 ? CH340_PRESCALER_FACT : 0) | Ps);
          *Divisor   = (UINT8)(256 - N);
        }
      }
    }
  }

  // Every prescaler offers a divisor, so one was found: its relative error is
  // Error / (rate * total).
  return (BOOLEAN)(BestError * 100 <= CH340_MAX_ERROR_PERCENT * BaudRate * BestTotal);
}

/**
  The line control register for a framing, receiver and transmitter enabled.

  @param[in]  Attributes  The framing.
  @param[out] Lcr         The register.

  @retval TRUE   The chip has a code for it.
  @retval FALSE  1.5 stop bits, or a value outside the enums.
**/
BOOLEAN
Ch340Lcr (
  CONST SERIAL_ATTRIBUTES  *Attributes,
  UINT8                    *Lcr
  )
{
  UINT8  Value = CH340_LCR_ENABLE_RX | CH340_LCR_ENABLE_TX | (UINT8)(Attributes->DataBits - 5);

  switch (Attributes->Parity) {
    case NoParity:    break;
    case OddParity:   Value |= CH340_LCR_PARITY;
      break;
    case EvenParity:  Value |= CH340_LCR_PARITY | CH340_LCR_EVEN;
      break;
    case MarkParity:  Value |= CH340_LCR_PARITY | CH340_LCR_MARK_SPACE;
      break;
    case SpaceParity: Value |= CH340_LCR_PARITY | CH340_LCR_EVEN | CH340_LCR_MARK_SPACE;
      break;
    default:          return FALSE;
  }

  switch (Attributes->StopBits) {
    case OneStopBit:  break;
    case TwoStopBits: Value |= CH340_LCR_TWO_STOP;
      break;
    default:          return FALSE;
  }

  *Lcr = Value;
  return TRUE;
}

EFI_STATUS
Ch340WriteRegisters (
  FTDI_SERIAL_DEVICE  *Device,
  UINT16              Registers,
  UINT16              Values
  )
{
  return UsbSerialControl (
                           Device->UsbIo,
                           CH340_REQUEST_TYPE_OUT,
                           CH340_WRITE_REG,
                           Registers,
                           Values,
                           NULL,
                           0
                           );
}

BOOLEAN
Ch340Matches (
  EFI_USB_IO_PROTOCOL                 *UsbIo,
  CONST EFI_USB_DEVICE_DESCRIPTOR     *DeviceDescriptor,
  CONST EFI_USB_INTERFACE_DESCRIPTOR  *InterfaceDescriptor
  )
{
  return UsbBridgeIdMatches (
                             UsbBridgeCh340,
                             DeviceDescriptor->IdVendor,
                             DeviceDescriptor->IdProduct,
                             InterfaceDescriptor->InterfaceNumber
                             );
}

EFI_STATUS
Ch340Open (
  FTDI_SERIAL_DEVICE  *Device
  )
{
  UINT8       Version[2] = { 0 };
  EFI_STATUS  Status     = UsbSerialControl (
                                             Device->UsbIo,
                                             CH340_REQUEST_TYPE_IN,
                                             CH340_READ_VERSION,
                                             0,
                                             0,
                                             Version,
                                             sizeof (Version)
                                             );

  if (EFI_ERROR (Status)) {
    return Status;
  }

  Device->ChipVariant = Version[0];
  return UsbSerialControl (
                           Device->UsbIo,
                           CH340_REQUEST_TYPE_OUT,
                           CH340_SERIAL_INIT,
                           0,
                           0,
                           NULL,
                           0
                           );
}

BOOLEAN
Ch340LineValid (
  CONST SERIAL_ATTRIBUTES  *Attributes
  )
{
  UINT8  Prescaler;
  UINT8  Divisor;
  UINT8  Lcr;

  return (BOOLEAN)(Ch340Lcr (Attributes, &Lcr) && Ch340Divisor (Attributes->BaudRate, &Prescaler, &Divisor));
}

EFI_STATUS
Ch340SetLine (
  FTDI_SERIAL_DEVICE       *Device,
  CONST SERIAL_ATTRIBUTES  *New
  )
{
  UINT8  Prescaler;
  UINT8  Divisor;
  UINT8  Lcr;

  if (!Ch340Lcr (New, &Lcr) || !Ch340Divisor (New->BaudRate, &Prescaler, &Divisor)) {
    return EFI_DEVICE_ERROR;
  }

  EFI_STATUS  Status = Ch340WriteRegisters (Device, CH340_REGS_RATE, (UINT16)((Divisor << 8) | Prescaler));

  if (EFI_ERROR (Status)) {
    return Status;
  }

  return Ch340WriteRegisters (Device, CH340_REGS_LCR, Lcr);
}

EFI_STATUS
Ch340SetLines (
  FTDI_SERIAL_DEVICE  *Device,
  CONST LINE_CONTROL  *Control
  )
{
  EFI_STATUS  Status = Ch340WriteRegisters (
                                            Device,
                                            CH340_REGS_FLOW,
                                            Control->HardwareFlowControl ? CH340_FLOW_RTS_CTS : 0
                                            );

  if (EFI_ERROR (Status)) {
    return Status;
  }

  UINT16  Asserted = (Control->DtrOn ? CH340_MODEM_DTR : 0) | (Control->RtsOn ? CH340_MODEM_RTS : 0);

  return UsbSerialControl (
                           Device->UsbIo,
                           CH340_REQUEST_TYPE_OUT,
                           CH340_MODEM_CTRL,
                           (UINT16) ~Asserted,
                           0,
                           NULL,
                           0
                           );
}

// The chip has no request that empties its buffers.
EFI_STATUS
Ch340Purge (
  FTDI_SERIAL_DEVICE  *Device
  )
{
  return EFI_SUCCESS;
}

EFI_STATUS
Ch340ReadModemStatus (
  FTDI_SERIAL_DEVICE  *Device
  )
{
  UINT8       Registers[2] = { 0 };
  EFI_STATUS  Status       = UsbSerialControl (
                                               Device->UsbIo,
                                               CH340_REQUEST_TYPE_IN,
                                               CH340_READ_REG,
                                               CH340_REGS_MODEM_STATUS,
                                               0,
                                               Registers,
                                               sizeof (Registers)
                                               );

  if (EFI_ERROR (Status)) {
    return Status;
  }

  Device->ModemStatus.Cts = (BOOLEAN)((Registers[0] & CH340_STATUS_CTS) == 0);
  Device->ModemStatus.Dsr = (BOOLEAN)((Registers[0] & CH340_STATUS_DSR) == 0);
  Device->ModemStatus.Ri  = (BOOLEAN)((Registers[0] & CH340_STATUS_RI) == 0);
  Device->ModemStatus.Dcd = (BOOLEAN)((Registers[0] & CH340_STATUS_DCD) == 0);
  return EFI_SUCCESS;
}
} // namespace

CONST USB_SERIAL_CHIP  gCh340Chip = {
  mCh340Name.Text,
  Ch340Matches,
  Ch340Open,
  Ch340LineValid,
  Ch340SetLine,
  Ch340SetLines,
  Ch340Purge,
  Ch340ReadModemStatus,
  0,                                     // PacketHeader: the bulk data is raw
  0,                                     // BulkInAddress
  0,                                     // BulkOutAddress
  FTDI_CONTROL_SETTABLE,
  FTDI_CONTROL_SETTABLE | EFI_SERIAL_CLEAR_TO_SEND | EFI_SERIAL_DATA_SET_READY | EFI_SERIAL_RING_INDICATE |
  EFI_SERIAL_CARRIER_DETECT | EFI_SERIAL_INPUT_BUFFER_EMPTY | EFI_SERIAL_OUTPUT_BUFFER_EMPTY
};
