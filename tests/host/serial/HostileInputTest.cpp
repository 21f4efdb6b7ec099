/** @file
  The serial driver against a broken or hostile FT232: odd descriptors, lying transfer
  lengths, random bulk-IN contents and malformed remaining device paths.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/
#include <gtest/gtest.h>
#include <cstring>
#include <random>
#include <vector>

#include "SerialFixture.h"

namespace {

class OstrelHostile : public SerialFixture {
protected:
  EFI_HANDLE
  Child ()
  {
    EFI_OPEN_PROTOCOL_INFORMATION_ENTRY  *Info;
    UINTN                                Count;
    EFI_HANDLE                           Found = nullptr;
    if (EFI_ERROR (gBS->OpenProtocolInformation (Controller, &gEfiUsbIoProtocolGuid, &Info, &Count))) {
      return nullptr;
    }
    for (UINTN I = 0; I < Count; I++) {
      if (Info[I].Attributes & EFI_OPEN_PROTOCOL_BY_CHILD_CONTROLLER) {
        Found = Info[I].ControllerHandle;
      }
    }
    gBS->FreePool (Info);
    return Found;
  }

  EFI_STATUS
  Start (EFI_DEVICE_PATH_PROTOCOL *Remaining = nullptr)
  {
    if (Controller == nullptr) {
      Controller = Chip.Plug ();
    }
    EFI_STATUS  S    = gUsbSerialDriverBinding.Start (&gUsbSerialDriverBinding, Controller, Remaining);
    EFI_HANDLE  Kid  = Child ();
    Sio = Kid ? (EFI_SERIAL_IO_PROTOCOL *)fake::Firmware::Find (Kid, gEfiSerialIoProtocolGuid) : nullptr;
    Dev = Sio ? FtdiFromSerialIo (Sio) : nullptr;
    return S;
  }

  void
  StopAll ()
  {
    EFI_HANDLE  Kid = Child ();
    if (Kid != nullptr) {
      EXPECT_EQ (gUsbSerialDriverBinding.Stop (&gUsbSerialDriverBinding, Controller, 1, &Kid), EFI_SUCCESS);
    }
    EXPECT_EQ (gUsbSerialDriverBinding.Stop (&gUsbSerialDriverBinding, Controller, 0, nullptr), EFI_SUCCESS);
    EXPECT_EQ (fake::Firmware::LiveAllocations (), 0u);
  }

  UINT32
  RingUsed () const
  {
    return (Dev->RingTail - Dev->RingHead) & FTDI_RING_MASK;
  }
};

// Only the bytes behind each packet's status pair are data, whatever packet size the
// endpoint descriptor claims, and nothing is ever read or written outside a buffer.
TEST_F (OstrelHostile, AnyBulkInPacketSizeKeepsReadsInsideTheBuffers) {
  for (UINT16 Size : { 0, 1, 2, 3, 63, 64, 65, 511, 512, 513, 1024, 0xFFFF }) {
    fake::Firmware::Reset ();
    ASSERT_EQ (UsbSerialDriverEntryPoint (gImageHandle, gST), EFI_SUCCESS);
    fake::Ft232  Odd;
    Odd.Endpoints[0].MaxPacketSize = Size;
    Controller                     = Odd.Plug ();
    EFI_HANDLE  Saved              = Controller;
    ASSERT_EQ (gUsbSerialDriverBinding.Start (&gUsbSerialDriverBinding, Controller, nullptr), EFI_SUCCESS) << Size;
    EFI_HANDLE  Kid = Child ();
    ASSERT_NE (Kid, nullptr);
    Sio = (EFI_SERIAL_IO_PROTOCOL *)fake::Firmware::Find (Kid, gEfiSerialIoProtocolGuid);
    Dev = FtdiFromSerialIo (Sio);
    for (int I = 0; I < 300; I++) {
      Odd.Pending.push_back ((uint8_t)I);
    }
    std::vector<UINT8>  Out (600, 0xEE);
    UINTN               N = Out.size ();
    EXPECT_EQ (Sio->Read (Sio, &N, Out.data ()), EFI_TIMEOUT) << Size;   // fewer than asked
    EXPECT_LE (N, 300u + 2 * 8) << Size;
    EXPECT_LE (RingUsed (), 1023u);
    if (Size == 64) {
      // The real chip's size: exactly the queued characters come out, in order.
      ASSERT_EQ (N, 300u);
      for (int I = 0; I < 300; I++) {
        ASSERT_EQ (Out[I], (UINT8)I) << I;
      }
    }
    Controller = Saved;
    StopAll ();
  }
}

// A controller that claims more endpoints than it can describe ends Start with the
// descriptor's failure, and Start leaves nothing behind.
TEST_F (OstrelHostile, EndpointCountBeyondTheDescriptorsFailsStartCleanly) {
  Chip.NumEndpointsOverride = 200;   // 0xFF would mean the real count
  Controller                = Chip.Plug ();
  EXPECT_EQ (gUsbSerialDriverBinding.Start (&gUsbSerialDriverBinding, Controller, nullptr), EFI_NOT_FOUND);
  EXPECT_EQ (fake::Firmware::OpenCount (Controller, gEfiUsbIoProtocolGuid, EFI_OPEN_PROTOCOL_BY_DRIVER), 0u);
  EXPECT_EQ (fake::Firmware::OpenCount (Controller, gEfiDevicePathProtocolGuid, EFI_OPEN_PROTOCOL_BY_DRIVER), 0u);
  EXPECT_EQ (fake::Firmware::OpenEvents (), 0u);
  EXPECT_EQ (fake::Firmware::LiveAllocations (), 0u);
}

// No interface endpoints at all is the missing-endpoint case, not a success.
TEST_F (OstrelHostile, NoEndpointsIsADeviceError) {
  Chip.NumEndpointsOverride = 0;
  Controller                = Chip.Plug ();
  EXPECT_EQ (gUsbSerialDriverBinding.Start (&gUsbSerialDriverBinding, Controller, nullptr), EFI_DEVICE_ERROR);
  EXPECT_EQ (Child (), nullptr);
  EXPECT_EQ (fake::Firmware::LiveAllocations (), 0u);
}

// Random bulk-IN replies, with lengths the USB stack may even overstate, never push the
// ring past 1023 bytes nor hand a reader more than it asked for.
TEST_F (OstrelHostile, RandomBulkInContentsKeepTheRingBounded) {
  ASSERT_EQ (Start (), EFI_SUCCESS);
  std::mt19937                            Rng (4);
  std::uniform_int_distribution<size_t>   Len (0, 600);
  std::uniform_int_distribution<int>      Byte (0, 255);
  std::uniform_int_distribution<UINTN>    Want (0, 40);
  for (int Round = 0; Round < 400; Round++) {
    size_t  L = Len (Rng);
    Chip.RawReply.assign (L == 0 ? 1 : L, 0);
    for (auto &B : Chip.RawReply) {
      B = (uint8_t)Byte (Rng);
    }
    Chip.ReportedLength = (Round % 7 == 0) ? L + 4096 : 0;
    if (Round % 3 == 0) {
      UINTN  Zero = 0;
      FtdiReceivePacket (Dev, &Zero, nullptr);
    } else {
      std::vector<UINT8>  Out (40);
      UINTN               Asked = Want (Rng);
      UINTN               N     = Asked;
      Sio->Read (Sio, &N, Out.data ());
      EXPECT_LE (N, Asked);
    }
    ASSERT_LE (RingUsed (), 1023u) << Round;
  }
  StopAll ();
}

// A vendor node of the flow-control subtype that is too short to hold a map is not a
// flow-control node: Supported and Start never read behind its end.
TEST_F (OstrelHostile, ShortFlowControlNodeIsNeverReadPastItsEnd) {
  constexpr size_t  UART_NODE_SIZE = sizeof (UART_DEVICE_PATH);
  constexpr size_t  SHORT_NODE_SIZE = 8;
  // Exactly sized, so a read past the end node lands outside the allocation.
  std::vector<uint8_t>  Bytes (UART_NODE_SIZE + SHORT_NODE_SIZE + 4, 0);
  UART_DEVICE_PATH      U = {};
  U.Header.Type    = MESSAGING_DEVICE_PATH;
  U.Header.SubType = MSG_UART_DP;
  U.Header.Length[0] = (UINT8)UART_NODE_SIZE;
  U.BaudRate = 9600;
  U.DataBits = 8;
  U.Parity   = 1;
  U.StopBits = 1;
  std::memcpy (Bytes.data (), &U, UART_NODE_SIZE);
  Bytes[UART_NODE_SIZE]     = MESSAGING_DEVICE_PATH;
  Bytes[UART_NODE_SIZE + 1] = MSG_VENDOR_DP;
  Bytes[UART_NODE_SIZE + 2] = (UINT8)SHORT_NODE_SIZE;
  size_t  End      = UART_NODE_SIZE + SHORT_NODE_SIZE;
  Bytes[End]       = 0x7F;
  Bytes[End + 1]   = 0xFF;
  Bytes[End + 2]   = 4;
  auto  *Remaining = reinterpret_cast<EFI_DEVICE_PATH_PROTOCOL *>(Bytes.data ());

  Controller = Chip.Plug ();
  EXPECT_EQ (gUsbSerialDriverBinding.Supported (&gUsbSerialDriverBinding, Controller, Remaining), EFI_SUCCESS);
  ASSERT_EQ (Start (Remaining), EFI_SUCCESS);
  ASSERT_NE (Dev, nullptr);
  // The templates are byte-packed; copy out before comparing.
  UINT64  Baud = Dev->UartNode.BaudRate;
  UINT32  Map  = Dev->FlowControlNode.FlowControlMap;
  EXPECT_EQ (Baud, 9600u);
  EXPECT_EQ (Map, 0u);
  StopAll ();
}

// A remaining path that does not start with a UART node is refused before any open.
TEST_F (OstrelHostile, RemainingPathWithoutAUartNodeIsRefused) {
  // A UART subtype one byte short of the node, then the end node.
  std::vector<uint8_t>  Bytes (18 + 4, 0);
  Bytes[0]  = MESSAGING_DEVICE_PATH;
  Bytes[1]  = MSG_UART_DP;
  Bytes[2]  = 18;
  Bytes[18] = 0x7F;
  Bytes[19] = 0xFF;
  Bytes[20] = 4;
  Controller = Chip.Plug ();
  EXPECT_EQ (
    gUsbSerialDriverBinding.Supported (&gUsbSerialDriverBinding, Controller, reinterpret_cast<EFI_DEVICE_PATH_PROTOCOL *>(Bytes.data ())),
    EFI_UNSUPPORTED);
  EXPECT_EQ (fake::Firmware::OpenCount (Controller, gEfiUsbIoProtocolGuid, EFI_OPEN_PROTOCOL_BY_DRIVER), 0u);
}

} // namespace
