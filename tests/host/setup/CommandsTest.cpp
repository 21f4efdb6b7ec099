/** @file
  The commands as a shell user meets them: what they print, what status the
  shell gets, and what is left in the variables.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "NfcKeyboardSetup.h"
#include "SetupPeers.h"

extern "C" {
#include <Guid/GlobalVariable.h>
#include <Guid/ZorvikConf.h>
#include <Library/BaseMemoryLib.h>
#include <Library/DevicePathLib.h>
#include <Protocol/SerialIo.h>
#include <Protocol/UsbIo.h>
}

#include <UsbBridgeIds.h>

using namespace peer;

namespace {

const CHAR16  *const mConfName = CHAR16_TEXT (ZORVIK_CONF_VARIABLE_NAME);

constexpr UINT32  mNvBsRt = EFI_VARIABLE_NON_VOLATILE | EFI_VARIABLE_BOOTSERVICE_ACCESS | EFI_VARIABLE_RUNTIME_ACCESS;
constexpr UINT32  mNvBs   = EFI_VARIABLE_NON_VOLATILE | EFI_VARIABLE_BOOTSERVICE_ACCESS;

BYTES Terminal () { return Cat ({ PciRoot (), Pci (0x1F, 0), Uart (115200), TerminalVt100 (), End () }); }
BYTES Ps2 () { return Cat ({ PciRoot (), Ps2Keyboard (), End () }); }

BYTES
Entry ()
{
  auto  *Bytes = reinterpret_cast<const uint8_t *>(NfcKeyboardConInEntries ());
  return BYTES (Bytes, Bytes + GetDevicePathSize (NfcKeyboardConInEntries ()));
}

class SetupCommand : public ::testing::Test {
protected:
  void
  SetUp () override
  {
    fake::Firmware::Reset ();
    mSerialDriver   = AddDriver (u"FTDI-232 USB Serial Driver");
    mUsbUartDriver  = AddDriver (u"USB UART Bridge Driver");
    mKeyboardDriver = AddDriver (u"NFC Keyboard Driver");
  }

  void TearDown () override { EXPECT_EQ (fake::Firmware::LiveAllocations (), 0u); }

  EFI_STATUS
  Run (std::vector<const char16_t *> Words)
  {
    std::vector<const CHAR16 *>  Argv = { (const CHAR16 *)u"NfcKeyboardSetup" };

    for (const char16_t *Word : Words) {
      Argv.push_back ((const CHAR16 *)Word);
    }

    mOutputBefore = fake::Firmware::ConsoleOutput ().size ();
    return NfcKeyboardSetupRun (Argv.size (), Argv.data ());
  }

  std::string Output () const { return fake::Firmware::ConsoleOutput ().substr (mOutputBefore); }

  void StartKeyboard () { AddSerialPort (mSerialDriver, KeyboardPath (), true); }

  BYTES
  Conf (UINT32 *Attributes = nullptr)
  {
    BYTES  Data;
    fake::Firmware::ReadVariable (mConfName, gZorvikConfGuid, &Data, Attributes);
    return Data;
  }

  void
  PutConf (BYTES Value, UINT32 Attributes)
  {
    fake::Firmware::PutVariable (mConfName, gZorvikConfGuid, Attributes, Value.data (), Value.size ());
  }

  EFI_HANDLE  mSerialDriver;
  EFI_HANDLE  mUsbUartDriver;
  EFI_HANDLE  mKeyboardDriver;
  size_t      mOutputBefore = 0;
};

TEST_F (SetupCommand, HelpAndNoWordsPrintUsageAndSucceed) {
  EXPECT_EQ (Run ({}), EFI_SUCCESS);
  EXPECT_NE (Output ().find ("Usage: NfcKeyboardSetup"), std::string::npos);
  EXPECT_NE (Output ().find ("console remove"), std::string::npos);
  EXPECT_EQ (Run ({ u"help" }), EFI_SUCCESS);
  EXPECT_NE (Output ().find ("Usage: NfcKeyboardSetup"), std::string::npos);
  EXPECT_EQ (fake::Firmware::SetVariableCalls (), 0u);
}

TEST_F (SetupCommand, UnknownWordsFailWithUsageAndTouchNothing) {
  StartKeyboard ();
  for (std::vector<const char16_t *> Words : std::vector<std::vector<const char16_t *>>{
         { u"bogus" }, { u"console" }, { u"console", u"bogus" }, { u"enable", u"now" },
         { u"console", u"add", u"twice" }, { u"Status" }, { u"add" }, { u"help", u"me" } })
  {
    EXPECT_EQ (Run (Words), EFI_INVALID_PARAMETER);
    EXPECT_NE (Output ().find ("unknown command"), std::string::npos) << Output ();
    EXPECT_NE (Output ().find ("Usage:"), std::string::npos);
  }

  EXPECT_EQ (fake::Firmware::SetVariableCalls (), 0u);
  EXPECT_FALSE (HasConIn ());
}

TEST_F (SetupCommand, ConsoleChangesNeedARunningKeyboard) {
  // A serial port with the reader, but the keyboard was never started on it.
  AddSerialPort (mSerialDriver, KeyboardPath (), false);
  PutConIn (Ps2 (), mNvBsRt);

  for (const char16_t *Verb : { u"add", u"remove" }) {
    EXPECT_EQ (Run ({ u"console", Verb }), EFI_NOT_FOUND);
    EXPECT_NE (Output ().find ("no NFC keyboard is running"), std::string::npos) << Output ();
  }

  EXPECT_EQ (fake::Firmware::SetVariableCalls (), 0u);
  EXPECT_EQ (ReadConIn (), Ps2 ());

  // The install's entries name no port: they go without a running keyboard, an earlier install's too.
  PutConIn (MultiInstance ({ Ft232ConInEntry (), Ps2 (), Entry () }), mNvBsRt);
  EXPECT_EQ (Run ({ u"console", u"remove" }), EFI_SUCCESS);
  EXPECT_EQ (ReadConIn (), Ps2 ());
}

// A terminal console on a serial line has its text input on a child of its own;
// a text input beside Serial I/O on a path that ends elsewhere is not ours either: in a
// terminal, in no flow-control node, or in a node that only nearly is one (another
// vendor's, one cut short). Nor is one on the keyboard's path without Serial I/O, or on
// a path with a node of length 0, which would hold a walk on itself for ever.
TEST_F (SetupCommand, OtherTextInputsAreNotTakenForTheKeyboard) {
  BYTES    Flow = FlowControl (0), OtherVendor = Flow, Short (Flow.begin (), Flow.begin () + 20);
  uint8_t  Port = 1;
  OtherVendor[4] ^= 1;
  Short[2]        = 20;
  for (const BYTES &Last : { TerminalVt100 (), BYTES (), OtherVendor, Short }) {
    AddSerialPort (mSerialDriver, Cat ({ AdapterPath (Port), Uart (115200), Last, End () }), true, mFt232, Port);
    Port++;
  }
  static EFI_SIMPLE_TEXT_INPUT_EX_PROTOCOL  TextInput;
  static EFI_SERIAL_IO_PROTOCOL             SerialIo;
  EFI_HANDLE                                Handle = NULL, Looping = NULL;
  BYTES                                     Path   = KeyboardPath (Port);
  BYTES                                     ZeroLength = Cat ({ AdapterPath (Port + 1), { 3, 5, 0, 0 }, End () });
  fake::Firmware::Install (&Handle, gEfiSimpleTextInputExProtocolGuid, &TextInput);
  fake::Firmware::Install (&Handle, gEfiDevicePathProtocolGuid, Path.data ());
  fake::Firmware::Install (&Looping, gEfiSimpleTextInputExProtocolGuid, &TextInput);
  fake::Firmware::Install (&Looping, gEfiSerialIoProtocolGuid, &SerialIo);
  fake::Firmware::Install (&Looping, gEfiDevicePathProtocolGuid, ZeroLength.data ());

  EXPECT_EQ (Run ({ u"console", u"add" }), EFI_NOT_FOUND);
  EXPECT_FALSE (HasConIn ());
  EXPECT_EQ (Run ({ u"status" }), EFI_SUCCESS);
  EXPECT_NE (Output ().find ("NFC keyboard: not running"), std::string::npos) << Output ();
}

TEST_F (SetupCommand, ConsoleAddAppendsOnceAndKeepsAttributes) {
  StartKeyboard ();
  PutConIn (MultiInstance ({ Ps2 (), Terminal () }), mNvBsRt);

  EXPECT_EQ (Run ({ u"console", u"add" }), EFI_SUCCESS);
  EXPECT_NE (Output ().find ("ConIn now holds the NFC keyboard"), std::string::npos) << Output ();
  UINT32  Attributes = 0;
  EXPECT_EQ (ReadConIn (&Attributes), MultiInstance ({ Ps2 (), Terminal (), KeyboardPath () }));
  EXPECT_EQ (Attributes, mNvBsRt);

  size_t  Writes = fake::Firmware::SetVariableCalls ();
  EXPECT_EQ (Run ({ u"console", u"add" }), EFI_SUCCESS);
  EXPECT_NE (Output ().find ("already"), std::string::npos);
  EXPECT_EQ (fake::Firmware::SetVariableCalls (), Writes);
  EXPECT_EQ (ReadConIn (), MultiInstance ({ Ps2 (), Terminal (), KeyboardPath () }));
}

TEST_F (SetupCommand, ConsoleAddCreatesAnAbsentConIn) {
  StartKeyboard ();

  EXPECT_EQ (Run ({ u"console", u"add" }), EFI_SUCCESS);
  UINT32  Attributes = 0;
  EXPECT_EQ (ReadConIn (&Attributes), KeyboardPath ());
  EXPECT_EQ (Attributes, mNvBsRt);
}

TEST_F (SetupCommand, ConsoleRemoveLeavesEveryOtherInstance) {
  StartKeyboard ();
  PutConIn (MultiInstance ({ Ps2 (), Entry (), KeyboardPath (), Terminal () }), mNvBsRt);

  EXPECT_EQ (Run ({ u"console", u"remove" }), EFI_SUCCESS);
  EXPECT_EQ (ReadConIn (), MultiInstance ({ Ps2 (), Terminal () }));

  size_t  Writes = fake::Firmware::SetVariableCalls ();
  EXPECT_EQ (Run ({ u"console", u"remove" }), EFI_SUCCESS);
  EXPECT_NE (Output ().find ("does not hold"), std::string::npos);
  EXPECT_EQ (fake::Firmware::SetVariableCalls (), Writes);
}

TEST_F (SetupCommand, ConsoleRemoveOfTheOnlyInstanceDeletesConIn) {
  StartKeyboard ();
  PutConIn (KeyboardPath (), mNvBsRt);

  EXPECT_EQ (Run ({ u"console", u"remove" }), EFI_SUCCESS);
  EXPECT_FALSE (HasConIn ());
}

TEST_F (SetupCommand, MalformedConInIsReportedAndNotRewritten) {
  StartKeyboard ();
  BYTES  Broken = Cat ({ Ps2 (), { 0x01, 0x02, 0x03 } });
  PutConIn (Broken, mNvBsRt);

  for (const char16_t *Verb : { u"add", u"remove" }) {
    EXPECT_EQ (Run ({ u"console", Verb }), EFI_COMPROMISED_DATA);
    EXPECT_NE (Output ().find ("ConIn is malformed"), std::string::npos) << Output ();
  }

  EXPECT_EQ (Run ({ u"status" }), EFI_SUCCESS);
  EXPECT_NE (Output ().find ("ConIn: malformed"), std::string::npos) << Output ();
  EXPECT_EQ (fake::Firmware::SetVariableCalls (), 0u);
  EXPECT_EQ (ReadConIn (), Broken);
}

TEST_F (SetupCommand, RefusedWritesFailAndLeaveTheVariables) {
  StartKeyboard ();
  PutConIn (Ps2 (), mNvBsRt);
  PutConf ({ 0 }, mNvBs);
  fake::Firmware::FailSetVariable (EFI_WRITE_PROTECTED);

  EXPECT_EQ (Run ({ u"console", u"add" }), EFI_WRITE_PROTECTED);
  EXPECT_NE (Output ().find ("cannot write ConIn; it is unchanged"), std::string::npos) << Output ();
  EXPECT_EQ (Run ({ u"enable" }), EFI_WRITE_PROTECTED);
  EXPECT_NE (Output ().find ("cannot write ZorvikConf"), std::string::npos) << Output ();

  EXPECT_EQ (ReadConIn (), Ps2 ());
  EXPECT_EQ (Conf (), BYTES ({ 0 }));

  // A full variable store takes the delete of a volatile one, then refuses the new one:
  // the old one comes back.
  UINT32  Attributes = 0;
  fake::Firmware::FailSetVariable (EFI_SUCCESS);
  fake::Firmware::LimitNvSpace (1);
  PutConf ({ 0 }, EFI_VARIABLE_BOOTSERVICE_ACCESS);
  EXPECT_EQ (Run ({ u"enable" }), EFI_OUT_OF_RESOURCES);
  EXPECT_EQ (Conf (&Attributes), BYTES ({ 0 }));
  EXPECT_EQ (Attributes, UINT32 (EFI_VARIABLE_BOOTSERVICE_ACCESS));
}

TEST_F (SetupCommand, UnreadableConInFailsWithoutWriting) {
  StartKeyboard ();
  PutConIn (Ps2 (), mNvBsRt);
  fake::Firmware::FailNext ("GetVariable", EFI_DEVICE_ERROR);

  EXPECT_EQ (Run ({ u"console", u"add" }), EFI_DEVICE_ERROR);
  EXPECT_EQ (fake::Firmware::SetVariableCalls (), 0u);
}

TEST_F (SetupCommand, EnableAndDisableWriteOneByteAsTheDriverReadsIt) {
  UINT32  Attributes = 0;

  EXPECT_EQ (Run ({ u"enable" }), EFI_SUCCESS);
  EXPECT_EQ (Conf (&Attributes), BYTES ({ 1 }));
  EXPECT_EQ (Attributes, mNvBs);

  size_t  Writes = fake::Firmware::SetVariableCalls ();
  EXPECT_EQ (Run ({ u"enable" }), EFI_SUCCESS);
  EXPECT_NE (Output ().find ("already"), std::string::npos);
  EXPECT_EQ (fake::Firmware::SetVariableCalls (), Writes);

  EXPECT_EQ (Run ({ u"disable" }), EFI_SUCCESS);
  EXPECT_EQ (Conf (&Attributes), BYTES ({ 0 }));
  EXPECT_EQ (Attributes, mNvBs);
}

// One set with runtime access (as an OS tool sets it) is written in place, as the driver
// takes it; firmware refuses a rewrite under other attributes, so one stored otherwise,
// or of a wrong size, still ends up as the driver's one byte.
TEST_F (SetupCommand, EnableReplacesAZorvikConfStoredOtherwise) {
  UINT32  Attributes = 0;

  PutConf ({ 0 }, mNvBsRt);
  EXPECT_EQ (Run ({ u"enable" }), EFI_SUCCESS) << Output ();
  EXPECT_EQ (Conf (&Attributes), BYTES ({ 1 }));
  EXPECT_EQ (Attributes, mNvBsRt);

  PutConf ({ 0 }, EFI_VARIABLE_BOOTSERVICE_ACCESS);
  EXPECT_EQ (Run ({ u"enable" }), EFI_SUCCESS) << Output ();
  EXPECT_EQ (Conf (&Attributes), BYTES ({ 1 }));
  EXPECT_EQ (Attributes, mNvBs);

  PutConf ({ 1, 1 }, mNvBs);
  EXPECT_EQ (Run ({ u"enable" }), EFI_SUCCESS);
  EXPECT_EQ (Conf (), BYTES ({ 1 }));
}

// Each driver's lines, named by bridge; a line held through two interfaces (a CDC device's) is one line.
TEST_F (SetupCommand, StatusShowsDriversConfPortsKeyboardAndConIn) {
  EFI_USB_IO_PROTOCOL  CommIo = {};
  EFI_HANDLE           Comm   = NULL;
  VOID                 *UsbIo;

  AddDriver (u"Some Other Driver");
  StartKeyboard ();
  AddSerialPort (mUsbUartDriver, KeyboardPath (2), false, { 0x10C4, 0xEA60, 0, 0xFF }, 2);
  SERIAL_PORT  Cdc = AddSerialPort (mUsbUartDriver, KeyboardPath (3), false, { 0x1234, 0x5678, 0xEF, USB_CDC_DATA_CLASS }, 3);
  fake::Firmware::Install (&Comm, gEfiUsbIoProtocolGuid, &CommIo);
  gBS->OpenProtocol (Comm, &gEfiUsbIoProtocolGuid, &UsbIo, mUsbUartDriver, Cdc.Child, EFI_OPEN_PROTOCOL_BY_CHILD_CONTROLLER);
  PutConf ({ 1 }, mNvBs);
  PutConIn (MultiInstance ({ Ps2 (), KeyboardPath () }), mNvBsRt);

  EXPECT_EQ (Run ({ u"status" }), EFI_SUCCESS);
  std::string  Text = Output ();
  EXPECT_NE (Text.find ("Serial driver \"FTDI-232 USB Serial Driver\": loaded"), std::string::npos) << Text;
  EXPECT_NE (Text.find ("Keyboard driver \"NFC Keyboard Driver\": loaded"), std::string::npos) << Text;
  EXPECT_NE (Text.find ("ZorvikConf: 01 (enabled)\r\n"), std::string::npos) << Text;
  EXPECT_NE (Text.find ("Serial driver \"USB UART Bridge Driver\": loaded"), std::string::npos) << Text;
  EXPECT_NE (Text.find ("USB serial lines: 3\r\n  FT232, the NFC keyboard's line:\r\n    PciRoot(0x0)/Pci(0x2,0x0)/USB(0x1,0x0)/Uart(115200,8,N,1)"),
             std::string::npos) << Text;
  EXPECT_NE (Text.find ("  CP210x:\r\n    PciRoot(0x0)/Pci(0x2,0x0)/USB(0x2,0x0)/Uart("), std::string::npos) << Text;
  EXPECT_NE (Text.find ("  CDC ACM:\r\n    PciRoot(0x0)/Pci(0x2,0x0)/USB(0x3,0x0)/Uart("), std::string::npos) << Text;
  EXPECT_NE (Text.find ("NFC keyboard: running, on the FT232 line"), std::string::npos) << Text;
  EXPECT_NE (Text.find ("ConIn: 2 instance(s)"), std::string::npos) << Text;
  EXPECT_NE (Text.find ("NFC keyboard in ConIn: yes\r\n"), std::string::npos) << Text;

  // An earlier install's entry names the FT232 alone.
  PutConIn (MultiInstance ({ Ps2 (), Ft232ConInEntry () }), mNvBsRt);
  EXPECT_EQ (Run ({ u"status" }), EFI_SUCCESS);
  EXPECT_NE (Output ().find ("NFC keyboard in ConIn: on some bridges only (1 of "), std::string::npos) << Output ();
  PutConIn (MultiInstance ({ Ps2 (), Entry () }), mNvBsRt);
  EXPECT_EQ (Run ({ u"status" }), EFI_SUCCESS);
  EXPECT_NE (Output ().find ("NFC keyboard in ConIn: yes, on any USB port"), std::string::npos) << Output ();

  // As an OS tool writes it, with runtime access, it is the driver's; other attributes it rewrites.
  PutConf ({ 1 }, mNvBsRt);
  EXPECT_EQ (Run ({ u"status" }), EFI_SUCCESS);
  EXPECT_NE (Output ().find ("ZorvikConf: 01 (enabled)\r\n"), std::string::npos) << Output ();
  PutConf ({ 1 }, EFI_VARIABLE_BOOTSERVICE_ACCESS);
  EXPECT_EQ (Run ({ u"status" }), EFI_SUCCESS);
  EXPECT_NE (Output ().find ("ZorvikConf: 01 (enabled), other attributes (the keyboard driver rewrites"), std::string::npos) << Output ();
}

TEST_F (SetupCommand, StatusWithNothingLoaded) {
  fake::Firmware::Reset ();

  EXPECT_EQ (Run ({ u"status" }), EFI_SUCCESS);
  std::string  Text = Output ();
  EXPECT_NE (Text.find ("\"FTDI-232 USB Serial Driver\": not loaded"), std::string::npos) << Text;
  EXPECT_NE (Text.find ("\"NFC Keyboard Driver\": not loaded"), std::string::npos) << Text;
  EXPECT_NE (Text.find ("ZorvikConf: not set"), std::string::npos) << Text;
  EXPECT_NE (Text.find ("\"USB UART Bridge Driver\": not loaded"), std::string::npos) << Text;
  EXPECT_NE (Text.find ("USB serial lines: 0"), std::string::npos) << Text;
  EXPECT_NE (Text.find ("NFC keyboard: not running"), std::string::npos) << Text;
  EXPECT_NE (Text.find ("ConIn: not set"), std::string::npos) << Text;
}

TEST_F (SetupCommand, StatusFailsWhenAVariableCannotBeRead) {
  fake::Firmware::FailNext ("GetVariable", EFI_DEVICE_ERROR);

  EXPECT_EQ (Run ({ u"status" }), EFI_DEVICE_ERROR);
  EXPECT_NE (Output ().find ("ZorvikConf: cannot be read"), std::string::npos) << Output ();
}

// Memory runs out right after the USB I/O handles are listed, where the ports are gathered.
TEST_F (SetupCommand, StatusFailsWhenThePortsCannotBeListed) {
  static EFI_LOCATE_HANDLE_BUFFER  RealLocate;
  StartKeyboard ();
  RealLocate                = gBS->LocateHandleBuffer;
  gBS->LocateHandleBuffer   = [] (EFI_LOCATE_SEARCH_TYPE Type, EFI_GUID *Guid, VOID *Key, UINTN *Count, EFI_HANDLE **Buffer) EFIAPI {
    EFI_STATUS  Status = RealLocate (Type, Guid, Key, Count, Buffer);
    if ((Guid != nullptr) && CompareGuid (Guid, &gEfiUsbIoProtocolGuid)) {
      fake::Firmware::FailAllocation (1);
    }
    return Status;
  };
  EFI_STATUS  Result = Run ({ u"status" });
  gBS->LocateHandleBuffer = RealLocate;
  EXPECT_EQ (Result, EFI_OUT_OF_RESOURCES);
  EXPECT_NE (Output ().find ("USB serial lines: cannot be listed (Out of Resources)"), std::string::npos) << Output ();
  EXPECT_NE (Output ().find ("ConIn: not set"), std::string::npos) << "the other lines still come";
}

} // namespace
