/** @file
  An FT232 behind EFI_USB_IO_PROTOCOL: its descriptors, the vendor requests as the
  chip receives them, bulk-OUT captured and bulk-IN answered a 64-byte packet at a time.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/
#ifndef FAKE_FT232_H_
#define FAKE_FT232_H_

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

extern "C" {
#include <Uefi.h>
#include <Protocol/UsbIo.h>
#include <Protocol/DevicePath.h>
}

namespace fake {

struct VENDOR_REQUEST {
  uint8_t                   RequestType;
  uint8_t                   Request;
  uint16_t                  Value;
  uint16_t                  Index;
  EFI_USB_DATA_DIRECTION    Direction;
  uint32_t                  Timeout;
};

enum class HANDSHAKE { None, RtsCts, DtrDsr, XonXoff, Invalid };

enum class BULK_IN_FAULT { None, NakXhci, NakUhci, NakBit, Stall, DeviceError, TimeoutOther };

struct Ft232 {
  EFI_USB_IO_PROTOCOL    UsbIo;               // first, so This leads back to the chip

  // Descriptors
  uint16_t               VendorId      = 0x0403;
  uint16_t               ProductId     = 0x6001;
  bool                   ManufacturerOk = true;
  std::vector<EFI_USB_ENDPOINT_DESCRIPTOR> Endpoints;
  int                    FailEndpointIndex = -1;
  uint8_t                NumEndpointsOverride = 0xFF;   // 0xFF: the real count

  // Line state as the chip sees it: every request, and what the chip makes of them
  std::vector<VENDOR_REQUEST> Requests;
  uint32_t               BaudRate = 9600;                   // the rate the chip runs after SET_BAUD_RATE
  HANDSHAKE              Handshake = HANDSHAKE::None;       // from SET_FLOW_CTRL's wIndex high byte
  uint16_t               HaltsCleared = 0;                  // CLEAR_FEATURE(ENDPOINT_HALT) requests seen
  bool                   FailControl = false;
  size_t                 FailControlAfter = 0;          // requests that still succeed before FailControl bites

  // Data
  std::vector<uint8_t>   Sent;                // everything bulk-OUT delivered
  std::deque<uint8_t>    Pending;             // characters the line has received, not yet read
  uint8_t                ModemStatus = 0x01;  // byte 0 of every packet (low nibble 1 as the chip sends)
  uint8_t                LineStatus  = 0x60;
  // A peer wired back as a null modem: its RTS drives our CTS, its DTR our DSR and DCD,
  // so the modem byte follows the lines the host sets (DTR, RTS as last requested).
  bool                   NullModem = false;
  bool                   Dtr = false;
  bool                   Rts = false;
  bool                   IdleNak = false;     // NAK (time out) instead of an empty status pair
  // With nothing to send the chip answers a bulk-IN with the status pair alone once its
  // latency timer runs out (16 ms unless the host sets it).
  uint32_t               LatencyMs = 16;
  BULK_IN_FAULT          InFault  = BULK_IN_FAULT::None;
  // An endpoint that stalled stays halted, answering every transfer with a stall, until
  // the host sends CLEAR_FEATURE(ENDPOINT_HALT) for it.
  bool                   InHalted  = false;
  bool                   OutHalted = false;
  EFI_STATUS             OutFault = EFI_SUCCESS;
  // Bytes the chip's transmit buffer still takes: CTS held under flow control, or a line
  // slower than USB, leaves it NAKing bulk-OUT until the host controller times out,
  // which it words as OutNakResult (EFI_USB_ERR_TIMEOUT on XHCI, NOTEXECUTE on UHCI).
  size_t                 OutRoom = SIZE_MAX;
  uint32_t               OutNakResult = EFI_USB_ERR_TIMEOUT;
  // An XHCI reports no bytes done for a transfer that timed out, whatever went before.
  bool                   OutTimeoutMovesNothing = false;
  // The line drains the chip's 128-byte transmit buffer at BaudRate, ten bits a byte,
  // on the firmware's clock; a packet that does not fit is NAKed until it does or the
  // transfer's timeout runs out.
  bool                   PacedLine = false;
  size_t                 TxHeld = 0;
  UINT64                 TxDrainedUs = 0;
  // A raw bulk-IN reply that replaces the modelled one once (hostile device); ReportedLength overrides *DataLength.
  std::vector<uint8_t>   RawReply;
  UINTN                  ReportedLength = 0;
  size_t                 BulkInCalls  = 0;
  size_t                 BulkOutCalls = 0;
  // An XHCI host controller times a transfer out with a timer event, so a NAKed bulk-IN
  // begun inside the timer interrupt (Firmware::HoldTicks) never ends. Such transfers
  // are counted here and then ended as a timeout, so the test can go on.
  size_t                 NeverEnding = 0;

  EFI_HANDLE             Handle = nullptr;
  std::vector<uint8_t>   DevicePath;          // a PCI/USB-like adapter path

  Ft232 ();
  // Creates a handle carrying this USB I/O and a device path.
  EFI_HANDLE Plug ();
  size_t Transfers () const { return BulkInCalls + BulkOutCalls; }
};

} // namespace fake

#endif
