/** @file
  The FT232 model behind EFI_USB_IO_PROTOCOL.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/
#include "FakeFt232.h"

#include <algorithm>
#include <cstring>

#include <gtest/gtest.h>

#include "FakeFirmware.h"

extern "C" {
#include <Library/MemoryAllocationLib.h>
}

namespace fake {
namespace {

constexpr size_t  PACKET_BYTES = 64;

// The three fraction bits of the divisor, two in wValue's top and the third in wIndex's
// bit 0, index these eighths.
constexpr uint32_t  mFractionEighths[8] = { 0, 4, 2, 1, 3, 5, 6, 7 };

// The rate the chip runs for a SET_BAUD_RATE, decoded from both words as the chip does.
uint32_t
ChipBaud (uint16_t Value, uint16_t Index)
{
  uint32_t  Eighths = (Value & 0x3FFFu) * 8 + mFractionEighths[(Value >> 14) | ((Index & 1u) << 2)];
  if (Eighths == 0) {
    return 3000000;
  }
  if (Eighths == 8) {
    return 2000000;
  }
  return (24000000 + Eighths / 2) / Eighths;
}

// SET_FLOW_CTRL takes the handshake from wIndex's high byte (and XON/XOFF from wValue).
HANDSHAKE
ChipHandshake (uint16_t Index)
{
  switch (Index >> 8) {
    case 0:  return HANDSHAKE::None;
    case 1:  return HANDSHAKE::RtsCts;
    case 2:  return HANDSHAKE::DtrDsr;
    case 4:  return HANDSHAKE::XonXoff;
    default: return HANDSHAKE::Invalid;
  }
}

Ft232 *
Chip (EFI_USB_IO_PROTOCOL *This)
{
  return reinterpret_cast<Ft232 *>(This);
}

EFI_STATUS EFIAPI
ControlTransfer (EFI_USB_IO_PROTOCOL *This, EFI_USB_DEVICE_REQUEST *Request, EFI_USB_DATA_DIRECTION Direction,
                 UINT32 Timeout, VOID *Data, UINTN DataLength, UINT32 *Status)
{
  Ft232 *C = Chip (This);
  if ((Request == nullptr) || (Status == nullptr) || ((DataLength != 0) && (Data == nullptr))) {
    return EFI_INVALID_PARAMETER;
  }

  // The chip answers only what the setup packet announces; a data stage it did not
  // ask for ends the request with a stall.
  if (((Direction == EfiUsbNoData) != (DataLength == 0)) || (DataLength != Request->Length)) {
    *Status = EFI_USB_ERR_STALL;
    return EFI_DEVICE_ERROR;
  }

  if (C->FailControl) {
    if (C->FailControlAfter == 0) {
      *Status = EFI_USB_ERR_STALL;
      return EFI_DEVICE_ERROR;
    }
    C->FailControlAfter--;
  }

  C->Requests.push_back ({ Request->RequestType, Request->Request, Request->Value, Request->Index, Direction, Timeout });
  // CLEAR_FEATURE(ENDPOINT_HALT), a standard request to an endpoint, ends its halt.
  if ((Request->RequestType == 0x02) && (Request->Request == 1) && (Request->Value == 0)) {
    C->HaltsCleared++;
    if ((Request->Index & 0xFF) == 0x81) {
      C->InHalted = false;
    } else if ((Request->Index & 0xFF) == 0x02) {
      C->OutHalted = false;
    } else {
      *Status = EFI_USB_ERR_STALL;
      return EFI_DEVICE_ERROR;
    }
    *Status = 0;
    return EFI_SUCCESS;
  }

  // Vendor requests are all the chip takes besides.
  if (Request->RequestType != 0x40) {
    *Status = EFI_USB_ERR_STALL;
    return EFI_DEVICE_ERROR;
  }

  if (Request->Request == 3) {
    C->BaudRate = ChipBaud (Request->Value, Request->Index);
  }

  if (Request->Request == 2) {
    C->Handshake = ChipHandshake (Request->Index);
  }
  // A reset (value 0) or an RX purge (1) drops what the chip has received.
  if ((Request->Request == 0) && (Request->Value <= 1)) {
    C->Pending.clear ();
  }

  // Modem control: the high byte says which lines change, the low byte to what.
  if (Request->Request == 1) {
    uint8_t  Mask = Request->Value >> 8, Level = Request->Value & 0xFF;
    C->Dtr = (Mask & 1) ? (Level & 1) != 0 : C->Dtr;
    C->Rts = (Mask & 2) ? (Level & 2) != 0 : C->Rts;
  }

  if (Request->Request == 9) {
    C->LatencyMs = Request->Value & 0xFF;
  }

  *Status = 0;
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI
BulkTransfer (EFI_USB_IO_PROTOCOL *This, UINT8 Endpoint, VOID *Data, UINTN *DataLength, UINTN Timeout, UINT32 *Status)
{
  Ft232 *C = Chip (This);
  if (Endpoint == 0x02) {
    C->BulkOutCalls++;
    // The host controller refuses a transfer without a buffer before it sets a result.
    if ((Data == nullptr) || (*DataLength == 0)) {
      return EFI_INVALID_PARAMETER;
    }
    if (C->OutHalted) {
      *Status     = EFI_USB_ERR_STALL;
      *DataLength = 0;
      return EFI_DEVICE_ERROR;
    }
    if (C->OutFault != EFI_SUCCESS) {
      *Status     = (C->OutFault == EFI_TIMEOUT) ? EFI_USB_ERR_TIMEOUT : EFI_USB_ERR_STALL;
      *DataLength = 0;
      return C->OutFault;
    }
    // The chip ACKs packets while its transmit buffer has room and NAKs from the first that does not fit.
    size_t Moved = 0;
    UINT64 Waited = 0;
    for (size_t Packet; Moved < *DataLength; Moved += Packet) {
      Packet = std::min<size_t> (PACKET_BYTES, *DataLength - Moved);
      if (Packet > C->OutRoom) {
        break;
      }
      if (C->PacedLine) {
        const size_t TX_BUFFER_BYTES = 128;
        UINT64 Drained = (Firmware::NowUs () - C->TxDrainedUs) * C->BaudRate / 10000000;
        C->TxHeld      = (Drained >= C->TxHeld) ? 0 : C->TxHeld - Drained;
        C->TxDrainedUs = Firmware::NowUs ();
        if (C->TxHeld + Packet > TX_BUFFER_BYTES) {
          UINT64 Need = ((C->TxHeld + Packet - TX_BUFFER_BYTES) * 10000000ull + C->BaudRate - 1) / C->BaudRate;
          if (Waited + Need > Timeout * 1000ull) {
            Firmware::AdvanceUs (Timeout * 1000ull - Waited);
            break;
          }
          Waited += Need;
          Firmware::AdvanceUs (Need);
          C->TxHeld      = TX_BUFFER_BYTES - Packet;
          C->TxDrainedUs = Firmware::NowUs ();
        }
        C->TxHeld += Packet;
      }
      C->OutRoom -= Packet;
    }
    const uint8_t *P = static_cast<const uint8_t *>(Data);
    C->Sent.insert (C->Sent.end (), P, P + Moved);
    *Status = 0;
    if (Moved < *DataLength) {
      *DataLength = C->OutTimeoutMovesNothing ? 0 : Moved;
      *Status     = C->OutNakResult;
      return EFI_TIMEOUT;
    }
    return EFI_SUCCESS;
  }

  if (Endpoint != 0x81) {
    *Status = EFI_USB_ERR_STALL;
    return EFI_INVALID_PARAMETER;
  }

  C->BulkInCalls++;
  // Without a timeout the host controller waits as long as the chip NAKs.
  if (Timeout == 0) {
    ADD_FAILURE () << "a bulk-IN without a timeout can wait for ever";
  }
  if (Firmware::TicksHeld () && ((C->InFault == BULK_IN_FAULT::NakXhci) || (C->Pending.empty () && C->IdleNak))) {
    C->NeverEnding++;
  }

  if (C->InHalted) {
    *DataLength = 0;
    *Status     = EFI_USB_ERR_STALL;
    return EFI_DEVICE_ERROR;
  }

  uint8_t *Out  = static_cast<uint8_t *>(Data);
  size_t  Room  = *DataLength;
  switch (C->InFault) {
    case BULK_IN_FAULT::None:         break;
    case BULK_IN_FAULT::NakXhci:      *DataLength = 0; *Status = EFI_USB_ERR_TIMEOUT; return EFI_TIMEOUT;
    case BULK_IN_FAULT::NakUhci:      *DataLength = 0; *Status = EFI_USB_ERR_NOTEXECUTE; return EFI_TIMEOUT;
    case BULK_IN_FAULT::NakBit:       *DataLength = 0; *Status = EFI_USB_ERR_NAK; return EFI_DEVICE_ERROR;
    case BULK_IN_FAULT::Stall:        *DataLength = 0; *Status = EFI_USB_ERR_STALL; return EFI_DEVICE_ERROR;
    case BULK_IN_FAULT::DeviceError:  *DataLength = 0; *Status = EFI_USB_ERR_SYSTEM; return EFI_DEVICE_ERROR;
    case BULK_IN_FAULT::TimeoutOther: *DataLength = 0; *Status = EFI_USB_ERR_TIMEOUT | EFI_USB_ERR_CRC; return EFI_TIMEOUT;
  }

  if (!C->RawReply.empty ()) {
    size_t N = C->RawReply.size () < Room ? C->RawReply.size () : Room;
    std::memcpy (Out, C->RawReply.data (), N);
    *DataLength = (C->ReportedLength != 0) ? C->ReportedLength : N;
    C->RawReply.clear ();
    C->ReportedLength = 0;
    *Status = 0;
    return EFI_SUCCESS;
  }

  if (C->Pending.empty () && C->IdleNak) {
    // The chip NAKs an IN while it has nothing to send; the host controller times the
    // transfer out, holding its caller for the whole timeout.
    if (!Firmware::TicksHeld ()) {
      Firmware::AdvanceUs (Timeout * 1000ull);
    }
    *DataLength = 0;
    *Status     = EFI_USB_ERR_TIMEOUT;
    return EFI_TIMEOUT;
  }

  // With nothing to send the chip answers only when its latency timer runs out; a
  // transfer that gives up sooner has seen nothing but NAKs.
  if (C->Pending.empty () && (C->LatencyMs > Timeout)) {
    Firmware::AdvanceUs (Timeout * 1000ull);
    *DataLength = 0;
    *Status     = EFI_USB_ERR_TIMEOUT;
    return EFI_TIMEOUT;
  }
  if (C->Pending.empty ()) {
    Firmware::AdvanceUs (C->LatencyMs * 1000ull);
  }

  if (C->NullModem) {
    C->ModemStatus = (uint8_t)(0x01 | (C->Rts ? 0x10 : 0) | (C->Dtr ? 0xA0 : 0));
  }

  size_t Used = 0;
  // Every packet starts with the status pair; the transfer ends with the first short packet.
  do {
    if (Room - Used < 2) {
      break;
    }
    size_t Start = Used;
    Out[Used++] = C->ModemStatus;
    Out[Used++] = C->LineStatus;
    while (!C->Pending.empty () && (Used - Start < PACKET_BYTES) && (Used < Room)) {
      Out[Used++] = C->Pending.front ();
      C->Pending.pop_front ();
    }
    if (Used - Start < PACKET_BYTES) {
      break;
    }
  } while (Used < Room);

  *DataLength = Used;
  *Status     = 0;
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI
GetDeviceDescriptor (EFI_USB_IO_PROTOCOL *This, EFI_USB_DEVICE_DESCRIPTOR *D)
{
  Ft232 *C = Chip (This);
  std::memset (D, 0, sizeof (*D));
  D->Length          = sizeof (*D);
  D->DescriptorType  = 1;
  D->IdVendor        = C->VendorId;
  D->IdProduct       = C->ProductId;
  D->StrManufacturer = 1;
  D->NumConfigurations = 1;
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI
GetInterfaceDescriptor (EFI_USB_IO_PROTOCOL *This, EFI_USB_INTERFACE_DESCRIPTOR *D)
{
  Ft232 *C = Chip (This);
  std::memset (D, 0, sizeof (*D));
  D->Length         = sizeof (*D);
  D->DescriptorType = 4;
  D->NumEndpoints   = (C->NumEndpointsOverride != 0xFF) ? C->NumEndpointsOverride : (UINT8)C->Endpoints.size ();
  D->InterfaceClass = 0xFF;
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI
GetEndpointDescriptor (EFI_USB_IO_PROTOCOL *This, UINT8 Index, EFI_USB_ENDPOINT_DESCRIPTOR *D)
{
  Ft232 *C = Chip (This);
  if (((int)Index == C->FailEndpointIndex) || (Index >= C->Endpoints.size ())) {
    return EFI_NOT_FOUND;
  }
  *D = C->Endpoints[Index];
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI
GetStringDescriptor (EFI_USB_IO_PROTOCOL *This, UINT16 LangId, UINT8 StringId, CHAR16 **String)
{
  Ft232 *C = Chip (This);
  if (!C->ManufacturerOk || (LangId != 0x0409) || (StringId != 1)) {
    return EFI_NOT_FOUND;
  }
  static const CHAR16 Name[] = { 'Q', 'E', 'M', 'U', 0 };
  *String = (CHAR16 *)AllocateCopyPool (sizeof (Name), Name);
  return EFI_SUCCESS;
}

EFI_USB_ENDPOINT_DESCRIPTOR
Bulk (UINT8 Address)
{
  EFI_USB_ENDPOINT_DESCRIPTOR E;
  std::memset (&E, 0, sizeof (E));
  E.Length          = sizeof (E);
  E.DescriptorType  = 5;
  E.EndpointAddress = Address;
  E.Attributes      = 2;
  E.MaxPacketSize   = PACKET_BYTES;
  return E;
}

} // namespace

Ft232::Ft232 ()
{
  std::memset (&UsbIo, 0, sizeof (UsbIo));
  UsbIo.UsbControlTransfer        = ControlTransfer;
  UsbIo.UsbBulkTransfer           = BulkTransfer;
  UsbIo.UsbGetDeviceDescriptor    = GetDeviceDescriptor;
  UsbIo.UsbGetInterfaceDescriptor = GetInterfaceDescriptor;
  UsbIo.UsbGetEndpointDescriptor  = GetEndpointDescriptor;
  UsbIo.UsbGetStringDescriptor    = GetStringDescriptor;
  Endpoints = { Bulk (0x81), Bulk (0x02) };
  // PciRoot-like hardware node, then the end node.
  DevicePath = { 0x01, 0x01, 0x06, 0x00, 0x00, 0x1D, 0x7F, 0xFF, 0x04, 0x00 };
}

EFI_HANDLE
Ft232::Plug ()
{
  Handle = Firmware::NewHandle ();
  Firmware::Install (&Handle, gEfiUsbIoProtocolGuid, &UsbIo);
  Firmware::Install (&Handle, gEfiDevicePathProtocolGuid, DevicePath.data ());
  return Handle;
}

} // namespace fake
