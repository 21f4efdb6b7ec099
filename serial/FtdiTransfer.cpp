/** @file
  The bulk wrapper, the status pairs of the bulk-IN packets, the receive ring and its poll.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/
#include "FtdiSerial.h"

namespace {
// Host controllers end a transfer the chip NAKed for its whole timeout in different words:
// NAK itself, or a timeout (XHCI) or not-executed (UHCI) status.
constexpr UINT32  IDLE_USB_STATUS = EFI_USB_ERR_NAK | EFI_USB_ERR_TIMEOUT | EFI_USB_ERR_NOTEXECUTE;
} // namespace

EFI_STATUS
FtdiBulkTransfer (
  IN     FTDI_SERIAL_DEVICE  *Device,
  IN     BOOLEAN             Write,
  IN OUT VOID                *Buffer,
  IN OUT UINTN               *Length,
  IN     UINTN               Timeout
  )
{
  if (*Length == 0) {
    return EFI_SUCCESS;
  }

  UINT8       Endpoint  = Write ? Device->BulkOutEndpoint.EndpointAddress : Device->BulkInEndpoint.EndpointAddress;
  UINT32      UsbStatus = 0;
  EFI_STATUS  Status    = Device->UsbIo->UsbBulkTransfer (Device->UsbIo, Endpoint, Buffer, Length, Timeout, &UsbStatus);

  if (!EFI_ERROR (Status)) {
    return Status;
  }

  // A host controller that words a NAK as such leaves the chip alive with nothing moved
  // yet; Serial I/O callers know that as a timeout.
  if ((UsbStatus & EFI_USB_ERR_NAK) != 0) {
    return EFI_TIMEOUT;
  }

  // A chip NAKs until the transfer times out when it has nothing to send, or, on the way out,
  // while flow control or a slow line holds back what it already has; it is alive either way.
  // A bulk-OUT may have moved some packets first, and *Length counts them.
  if ((Status == EFI_TIMEOUT) && (Write || (*Length == 0)) &&
      ((UsbStatus & ~IDLE_USB_STATUS) == 0))
  {
    return EFI_TIMEOUT;
  }

  // The host controller resets its own side of a stalled endpoint; the chip's side stays
  // halted, answering every transfer with a stall, until it is told to clear it.
  if ((UsbStatus & EFI_USB_ERR_STALL) != 0) {
    UINT32  ClearStatus;
    if (!EFI_ERROR (UsbClearEndpointHalt (Device->UsbIo, Endpoint, &ClearStatus))) {
      return Status;
    }

    if (Write) {
      Device->OutHalted = TRUE;
    } else {
      Device->InHalted = TRUE;
    }
  }

  Device->DeviceFailed = TRUE;
  return Status;
}

EFI_STATUS
UsbSerialControlWithin (
  IN     EFI_USB_IO_PROTOCOL  *UsbIo,
  IN     UINT8                RequestType,
  IN     UINT8                Request,
  IN     UINT16               Value,
  IN     UINT16               Index,
  IN OUT VOID                 *Data,
  IN     UINT16               Length,
  IN     UINT32               Timeout
  )
{
  EFI_USB_DEVICE_REQUEST  Setup;

  Setup.RequestType = RequestType;
  Setup.Request     = Request;
  Setup.Value       = Value;
  Setup.Index       = Index;
  Setup.Length      = Length;
  // A data stage only where the setup packet announces one: a chip stalls a request whose
  // stages disagree with it.
  EFI_USB_DATA_DIRECTION  Direction = (Length == 0) ? EfiUsbNoData
                                      : (((RequestType & USB_ENDPOINT_DIR_IN) != 0) ? EfiUsbDataIn : EfiUsbDataOut);
  UINT32      UsbStatus = 0;
  EFI_STATUS  Status    = UsbIo->UsbControlTransfer (
                                                     UsbIo,
                                                     &Setup,
                                                     Direction,
                                                     Timeout,
                                                     (Length == 0) ? NULL : Data,
                                                     Length,
                                                     &UsbStatus
                                                     );

  return EFI_ERROR (Status) ? EFI_DEVICE_ERROR : EFI_SUCCESS;
}

EFI_STATUS
UsbSerialControl (
  IN     EFI_USB_IO_PROTOCOL  *UsbIo,
  IN     UINT8                RequestType,
  IN     UINT8                Request,
  IN     UINT16               Value,
  IN     UINT16               Index,
  IN OUT VOID                 *Data,
  IN     UINT16               Length
  )
{
  return UsbSerialControlWithin (UsbIo, RequestType, Request, Value, Index, Data, Length, FTDI_TIMEOUT_CONTROL);
}

EFI_STATUS
FtdiDecodeModemStatus (
  IN FTDI_SERIAL_DEVICE  *Device,
  IN CONST UINT8         *Status
  )
{
  Device->ModemStatus.Cts = (BOOLEAN)((Status[0] & 0x10) != 0);
  Device->ModemStatus.Dsr = (BOOLEAN)((Status[0] & 0x20) != 0);
  Device->ModemStatus.Ri  = (BOOLEAN)((Status[0] & 0x40) != 0);
  Device->ModemStatus.Dcd = (BOOLEAN)((Status[0] & 0x80) != 0);
  return EFI_SUCCESS;
}

EFI_STATUS
FtdiReceivePacket (
  IN     FTDI_SERIAL_DEVICE  *Device,
  IN OUT UINTN               *Count,
  OUT    UINT8               *Destination OPTIONAL,
  IN     UINTN               Timeout
  )
{
  TplGuard  Tpl (TPL_NOTIFY);
  // A chip without a status header NAKs when it has nothing, so a burst that ends on a
  // packet's boundary leaves a longer transfer open until it times out, and a host
  // controller counts nothing of a transfer that timed out (XHCI) or fails it (UHCI):
  // such a chip is asked for one packet at a time.
  UINTN  Length = sizeof (Device->PacketBuffer);

  if ((Device->Chip->PacketHeader == 0) && (Device->BulkInEndpoint.MaxPacketSize != 0) &&
      (Device->BulkInEndpoint.MaxPacketSize < Length))
  {
    Length = Device->BulkInEndpoint.MaxPacketSize;
  }

  EFI_STATUS  Status = FtdiBulkTransfer (Device, FALSE, Device->PacketBuffer, &Length, Timeout);

  if (EFI_ERROR (Status)) {
    return (Status == EFI_TIMEOUT) ? EFI_TIMEOUT : EFI_DEVICE_ERROR;
  }

  // A USB stack that reports more than it was given must not walk us off the landing area.
  if (Length > sizeof (Device->PacketBuffer)) {
    Length = sizeof (Device->PacketBuffer);
  }

  // A chip with a status header puts it on every packet, not only on the transfer.
  UINTN  Header     = Device->Chip->PacketHeader;
  UINTN  PacketSize = Device->BulkInEndpoint.MaxPacketSize;

  if ((PacketSize <= Header) || (PacketSize == 0) || (PacketSize > sizeof (Device->PacketBuffer))) {
    PacketSize = sizeof (Device->PacketBuffer);
  }

  BOOLEAN  Full = FALSE;

  for (UINTN Offset = 0; (Offset < Length) && (Offset + Header <= Length); Offset += PacketSize) {
    if (Header != 0) {
      FtdiDecodeModemStatus (Device, &Device->PacketBuffer[Offset]);
    }

    for (UINTN Index = Offset + Header; !Full && Index < Offset + PacketSize && Index < Length; Index++) {
      if (((Device->RingTail + 1) & FTDI_RING_MASK) == Device->RingHead) {
        Full = TRUE;
        break;
      }

      Device->Ring[Device->RingTail] = Device->PacketBuffer[Index];
      Device->RingTail               = (Device->RingTail + 1) & FTDI_RING_MASK;
    }
  }

  UINTN  Moved = 0;

  while ((Moved < *Count) && (Destination != NULL) && !FtdiRingEmpty (Device)) {
    Destination[Moved++] = Device->Ring[Device->RingHead];
    Device->RingHead     = (Device->RingHead + 1) & FTDI_RING_MASK;
  }

  *Count = Moved;
  return EFI_SUCCESS;
}

VOID
FtdiPollRefill (
  IN VOID  *Context
  )
{
  FTDI_SERIAL_DEVICE  *Device = static_cast<FTDI_SERIAL_DEVICE *>(Context);

  // The poll refills only an empty ring, so Read never races it for RingHead.
  if (!Device->DeviceFailed && FtdiRingEmpty (Device)) {
    UINTN  Count = 0;
    // The poll's own look waits for an FT232's status pair; a chip without one has
    // nothing to wait for.
    BOOLEAN  LongLook = (BOOLEAN)(Device->PollLook && (Device->Chip->PacketHeader != 0));
    FtdiReceivePacket (Device, &Count, NULL, LongLook ? FTDI_TIMEOUT_BULK_IN : FTDI_TIMEOUT_REFILL);
  }

  // A chip whose packets carry no modem lines is asked for them on the poll's own look.
  if (Device->PollLook && !Device->DeviceFailed && (Device->Chip->ReadModemStatus != NULL)) {
    TplGuard  Tpl (TPL_NOTIFY);
    Device->Chip->ReadModemStatus (Device);
  }

  Device->PollLook = FALSE;

  if (FtdiRingEmpty (Device)) {
    Device->ControlStatus |= EFI_SERIAL_INPUT_BUFFER_EMPTY;
  } else {
    Device->ControlStatus &= ~static_cast<UINT32>(EFI_SERIAL_INPUT_BUFFER_EMPTY);
  }
}

VOID
EFIAPI
FtdiPollNotify (
  IN EFI_EVENT  Event,
  IN VOID       *Context
  )
{
  FTDI_SERIAL_DEVICE  *Device = static_cast<FTDI_SERIAL_DEVICE *>(Context);

  (VOID)Event;

  if (!FtdiRingEmpty (Device)) {
    Device->ControlStatus &= ~static_cast<UINT32>(EFI_SERIAL_INPUT_BUFFER_EMPTY);
    return;
  }

  // What the poll learns shows only through GetControl. A consumer that reads the line
  // itself (the NFC keyboard) never asks, and then the poll spares the chip and the
  // clock's witness.
  if (!Device->ControlAsked) {
    return;
  }

  Device->ControlAsked = FALSE;
  Device->PollLook     = TRUE;
  if (TickWitnessDefer (&Device->PollClock)) {
    return;
  }

  // From inside the firmware's timer interrupt, a bulk-IN on an idle line may never end.
  if (!Device->DeviceFailed && TickWitnessTicking (&Device->PollClock)) {
    FtdiPollRefill (Device);
  }
}
