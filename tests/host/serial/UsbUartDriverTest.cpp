/** @file
  UsbUartDxe's binding on a CP210x and a CDC ACM data interface: the core's paths that
  only a chip without the FT232's ways takes.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/
#include <gtest/gtest.h>
#include <string>

#include "FakeFirmware.h"
#include "FakeUsbBridge.h"
#include "FtdiSerial.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Sends = std::vector<Bytes>;   // control transfers as fake::UsbBridge::Setups gives them
enum KIND { Cp210x, Acm, Ft232, Unknown };

// A UART node asking 7E2 at Baud, then a flow-control node with Map unless Map is negative.
Bytes
Node (UINT64 Baud, int Map)
{
  FTDI_NODE_TEMPLATES  T = { { { MESSAGING_DEVICE_PATH, MSG_UART_DP, { 19, 0 } }, 0, Baud, 7, EvenParity, TwoStopBits },
                             { { MESSAGING_DEVICE_PATH, MSG_VENDOR_DP, { 24, 0 } }, gEfiUartDevicePathGuid, (UINT32)Map } };
  Bytes  P ((UINT8 *)&T, (UINT8 *)&T + ((Map < 0) ? 19 : 43));
  P.insert (P.end (), { END_DEVICE_PATH_TYPE, END_ENTIRE_DEVICE_PATH_SUBTYPE, 4, 0 });
  return P;
}

// The CP210x's SET_FLOW to interface 0: 16 bytes, the handshake first and RTS's mode fifth.
Bytes
SetFlow (uint8_t Handshake, uint8_t Replace)
{
  return { 0x41, 0x13, 0, 0, 0, Handshake, 0, 0, 0, Replace, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0 };
}

class UsbUart : public ::testing::Test {
protected:
  fake::UsbBridge         Usb;
  EFI_HANDLE              Controller = nullptr;
  EFI_SERIAL_IO_PROTOCOL  *Sio = nullptr;
  FTDI_SERIAL_DEVICE      *Dev = nullptr;

  // The driver on a fresh firmware, and the device with an interrupt IN, the line's bulk pair, another pair.
  void
  Plug (KIND Kind)
  {
    fake::Firmware::Reset ();
    ASSERT_EQ (UsbSerialDriverEntryPoint (gImageHandle, gST), EFI_SUCCESS);
    const UINT16  Ids[][2] = { { 0x10C4, 0xEA60 }, { 0x1209, 0x0001 }, { 0x0403, 0x6001 }, { 0x1209, 0x0002 } };
    Usb = fake::UsbBridge ();
    Usb.Device.IdVendor           = Ids[Kind][0];
    Usb.Device.IdProduct          = Ids[Kind][1];
    Usb.Interface.InterfaceClass  = (Kind == Acm) ? USB_CDC_DATA_CLASS : 0xFF;
    Usb.Interface.InterfaceNumber = (Kind == Acm) ? 3 : 0;
    // Communication interface 2 of the abstract control model, whose union names data interface 3.
    Usb.Config = { 9, 2, 32, 0, 2, 1, 0, 0x80, 50, 9, 4, 2, 0, 1, USB_CDC_COMM_CLASS, USB_CDC_ACM_SUBCLASS, 1, 0,
                   5, 0x24, 0x06, 2, 3, 9, 4, 3, 0, 2, USB_CDC_DATA_CLASS, 0, 0, 0 };
    Usb.Endpoints = { fake::Endpoint (0x83, USB_ENDPOINT_INTERRUPT), fake::Endpoint (0x81), fake::Endpoint (0x01),
                      fake::Endpoint (0x82), fake::Endpoint (0x02) };
    Controller = Usb.Plug ();
  }

  // Supported, or Start and the child it made; an empty path stands for none.
  EFI_STATUS
  Bind (bool Starting, const Bytes &Path = {})
  {
    EFI_DEVICE_PATH_PROTOCOL  *P = Path.empty () ? nullptr : (EFI_DEVICE_PATH_PROTOCOL *)Path.data ();
    EFI_STATUS  S = Starting ? gUsbSerialDriverBinding.Start (&gUsbSerialDriverBinding, Controller, P)
                             : gUsbSerialDriverBinding.Supported (&gUsbSerialDriverBinding, Controller, P);
    EFI_HANDLE  Child;
    UsbSerialFindChild (Controller, &Child);
    Sio = Child ? (EFI_SERIAL_IO_PROTOCOL *)fake::Firmware::Find (Child, gEfiSerialIoProtocolGuid) : nullptr;
    Dev = Sio ? FtdiFromSerialIo (Sio) : nullptr;
    return S;
  }

  // Every test ends with its adapter stopped and no pool held.
  void
  TearDown () override
  {
    if (Dev != nullptr) {
      EXPECT_EQ (gUsbSerialDriverBinding.Stop (&gUsbSerialDriverBinding, Controller, 1, &Dev->ChildHandle), EFI_SUCCESS);
      EXPECT_EQ (gUsbSerialDriverBinding.Stop (&gUsbSerialDriverBinding, Controller, 0, nullptr), EFI_SUCCESS);
    }
    EXPECT_EQ (fake::Firmware::LiveAllocations (), 0u);
  }

  // The child's name, or the driver's for no child.
  std::u16string
  Name (EFI_HANDLE Child)
  {
    CHAR16      *Text = nullptr;
    EFI_STATUS  S     = Child ? gUsbSerialComponentName2.GetControllerName (&gUsbSerialComponentName2, Controller, Child, (CHAR8 *)"en", &Text)
                              : gUsbSerialComponentName.GetDriverName (&gUsbSerialComponentName, (CHAR8 *)"eng", &Text);
    return (S == EFI_SUCCESS) ? std::u16string ((const char16_t *)Text) : u"";
  }
};

TEST_F (UsbUart, SupportedTakesItsBridgesAndOnlyTheLinesEachRuns) {
  const struct { KIND Kind; Bytes Path; EFI_STATUS Want; } Rows[] = {
    { Cp210x, {}, EFI_SUCCESS },               { Acm, {}, EFI_SUCCESS },                  { Ft232, {}, EFI_UNSUPPORTED },
    { Unknown, {}, EFI_UNSUPPORTED },          { Cp210x, Node (9600, 1), EFI_SUCCESS },   { Acm, Node (9600, 1), EFI_UNSUPPORTED },
    { Acm, Node (9600, 0), EFI_SUCCESS },      { Acm, Node (2000000, -1), EFI_SUCCESS },  { Cp210x, Node (2000000, -1), EFI_UNSUPPORTED },
  };
  for (const auto &R : Rows) {
    Plug (R.Kind);
    EXPECT_EQ (Bind (false, R.Path), R.Want) << "row " << (&R - Rows);
    EXPECT_EQ (fake::Firmware::OpenCount (Controller, gEfiUsbIoProtocolGuid, EFI_OPEN_PROTOCOL_BY_DRIVER), 0u);
  }
}

// Open before the line, then what the node asks (or 115200 8N1), then flow control and
// lines, then the first look at the modem lines; the last row's adapter then serves the line.
TEST_F (UsbUart, Cp210xStartsOnItsFirstBulkPairAndServesTheLineThroughTheChip) {
  const struct { Bytes Path; Bytes LineCtl, Baud, Flow; } Rows[] = {
    { Node (9600, 1), { 0x41, 0x03, 0x22, 0x07, 0 }, { 0x41, 0x1E, 0, 0, 0, 0x80, 0x25, 0x00, 0x00 }, SetFlow (0x09, 0x80) },
    { {}, { 0x41, 0x03, 0x00, 0x08, 0 }, { 0x41, 0x1E, 0, 0, 0, 0x00, 0xC2, 0x01, 0x00 }, SetFlow (0x01, 0x40) },
  };
  UINT32  Bits = 0;
  for (const auto &R : Rows) {
    Plug (Cp210x);
    Usb.InAnswers[0x08] = { 0x30 };                // GET_MDMSTS: CTS, DSR
    ASSERT_EQ (Bind (true, R.Path), EFI_SUCCESS);
    EXPECT_EQ (Usb.Setups (), Sends ({ { 0x41, 0x00, 0x01, 0x00, 0 }, R.LineCtl, R.Baud, R.Flow, { 0x41, 0x07, 0x00, 0x03, 0 },
                                       { 0xC1, 0x08, 0, 0, 0 } }));
    EXPECT_EQ (Sio->Mode->ControlMask, gCp210xChip.ControlMask);
    EXPECT_EQ (Sio->GetControl (Sio, &Bits), EFI_SUCCESS);
    EXPECT_EQ (Bits & 0xF0, (UINT32)(EFI_SERIAL_CLEAR_TO_SEND | EFI_SERIAL_DATA_SET_READY));
  }
  // Every byte of a bulk-IN is data: none is taken for a status header, or for the lines.
  Usb.Received = { 0x01, 0x60, 0xF0, 'b' };
  UINT8  B[8];
  UINTN  N = sizeof (B);
  EXPECT_EQ (Sio->Read (Sio, &N, B), EFI_TIMEOUT);
  EXPECT_EQ (Bytes (B, B + N), Bytes ({ 0x01, 0x60, 0xF0, 'b' }));
  N = 2;
  EXPECT_EQ (Sio->Write (Sio, &N, B + 2), EFI_SUCCESS);
  EXPECT_EQ (Usb.Sent, Bytes ({ 0xF0, 'b' }));
  EXPECT_EQ (Usb.BulkEndpoints, Bytes ({ 0x81, 0x01 }));
  // One packet a bulk-IN: a longer transfer left open by a burst ending on a packet's
  // boundary times out, and the host controller counts none of it.
  EXPECT_EQ (Usb.BulkLengths.front (), 64u);
  Usb.InAnswers[0x08] = { 0xC0 };                  // RI, DCD
  ASSERT_EQ (Sio->GetControl (Sio, &Bits), EFI_SUCCESS);
  EXPECT_EQ (Bits & 0xF0, (UINT32)(EFI_SERIAL_CLEAR_TO_SEND | EFI_SERIAL_DATA_SET_READY));
  // The idle loop's refill leaves the lines alone; the poll's own look asks the chip.
  size_t  Before = Usb.Transfers.size ();
  fake::Firmware::Idle ();
  EXPECT_EQ (Usb.Transfers.size (), Before);
  fake::Firmware::FireTimer (Dev->PollTimer);
  fake::Firmware::Idle ();                         // the firmware idles, so its loop takes the look
  EXPECT_EQ (Usb.Setups (Before), Sends ({ { 0xC1, 0x08, 0, 0, 0 } }));
  ASSERT_EQ (Sio->GetControl (Sio, &Bits), EFI_SUCCESS);
  EXPECT_EQ (Bits & 0xF0, (UINT32)(EFI_SERIAL_RING_INDICATE | EFI_SERIAL_CARRIER_DETECT));
  // A failed adapter's poll leaves the chip alone, its lines included, until a Reset.
  Dev->DeviceFailed = TRUE;
  Before            = Usb.Transfers.size ();
  fake::Firmware::FireTimer (Dev->PollTimer);
  fake::Firmware::Idle ();
  EXPECT_EQ (Usb.Transfers.size (), Before);
  EXPECT_EQ (Sio->Reset (Sio), EFI_SUCCESS);
  EXPECT_EQ (Sio->SetControl (Sio, EFI_SERIAL_HARDWARE_FLOW_CONTROL_ENABLE | EFI_SERIAL_DATA_TERMINAL_READY), EFI_SUCCESS);
  EXPECT_EQ (Usb.Setups (Before), Sends ({ { 0x41, 0x12, 0x0F, 0, 0 }, SetFlow (0x09, 0x80), { 0x41, 0x07, 0x01, 0x03, 0 } }));
  EXPECT_EQ (Name (Dev->ChildHandle), std::u16string ((const char16_t *)gCp210xChip.Name));
  EXPECT_EQ (Name (nullptr), u"USB UART Bridge Driver");
}

TEST_F (UsbUart, Cp210xThatRefusesToOpenIsLeftAsItWas) {
  Plug (Cp210x);
  size_t  Handles = fake::Firmware::HandleCount (), Events = fake::Firmware::OpenEvents ();
  Usb.FailNth = 1;
  EXPECT_EQ (Bind (true), EFI_DEVICE_ERROR);
  EXPECT_EQ (Usb.Setups (), Sends ({ { 0x41, 0x00, 0x01, 0x00, 0 } }));
  EXPECT_EQ (fake::Firmware::HandleCount (), Handles);
  EXPECT_EQ (fake::Firmware::OpenEvents (), Events);
  EXPECT_EQ (fake::Firmware::OpenCount (Controller, gEfiUsbIoProtocolGuid, EFI_OPEN_PROTOCOL_BY_DRIVER), 0u);
  EXPECT_EQ (fake::Firmware::OpenCount (Controller, gEfiDevicePathProtocolGuid, EFI_OPEN_PROTOCOL_BY_DRIVER), 0u);
}

TEST_F (UsbUart, CdcAcmProgramsItsCommunicationInterfaceAndRefusesFlowControl) {
  Plug (Acm);
  ASSERT_EQ (Bind (true), EFI_SUCCESS);
  size_t  Before = Usb.Transfers.size ();
  EXPECT_EQ (Sio->SetAttributes (Sio, 9600, 0, 0, DefaultParity, 0, DefaultStopBits), EFI_SUCCESS);
  EXPECT_EQ (Sio->SetControl (Sio, EFI_SERIAL_HARDWARE_FLOW_CONTROL_ENABLE), EFI_UNSUPPORTED);
  EXPECT_EQ (Sio->SetControl (Sio, EFI_SERIAL_REQUEST_TO_SEND), EFI_SUCCESS);
  EXPECT_EQ (Usb.Setups (Before - 2), Sends ({ { 0x21, 0x20, 0, 0, 2, 0x00, 0xC2, 0x01, 0, 0, 0, 8 }, { 0x21, 0x22, 3, 0, 2 },
                                               { 0x21, 0x20, 0, 0, 2, 0x80, 0x25, 0, 0, 0, 0, 8 }, { 0x21, 0x22, 2, 0, 2 } }));
  EXPECT_EQ (Sio->Mode->ControlMask, gCdcAcmChip.ControlMask);
  EXPECT_EQ (Name (Dev->ChildHandle), std::u16string ((const char16_t *)gCdcAcmChip.Name));
  // A reconnect the running chip cannot serve changes nothing on the line.
  EXPECT_EQ (Bind (false, Node (19200, 1)), EFI_UNSUPPORTED);
  EXPECT_EQ (Bind (true, Node (19200, 1)), EFI_UNSUPPORTED);
  EXPECT_EQ (Sio->Mode->BaudRate, 9600u);
}

} // namespace
