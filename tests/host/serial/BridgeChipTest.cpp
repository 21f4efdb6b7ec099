/** @file
  The CP210x, CH340, PL2303 and CDC ACM modules against a bridge model: what each
  recognises, the control transfers it sends, and the lines it takes.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/
#include <gtest/gtest.h>
#include <cstring>
#include <ostream>

#include "FakeFirmware.h"
#include "FakeUsbBridge.h"
#include "FtdiSerial.h"

namespace {

// One control transfer: the setup packet, and the bytes an OUT carries.
struct XFER {
  uint8_t                 Type, Request;
  uint16_t                Value, Index, Length;
  std::vector<uint8_t>    Data;
  bool operator== (const XFER &O) const
  {
    return Type == O.Type && Request == O.Request && Value == O.Value && Index == O.Index && Length == O.Length && Data == O.Data;
  }
};

void
PrintTo (const XFER &X, std::ostream *Os)
{
  char  Text[64];
  snprintf (Text, sizeof (Text), "{%02X %02X %04X %04X %u:", X.Type, X.Request, X.Value, X.Index, X.Length);
  *Os << Text;
  for (uint8_t B : X.Data) {
    snprintf (Text, sizeof (Text), " %02X", B);
    *Os << Text;
  }
  *Os << "}";
}

enum OP { Open, SetLine, SetLines, Purge, ModemStatus };

struct ROW {
  const USB_SERIAL_CHIP    *Chip;
  OP                       Op;
  SERIAL_ATTRIBUTES        Line;
  LINE_CONTROL             Control;
  std::vector<XFER>        Sent;
};

ROW
LineRow (const USB_SERIAL_CHIP *Chip, UINT64 Rate, UINT8 Data, UINT32 Parity, UINT32 Stop, std::vector<XFER> Sent)
{
  return { Chip, SetLine, { Rate, 0, 0, Parity, Data, Stop }, {}, Sent };
}

ROW
LinesRow (const USB_SERIAL_CHIP *Chip, bool Flow, bool Dtr, bool Rts, std::vector<XFER> Sent)
{
  return { Chip, SetLines, {}, { Flow, Dtr, Rts, FALSE, FALSE }, Sent };
}

// A CDC ACM configuration: communication interface 2, whose union names 5 and 3, then data interface 3.
std::vector<uint8_t>
AcmConfig (uint8_t CommSubclass = USB_CDC_ACM_SUBCLASS, uint8_t CommProtocol = 1)
{
  std::vector<uint8_t>  Config = {
           9, 2, 0, 0, 2, 1, 0, 0x80, 50,
           9, 4, 2, 0, 1, USB_CDC_COMM_CLASS, CommSubclass, CommProtocol, 0,
           5, 0x24, 0x00, 0x10, 0x01,
           6, 0x24, 0x06, 2, 5, 3,
           7, 5, 0x83, 3, 8, 0, 16,
           9, 4, 3, 0, 2, USB_CDC_DATA_CLASS, 0, 0, 0,
           7, 5, 0x81, 2, 64, 0, 0 };
  Config[2] = (uint8_t)Config.size ();
  return Config;
}

class BridgeChip : public ::testing::Test {
protected:
  fake::UsbBridge     Usb;
  FTDI_SERIAL_DEVICE  Dev;

  void
  SetUp () override
  {
    fake::Firmware::Reset ();
    Usb = fake::UsbBridge ();
    std::memset (&Dev, 0, sizeof (Dev));
    Dev.UsbIo                               = &Usb.UsbIo;
    Dev.RequestInterface                    = 1;   // as the core sets it: the bound interface
    Dev.InterfaceDescriptor.InterfaceNumber = 3;
    Usb.Config                              = AcmConfig ();
    Usb.InAnswers[0x5F]                     = { 0x31, 0x00 };
  }

  EFI_STATUS
  Run (const ROW &R)
  {
    switch (R.Op) {
      case Open:     return R.Chip->Open (&Dev);
      case SetLine:  return R.Chip->SetLine (&Dev, &R.Line);
      case SetLines: return R.Chip->SetLines (&Dev, &R.Control);
      case Purge:    return R.Chip->Purge (&Dev);
      default:       return R.Chip->ReadModemStatus (&Dev);
    }
  }

  std::vector<XFER>
  Sent ()
  {
    std::vector<XFER> Out;
    for (const fake::CONTROL_TRANSFER &T : Usb.Transfers) {
      const EFI_USB_DEVICE_REQUEST &S = T.Setup;
      Out.push_back ({ S.RequestType, S.Request, S.Value, S.Index, S.Length,
                       (T.Direction == EfiUsbDataOut) ? T.Data : std::vector<uint8_t> () });
    }
    return Out;
  }
};

std::vector<uint8_t>
Flow (uint8_t Handshake, uint8_t Replace)
{
  std::vector<uint8_t> F (16, 0);
  F[0] = Handshake;
  F[4] = Replace;
  return F;
}

const std::vector<ROW>  mRows = {
  { &gCp210xChip, Open, {}, {}, { { 0x41, 0x00, 0x0001, 1, 0, {} } } },
  LineRow (&gCp210xChip, 115200, 8, NoParity, OneStopBit,
           { { 0x41, 0x03, 0x0800, 1, 0, {} }, { 0x41, 0x1E, 0, 1, 4, { 0x00, 0xC2, 0x01, 0x00 } } }),
  LineRow (&gCp210xChip, 9600, 7, EvenParity, TwoStopBits,
           { { 0x41, 0x03, 0x0722, 1, 0, {} }, { 0x41, 0x1E, 0, 1, 4, { 0x80, 0x25, 0x00, 0x00 } } }),
  LineRow (&gCp210xChip, 921600, 5, SpaceParity, OneFiveStopBits,
           { { 0x41, 0x03, 0x0541, 1, 0, {} }, { 0x41, 0x1E, 0, 1, 4, { 0x00, 0x10, 0x0E, 0x00 } } }),
  LinesRow (&gCp210xChip, true, true, false, { { 0x41, 0x13, 0, 1, 16, Flow (0x09, 0x80) }, { 0x41, 0x07, 0x0301, 1, 0, {} } }),
  LinesRow (&gCp210xChip, false, false, true, { { 0x41, 0x13, 0, 1, 16, Flow (0x01, 0x40) }, { 0x41, 0x07, 0x0302, 1, 0, {} } }),
  { &gCp210xChip, Purge, {}, {}, { { 0x41, 0x12, 0x000F, 1, 0, {} } } },
  { &gCp210xChip, ModemStatus, {}, {}, { { 0xC1, 0x08, 0, 1, 1, {} } } },

  { &gCh340Chip, Open, {}, {}, { { 0xC0, 0x5F, 0, 0, 2, {} }, { 0x40, 0xA1, 0, 0, 0, {} } } },
  // 48 MHz / (4 * 104) = 115385 and 48 MHz / (32 * 156) = 9615, both 0.16 % off.
  LineRow (&gCh340Chip, 115200, 8, NoParity, OneStopBit, { { 0x40, 0x9A, 0x1312, 0x9887, 0, {} }, { 0x40, 0x9A, 0x2518, 0xC3, 0, {} } }),
  LineRow (&gCh340Chip, 9600, 7, OddParity, TwoStopBits, { { 0x40, 0x9A, 0x1312, 0x6486, 0, {} }, { 0x40, 0x9A, 0x2518, 0xCE, 0, {} } }),
  LineRow (&gCh340Chip, 9600, 6, EvenParity, OneStopBit, { { 0x40, 0x9A, 0x1312, 0x6486, 0, {} }, { 0x40, 0x9A, 0x2518, 0xD9, 0, {} } }),
  LineRow (&gCh340Chip, 9600, 5, MarkParity, OneStopBit, { { 0x40, 0x9A, 0x1312, 0x6486, 0, {} }, { 0x40, 0x9A, 0x2518, 0xE8, 0, {} } }),
  LineRow (&gCh340Chip, 9600, 8, SpaceParity, OneStopBit, { { 0x40, 0x9A, 0x1312, 0x6486, 0, {} }, { 0x40, 0x9A, 0x2518, 0xFB, 0, {} } }),
  LinesRow (&gCh340Chip, true, true, false, { { 0x40, 0x9A, 0x2727, 0x0101, 0, {} }, { 0x40, 0xA4, 0xFFDF, 0, 0, {} } }),
  LinesRow (&gCh340Chip, false, false, true, { { 0x40, 0x9A, 0x2727, 0, 0, {} }, { 0x40, 0xA4, 0xFFBF, 0, 0, {} } }),
  { &gCh340Chip, Purge, {}, {}, {} },
  { &gCh340Chip, ModemStatus, {}, {}, { { 0xC0, 0x95, 0x0706, 0, 2, {} } } },

  { &gPl2303Chip, Open, {}, {}, {
      { 0xC0, 1, 0x8484, 0, 1, {} }, { 0x40, 1, 0x0404, 0, 0, {} }, { 0xC0, 1, 0x8484, 0, 1, {} },
      { 0xC0, 1, 0x8383, 0, 1, {} }, { 0xC0, 1, 0x8484, 0, 1, {} }, { 0x40, 1, 0x0404, 1, 0, {} },
      { 0xC0, 1, 0x8484, 0, 1, {} }, { 0xC0, 1, 0x8383, 0, 1, {} }, { 0x40, 1, 0, 1, 0, {} },
      { 0x40, 1, 1, 0, 0, {} }, { 0x40, 1, 2, 0x44, 0, {} } } },
  LineRow (&gPl2303Chip, 115200, 8, NoParity, OneStopBit, { { 0x21, 0x20, 0, 1, 7, { 0x00, 0xC2, 0x01, 0x00, 0, 0, 8 } } }),
  LineRow (&gPl2303Chip, 57600, 7, EvenParity, TwoStopBits, { { 0x21, 0x20, 0, 1, 7, { 0x00, 0xE1, 0x00, 0x00, 2, 2, 7 } } }),
  LineRow (&gPl2303Chip, 6000000, 5, MarkParity, OneFiveStopBits, { { 0x21, 0x20, 0, 1, 7, { 0x80, 0x8D, 0x5B, 0x00, 1, 3, 5 } } }),
  LinesRow (&gPl2303Chip, true, true, false, { { 0x40, 1, 0, 0x61, 0, {} }, { 0x21, 0x22, 0x0001, 1, 0, {} } }),
  LinesRow (&gPl2303Chip, false, false, true, { { 0x40, 1, 0, 0x01, 0, {} }, { 0x21, 0x22, 0x0002, 1, 0, {} } }),
  { &gPl2303Chip, Purge, {}, {}, { { 0x40, 1, 8, 0, 0, {} }, { 0x40, 1, 9, 0, 0, {} } } },

  { &gCdcAcmChip, Open, {}, {}, { { 0x80, 6, 0x0200, 0, 9, {} }, { 0x80, 6, 0x0200, 0, 52, {} } } },
  LineRow (&gCdcAcmChip, 115200, 8, NoParity, OneStopBit, { { 0x21, 0x20, 0, 1, 7, { 0x00, 0xC2, 0x01, 0x00, 0, 0, 8 } } }),
  LineRow (&gCdcAcmChip, 0xFFFFFFFF, 6, OddParity, TwoStopBits, { { 0x21, 0x20, 0, 1, 7, { 0xFF, 0xFF, 0xFF, 0xFF, 2, 1, 6 } } }),
  LineRow (&gCdcAcmChip, 1, 5, SpaceParity, OneFiveStopBits, { { 0x21, 0x20, 0, 1, 7, { 0x01, 0x00, 0x00, 0x00, 1, 4, 5 } } }),
  LinesRow (&gCdcAcmChip, false, true, true, { { 0x21, 0x22, 0x0003, 1, 0, {} } }),
  LinesRow (&gCdcAcmChip, false, false, false, { { 0x21, 0x22, 0x0000, 1, 0, {} } }),
  { &gCdcAcmChip, Purge, {}, {}, {} },
};

// Every operation sends exactly its transfers; a failure of any of them ends it there
// with EFI_DEVICE_ERROR.
TEST_F (BridgeChip, SendsItsRequestsAndReportsAFailedOne) {
  for (size_t I = 0; I < mRows.size (); I++) {
    for (size_t Fail = 0; Fail <= mRows[I].Sent.size (); Fail++) {
      SetUp ();
      Usb.FailNth = Fail;
      EFI_STATUS  Status = Run (mRows[I]);
      if (Fail == 0) {
        EXPECT_EQ (Status, EFI_SUCCESS) << "row " << I;
        EXPECT_EQ (Sent (), mRows[I].Sent) << "row " << I;
      } else {
        EXPECT_EQ (Status, EFI_DEVICE_ERROR) << "row " << I << " failing transfer " << Fail;
        EXPECT_EQ (Usb.Transfers.size (), Fail) << "row " << I;
      }
    }
  }
}

TEST_F (BridgeChip, LearnsWhatOpenAndTheModemStatusTell) {
  ASSERT_EQ (gCh340Chip.Open (&Dev), EFI_SUCCESS);
  EXPECT_EQ (Dev.ChipVariant, 0x31);
  ASSERT_EQ (gCdcAcmChip.Open (&Dev), EFI_SUCCESS);
  EXPECT_EQ (Dev.RequestInterface, 2);

  Usb.InAnswers[0x08] = { 0x90 };                  // CP210x: CTS and DCD
  ASSERT_EQ (gCp210xChip.ReadModemStatus (&Dev), EFI_SUCCESS);
  EXPECT_TRUE (Dev.ModemStatus.Cts && !Dev.ModemStatus.Dsr && !Dev.ModemStatus.Ri && Dev.ModemStatus.Dcd);
  Usb.InAnswers[0x95] = { 0x09, 0xFF };            // CH340, active low: DSR and RI
  ASSERT_EQ (gCh340Chip.ReadModemStatus (&Dev), EFI_SUCCESS);
  EXPECT_TRUE (!Dev.ModemStatus.Cts && Dev.ModemStatus.Dsr && Dev.ModemStatus.Ri && !Dev.ModemStatus.Dcd);
  Usb.InAnswers[0x08] = { 0x60 };
  ASSERT_EQ (gCp210xChip.ReadModemStatus (&Dev), EFI_SUCCESS);
  EXPECT_TRUE (!Dev.ModemStatus.Cts && Dev.ModemStatus.Dsr && Dev.ModemStatus.Ri && !Dev.ModemStatus.Dcd);
}

TEST_F (BridgeChip, MatchesItsIdsOnItsInterfaceOnly) {
  const struct { const USB_SERIAL_CHIP *Chip; UINT16 Vid, Pid; UINT8 Interface; bool Match; } Rows[] = {
    { &gCp210xChip, 0x10C4, 0xEA60, 0, true  }, { &gCp210xChip, 0x10C4, 0xEA61, 0, false },
    { &gCp210xChip, 0x10C4, 0xEA60, 1, false }, { &gCp210xChip, 0x1A86, 0x7523, 0, false },
    { &gCh340Chip,  0x1A86, 0x7523, 0, true  }, { &gCh340Chip,  0x1A86, 0x5523, 0, true  },
    { &gCh340Chip,  0x1A86, 0x7522, 0, false }, { &gCh340Chip,  0x1A86, 0x5523, 1, false },
    { &gCh340Chip,  0x067B, 0x2303, 0, false }, { &gPl2303Chip, 0x067B, 0x2303, 0, true  },
    { &gPl2303Chip, 0x067B, 0x2304, 0, false }, { &gPl2303Chip, 0x067B, 0x2303, 1, false },
    { &gPl2303Chip, 0x0403, 0x6001, 0, false }, { &gCdcAcmChip, 0x10C4, 0xEA60, 0, false },
  };
  for (const auto &R : Rows) {
    Usb.Device.IdVendor           = R.Vid;
    Usb.Device.IdProduct          = R.Pid;
    Usb.Interface.InterfaceNumber = R.Interface;
    Usb.Interface.InterfaceClass  = 0xFF;
    EXPECT_EQ (R.Chip->Matches (&Usb.UsbIo, &Usb.Device, &Usb.Interface), R.Match)
      << std::hex << R.Vid << ":" << R.Pid << " interface " << int (R.Interface);
  }
}

TEST_F (BridgeChip, CdcAcmMatchesADataInterfaceItsUnionNames) {
  std::vector<uint8_t>  Zeroed = AcmConfig (), Cut = AcmConfig (), Short = AcmConfig ();
  Zeroed[23] = 0;                                   // the union's bLength
  Cut[2]     = 27;                                  // wTotalLength ends inside the union
  Short.resize (27);                                // the device sends less than it said
  const struct { std::vector<uint8_t> Config; UINT8 Interface, Class; size_t FailNth; bool Match; } Rows[] = {
    { AcmConfig (), 3, USB_CDC_DATA_CLASS, 0, true  }, { AcmConfig (), 5, USB_CDC_DATA_CLASS, 0, true  },
    { AcmConfig (), 4, USB_CDC_DATA_CLASS, 0, false }, { AcmConfig (), 2, USB_CDC_DATA_CLASS, 0, false },
    { AcmConfig (), 3, 0xFF, 0, false },               { AcmConfig (0x06), 3, USB_CDC_DATA_CLASS, 0, false },
    { Zeroed, 3, USB_CDC_DATA_CLASS, 0, false },       { Cut, 3, USB_CDC_DATA_CLASS, 0, false },
    { Short, 3, USB_CDC_DATA_CLASS, 0, false },        { AcmConfig (), 3, USB_CDC_DATA_CLASS, 2, false },
    { AcmConfig (USB_CDC_ACM_SUBCLASS, 0xFF), 3, USB_CDC_DATA_CLASS, 0, false },  // RNDIS
  };
  for (const auto &R : Rows) {
    SetUp ();
    Usb.Config                    = R.Config;
    Usb.FailNth                   = R.FailNth;
    Usb.Interface.InterfaceNumber = R.Interface;
    Usb.Interface.InterfaceClass  = R.Class;
    Dev.InterfaceDescriptor       = Usb.Interface;
    EXPECT_EQ (gCdcAcmChip.Matches (&Usb.UsbIo, &Usb.Device, &Usb.Interface), R.Match) << "interface " << int (R.Interface);
    EXPECT_EQ (fake::Firmware::LiveAllocations (), 0u);
    if (R.Class == USB_CDC_DATA_CLASS) {
      Usb.FailNth = R.FailNth;
      EXPECT_EQ (gCdcAcmChip.Open (&Dev), R.Match ? EFI_SUCCESS : EFI_DEVICE_ERROR);
      EXPECT_EQ (Dev.RequestInterface, R.Match ? 2 : 1);
    }
  }
}

TEST_F (BridgeChip, TakesTheRatesAndFramingsItRuns) {
  const struct { const USB_SERIAL_CHIP *Chip; UINT64 Rate; UINT32 Stop; bool Valid; } Rows[] = {
    { &gCp210xChip, 299, OneStopBit, false },      { &gCp210xChip, 300, OneStopBit, true },
    { &gCp210xChip, 921600, OneStopBit, true },    { &gCp210xChip, 922000, OneStopBit, false },
    { &gCp210xChip, 9600, OneFiveStopBits, true },
    { &gCh340Chip, 115200, OneStopBit, true },     { &gCh340Chip, 9600, TwoStopBits, true },
    { &gCh340Chip, 45, OneStopBit, true },         { &gCh340Chip, 44, OneStopBit, false },
    { &gCh340Chip, 4120000, OneStopBit, true },    { &gCh340Chip, 4130000, OneStopBit, false },
    { &gCh340Chip, 6000000, OneStopBit, true },    { &gCh340Chip, 9600, OneFiveStopBits, false },
    { &gPl2303Chip, 115200, OneStopBit, true },    { &gPl2303Chip, 115201, OneStopBit, false },
    { &gPl2303Chip, 75, OneStopBit, true },        { &gPl2303Chip, 6000000, OneStopBit, true },
    { &gPl2303Chip, 9600, OneFiveStopBits, true },
    { &gCdcAcmChip, 1, OneStopBit, true },         { &gCdcAcmChip, 0xFFFFFFFF, OneStopBit, true },
    { &gCdcAcmChip, 0x100000000, OneStopBit, false },
  };
  for (const auto &R : Rows) {
    SERIAL_ATTRIBUTES  Line = { R.Rate, 0, 0, NoParity, (UINT8)(R.Stop == OneFiveStopBits ? 5 : 8), R.Stop };
    EXPECT_EQ (R.Chip->LineValid (&Line), R.Valid) << "row " << (&R - Rows);
  }
}

TEST_F (BridgeChip, TableDescribesEachChip) {
  const struct { const USB_SERIAL_CHIP *Chip; UINT32 Settable, Mask; bool ModemRequest; } Rows[] = {
    { &gCp210xChip, 0x4003, 0x43F3, true  }, { &gCh340Chip,  0x4003, 0x43F3, true  },
    { &gPl2303Chip, 0x4003, 0x4303, false }, { &gCdcAcmChip, 0x0003, 0x0303, false },
  };
  for (const auto &R : Rows) {
    EXPECT_EQ (R.Chip->ControlSettable, R.Settable);
    EXPECT_EQ (R.Chip->ControlMask, R.Mask);
    EXPECT_EQ (R.Chip->ReadModemStatus != NULL, R.ModemRequest);
    EXPECT_EQ (R.Chip->PacketHeader + R.Chip->BulkInAddress + R.Chip->BulkOutAddress, 0);
    EXPECT_NE (R.Chip->Open, nullptr);
  }
}

} // namespace
