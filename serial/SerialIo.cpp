/** @file
  The six Serial I/O operations of an FT232 adapter's child handle.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/
#include "FtdiSerial.h"

namespace {
EFI_STATUS
EFIAPI
FtdiSerialReset (
  IN EFI_SERIAL_IO_PROTOCOL  *This
  )
{
  FTDI_SERIAL_DEVICE  *Device = FtdiFromSerialIo (This);
  TplGuard            Tpl (TPL_NOTIFY);

  // Only a halted endpoint is cleared: clearing a working one resets the chip's data
  // toggle behind the back of a host controller that keeps its own, and the next packet
  // would be dropped as a repeat.
  UINT32  UsbStatus;

  if (Device->InHalted && EFI_ERROR (UsbClearEndpointHalt (Device->UsbIo, Device->BulkInEndpoint.EndpointAddress, &UsbStatus))) {
    return EFI_DEVICE_ERROR;
  }

  Device->InHalted = FALSE;
  if (Device->OutHalted && EFI_ERROR (UsbClearEndpointHalt (Device->UsbIo, Device->BulkOutEndpoint.EndpointAddress, &UsbStatus))) {
    return EFI_DEVICE_ERROR;
  }

  Device->OutHalted = FALSE;
  if (EFI_ERROR (Device->Chip->Purge (Device))) {
    return EFI_DEVICE_ERROR;
  }

  // A chip that answers its purge is there, so a port a failed transfer gave up on works
  // again. What the ring still holds came before the purge and goes with the chip's.
  Device->DeviceFailed   = FALSE;
  Device->RingHead       = Device->RingTail;
  Device->ControlStatus |= EFI_SERIAL_INPUT_BUFFER_EMPTY;
  return EFI_SUCCESS;
}

EFI_STATUS
EFIAPI
FtdiSerialSetAttributes (
  IN EFI_SERIAL_IO_PROTOCOL  *This,
  IN UINT64                  BaudRate,
  IN UINT32                  ReceiveFifoDepth,
  IN UINT32                  Timeout,
  IN EFI_PARITY_TYPE         Parity,
  IN UINT8                   DataBits,
  IN EFI_STOP_BITS_TYPE      StopBits
  )
{
  return SetAttributesInternal (FtdiFromSerialIo (This), BaudRate, ReceiveFifoDepth, Timeout, Parity, DataBits, StopBits);
}

EFI_STATUS
EFIAPI
FtdiSerialSetControl (
  IN EFI_SERIAL_IO_PROTOCOL  *This,
  IN UINT32                  Control
  )
{
  if ((Control & ~FtdiFromSerialIo (This)->Chip->ControlSettable) != 0) {
    return EFI_UNSUPPORTED;
  }

  LINE_CONTROL  Lines;

  Lines.HardwareFlowControl = (BOOLEAN)((Control & EFI_SERIAL_HARDWARE_FLOW_CONTROL_ENABLE) != 0);
  Lines.DtrOn               = (BOOLEAN)((Control & EFI_SERIAL_DATA_TERMINAL_READY) != 0);
  Lines.RtsOn               = (BOOLEAN)((Control & EFI_SERIAL_REQUEST_TO_SEND) != 0);
  Lines.HardwareLoopback    = FALSE;
  Lines.SoftwareLoopback    = FALSE;
  return SetControlBitsInternal (FtdiFromSerialIo (This), &Lines);
}

EFI_STATUS
EFIAPI
FtdiSerialGetControl (
  IN  EFI_SERIAL_IO_PROTOCOL  *This,
  OUT UINT32                  *Control
  )
{
  FTDI_SERIAL_DEVICE  *Device = FtdiFromSerialIo (This);
  UINT32              Bits    = 0;
  // An unplug stops the adapter at TPL_CALLBACK and frees the record read here.
  TplGuard  Tpl (TPL_NOTIFY);

  Device->ControlAsked = TRUE;
  if (Device->ModemStatus.Cts) {
    Bits |= EFI_SERIAL_CLEAR_TO_SEND;
  }

  if (Device->ModemStatus.Dsr) {
    Bits |= EFI_SERIAL_DATA_SET_READY;
  }

  if (Device->ModemStatus.Ri) {
    Bits |= EFI_SERIAL_RING_INDICATE;
  }

  if (Device->ModemStatus.Dcd) {
    Bits |= EFI_SERIAL_CARRIER_DETECT;
  }

  if (Device->LineControl.DtrOn) {
    Bits |= EFI_SERIAL_DATA_TERMINAL_READY;
  }

  if (Device->LineControl.RtsOn) {
    Bits |= EFI_SERIAL_REQUEST_TO_SEND;
  }

  if (Device->LineControl.HardwareLoopback) {
    Bits |= EFI_SERIAL_HARDWARE_LOOPBACK_ENABLE;
  }

  if (Device->LineControl.HardwareFlowControl) {
    Bits |= EFI_SERIAL_HARDWARE_FLOW_CONTROL_ENABLE;
  }

  // Write buffers nothing, so the way out is always empty. What the chip holds reaches
  // the ring from the idle loop, which never runs inside the timer interrupt, so a
  // terminal polling here sees typed keys by its next tick rather than the next poll.
  Bits |= EFI_SERIAL_OUTPUT_BUFFER_EMPTY;
  if (FtdiRingEmpty (Device)) {
    Bits |= EFI_SERIAL_INPUT_BUFFER_EMPTY;
    if (!Device->DeviceFailed) {
      TickWitnessRequest (&Device->PollClock);
    }
  } else {
    Device->DrainOnly = TRUE;
  }

  if (Device->LineControl.SoftwareLoopback) {
    Bits |= EFI_SERIAL_SOFTWARE_LOOPBACK_ENABLE;
  }

  *Control = Bits;
  return EFI_SUCCESS;
}

EFI_STATUS
EFIAPI
FtdiSerialWrite (
  IN     EFI_SERIAL_IO_PROTOCOL  *This,
  IN OUT UINTN                   *BufferSize,
  IN     VOID                    *Buffer
  )
{
  FTDI_SERIAL_DEVICE  *Device = FtdiFromSerialIo (This);

  // The host controller would refuse it before setting a USB result, which reads as a dead chip.
  if ((*BufferSize != 0) && (Buffer == NULL)) {
    return EFI_INVALID_PARAMETER;
  }

  TplGuard  Tpl (TPL_NOTIFY);

  if (Device->DeviceFailed) {
    return EFI_DEVICE_ERROR;
  }

  // One packet a transfer: a host controller may count nothing done for a transfer that
  // timed out (XHCI does), so only a single packet's fate is known for certain, and a
  // caller that resends the rest must not repeat what went.
  UINTN  Packet = Device->BulkOutEndpoint.MaxPacketSize;

  if ((Packet == 0) || (Packet > FTDI_PACKET_BUFFER_SIZE)) {
    Packet = FTDI_PACKET_BUFFER_SIZE;
  }

  // Each packet may wait for the chip to send its transmit buffer and the packet itself at
  // the line's rate, up to twelve bits a character.
  UINT32  Baud    = static_cast<UINT32>(Device->LastAttributes.BaudRate);
  UINT32  Timeout = FTDI_TIMEOUT_BULK_OUT +
                    (static_cast<UINT32>(FTDI_CHIP_TX_BUFFER + Packet) * 12 * 1000 + Baud - 1) / Baud;
  UINT8       *Bytes = static_cast<UINT8 *>(Buffer);
  UINTN       Sent   = 0;
  EFI_STATUS  Status = EFI_SUCCESS;

  while ((Sent < *BufferSize) && !EFI_ERROR (Status)) {
    UINTN  Length = MIN (Packet, *BufferSize - Sent);
    Status = FtdiBulkTransfer (Device, TRUE, Bytes + Sent, &Length, Timeout);
    if (!EFI_ERROR (Status) || (Status == EFI_TIMEOUT)) {
      Sent += Length;
    }
  }

  *BufferSize = Sent;
  if (EFI_ERROR (Status)) {
    return (Status == EFI_TIMEOUT) ? EFI_TIMEOUT : EFI_DEVICE_ERROR;
  }

  return EFI_SUCCESS;
}

EFI_STATUS
EFIAPI
FtdiSerialRead (
  IN     EFI_SERIAL_IO_PROTOCOL  *This,
  IN OUT UINTN                   *BufferSize,
  OUT    VOID                    *Buffer
  )
{
  FTDI_SERIAL_DEVICE  *Device = FtdiFromSerialIo (This);

  if (*BufferSize == 0) {
    return EFI_SUCCESS;
  }

  if (Buffer == NULL) {
    return EFI_DEVICE_ERROR;
  }

  // An unplug stops the adapter at TPL_CALLBACK and frees the ring and the record read here.
  TplGuard  Tpl (TPL_NOTIFY);
  UINT8     *Out  = static_cast<UINT8 *>(Buffer);
  UINTN     Taken = 0;

  while ((Taken < *BufferSize) && !FtdiRingEmpty (Device)) {
    Out[Taken++]     = Device->Ring[Device->RingHead];
    Device->RingHead = (Device->RingHead + 1) & FTDI_RING_MASK;
  }

  EFI_STATUS  Status = EFI_SUCCESS;

  if (Taken < *BufferSize) {
    if (Device->DeviceFailed) {
      Status      = EFI_DEVICE_ERROR;
      *BufferSize = Taken;
    } else if (Device->DrainOnly) {
      Device->DrainOnly = FALSE;
      Status            = EFI_TIMEOUT;
      *BufferSize       = Taken;
    } else {
      UINTN  Missing = *BufferSize - Taken;
      Status = FtdiReceivePacket (Device, &Missing, Out + Taken);
      Taken += EFI_ERROR (Status) ? 0 : Missing;
      // A chip with nothing to send still answers with its status pair; a read that
      // found less than asked has timed out, or a flush loop reading until an error
      // would never end.
      if (!EFI_ERROR (Status) && (Taken < *BufferSize)) {
        Status = EFI_TIMEOUT;
      }

      *BufferSize = Taken;
    }
  }

  if (FtdiRingEmpty (Device)) {
    Device->ControlStatus |= EFI_SERIAL_INPUT_BUFFER_EMPTY;
  } else {
    Device->ControlStatus &= ~static_cast<UINT32>(EFI_SERIAL_INPUT_BUFFER_EMPTY);
  }

  return Status;
}
} // namespace

CONST EFI_SERIAL_IO_PROTOCOL  gFtdiSerialIoTemplate = {
  EFI_SERIAL_IO_PROTOCOL_REVISION1p1,
  FtdiSerialReset,
  FtdiSerialSetAttributes,
  FtdiSerialSetControl,
  FtdiSerialGetControl,
  FtdiSerialWrite,
  FtdiSerialRead,
  NULL
};
