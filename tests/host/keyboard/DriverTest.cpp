/** @file
  The keyboard as the firmware and a console see it: entry, binding, poll, text input.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/
#include <gtest/gtest.h>
#include <gtest/gtest-spi.h>
#include <cstdio>
#include <cstring>

#include "FakeFirmware.h"
#include "FakePortIo.h"
#include "FakePn532.h"
#include "NfcKeyboard.h"
#include <Char16.h>

extern "C" {
#include <Guid/GlobalVariable.h>
#include <Guid/PcAnsi.h>
#include <Guid/TtyTerm.h>
#include <Library/BaseMemoryLib.h>
#include <Library/DevicePathLib.h>
#include <Library/MemoryAllocationLib.h>
#include <Protocol/UsbIo.h>
}

namespace {

const CHAR16    *const ConfName = CHAR16_TEXT (ZORVIK_CONF_VARIABLE_NAME);
const EFI_GUID  ConfGuid   = ZORVIK_CONF_GUID;

// The terminal driver, ranked below the keyboard: it takes any line it can open and, as
// EDK II's does, makes a console child named by the line's path and the terminal type
// (the one RemainingDevicePath asks for, else PC-ANSI). With Child off it stands for a
// driver that holds a line without a terminal of its own.
struct TerminalStandIn {
  static inline bool                         Started = false;
  static inline bool                         Child   = true;
  static inline int                          Stops   = 0;
  static inline EFI_GUID                     Type    = {};
  static inline EFI_HANDLE                   Console = nullptr;
  static inline std::vector<UINT8>           ConsolePath;
  static inline EFI_DRIVER_BINDING_PROTOCOL  Binding = {};

  static EFI_STATUS EFIAPI Open (EFI_DRIVER_BINDING_PROTOCOL *This, EFI_HANDLE Handle, EFI_DEVICE_PATH_PROTOCOL *)
  {
    VOID  *Io;
    return gBS->OpenProtocol (Handle, &gEfiSerialIoProtocolGuid, &Io, This->DriverBindingHandle, Handle, EFI_OPEN_PROTOCOL_BY_DRIVER);
  }

  static EFI_STATUS EFIAPI Supported (EFI_DRIVER_BINDING_PROTOCOL *This, EFI_HANDLE Handle, EFI_DEVICE_PATH_PROTOCOL *Rest)
  {
    EFI_STATUS  Status = Open (This, Handle, Rest);
    if (!EFI_ERROR (Status)) {
      gBS->CloseProtocol (Handle, &gEfiSerialIoProtocolGuid, This->DriverBindingHandle, Handle);
    }
    return Status;
  }

  static EFI_STATUS EFIAPI Start (EFI_DRIVER_BINDING_PROTOCOL *This, EFI_HANDLE Handle, EFI_DEVICE_PATH_PROTOCOL *Rest)
  {
    EFI_STATUS                Status = Open (This, Handle, Rest);
    EFI_DEVICE_PATH_PROTOCOL  *Path;
    VOID                      *Io;
    static VENDOR_DEVICE_PATH  Default;

    Started = !EFI_ERROR (Status);
    if (!Started || !Child || EFI_ERROR (gBS->HandleProtocol (Handle, &gEfiDevicePathProtocolGuid, (VOID **)&Path))) {
      return Status;
    }
    Default = { { MESSAGING_DEVICE_PATH, MSG_VENDOR_DP, { sizeof (Default), 0 } }, gEfiPcAnsiGuid };
    EFI_DEVICE_PATH_PROTOCOL  *Node = ((Rest != nullptr) && !IsDevicePathEnd (Rest)) ? Rest : &Default.Header;
    Type    = ((VENDOR_DEVICE_PATH *)Node)->Guid;
    Console = fake::Firmware::NewHandle ();
    EFI_DEVICE_PATH_PROTOCOL  *Named = AppendDevicePathNode (Path, Node);
    ConsolePath.assign ((UINT8 *)Named, (UINT8 *)Named + GetDevicePathSize (Named));
    FreePool (Named);
    EXPECT_EQ (fake::Firmware::Install (&Console, gEfiDevicePathProtocolGuid, ConsolePath.data ()), EFI_SUCCESS);
    return gBS->OpenProtocol (Handle, &gEfiSerialIoProtocolGuid, &Io, This->DriverBindingHandle, Console, EFI_OPEN_PROTOCOL_BY_CHILD_CONTROLLER);
  }

  static EFI_STATUS EFIAPI Stop (EFI_DRIVER_BINDING_PROTOCOL *This, EFI_HANDLE Handle, UINTN Children, EFI_HANDLE *)
  {
    if (Children != 0) {
      return gBS->CloseProtocol (Handle, &gEfiSerialIoProtocolGuid, This->DriverBindingHandle, Console);
    }
    Started = false;
    Stops++;
    return gBS->CloseProtocol (Handle, &gEfiSerialIoProtocolGuid, This->DriverBindingHandle, Handle);
  }

  static void Install (bool WithChild = true)
  {
    Binding = { Supported, Start, Stop, 0xa, nullptr, nullptr };
    Started = false;
    Child   = WithChild;
    Stops   = 0;
    Type    = {};
    ASSERT_EQ (fake::Firmware::Install (&Binding.DriverBindingHandle, gEfiDriverBindingProtocolGuid, &Binding), EFI_SUCCESS);
    Binding.ImageHandle = Binding.DriverBindingHandle;
  }
};

// A driver that manages something else on a line's handle (a protocol of its own, since
// the terminal driver opens the line's path itself): a probe leaves it running.
struct Bystander {
  static inline int                          Stops   = 0;
  static inline EFI_DRIVER_BINDING_PROTOCOL  Binding = {};
  static inline UINT8                        Thing   = 0;

  static EFI_STATUS EFIAPI Supported (EFI_DRIVER_BINDING_PROTOCOL *, EFI_HANDLE, EFI_DEVICE_PATH_PROTOCOL *) { return EFI_UNSUPPORTED; }
  static EFI_STATUS EFIAPI Stop (EFI_DRIVER_BINDING_PROTOCOL *, EFI_HANDLE, UINTN, EFI_HANDLE *) { Stops++; return EFI_SUCCESS; }

  static void Attach (EFI_HANDLE Handle)
  {
    VOID  *Path;
    Binding = { Supported, nullptr, Stop, 1, nullptr, nullptr };
    Stops   = 0;
    ASSERT_EQ (fake::Firmware::Install (&Binding.DriverBindingHandle, gEfiDriverBindingProtocolGuid, &Binding), EFI_SUCCESS);
    ASSERT_EQ (fake::Firmware::Install (&Handle, gEfiGlobalVariableGuid, &Thing), EFI_SUCCESS);
    ASSERT_EQ (gBS->OpenProtocol (Handle, &gEfiGlobalVariableGuid, &Path, Binding.DriverBindingHandle, Handle, EFI_OPEN_PROTOCOL_BY_DRIVER), EFI_SUCCESS);
  }
};

class Keyboard : public ::testing::Test {
protected:
  fake::Pn532  Line;
  EFI_HANDLE   Controller = nullptr;
  size_t       BaseAllocations = 0;
  size_t       BaseEvents = 0;

  void SetUp () override
  {
    fake::Firmware::Reset ();
    fake::PortIo::Reset ();
    Line.Awake = false;   // a reader fresh from power-up
    Controller = fake::Firmware::NewHandle ();
    ASSERT_EQ (fake::Firmware::Install (&Controller, gEfiSerialIoProtocolGuid, &Line.SerialIo), EFI_SUCCESS);
  }

  void Load (int Enabled)
  {
    if (Enabled >= 0) {
      UINT8  B = (UINT8)Enabled;
      fake::Firmware::PutVariable (ConfName, ConfGuid, 3, &B, 1);
    }
    ASSERT_EQ (NfcKeyboardDriverEntryPoint (gImageHandle, gST), EFI_SUCCESS);
    BaseAllocations = fake::Firmware::LiveAllocations ();
    BaseEvents      = fake::Firmware::OpenEvents ();
  }

  EFI_STATUS Supported () { return NfcKeyboardSupported (&gNfcKeyboardDriverBinding, Controller, nullptr); }
  EFI_STATUS Start () { return NfcKeyboardStart (&gNfcKeyboardDriverBinding, Controller, nullptr); }
  EFI_STATUS Stop () { return NfcKeyboardStop (&gNfcKeyboardDriverBinding, Controller, 0, nullptr); }

  NFC_KEYBOARD_DEV *Dev ()
  {
    auto  *In = static_cast<EFI_SIMPLE_TEXT_INPUT_PROTOCOL *>(fake::Firmware::Find (Controller, gEfiSimpleTextInProtocolGuid));
    return In ? NfcKeyboardFromProtocol (In) : nullptr;
  }

  std::u16string Drain ()
  {
    std::u16string  Typed;
    EFI_INPUT_KEY   K;
    for (int I = 0; I < 100; I++) {
      if (Dev ()->SimpleTextIn.ReadKeyStroke (&Dev ()->SimpleTextIn, &K) == EFI_SUCCESS) {
        Typed.push_back ((char16_t)K.UnicodeChar);
      }
    }
    return Typed;
  }

  void ExpectReleased ()
  {
    EXPECT_EQ (fake::Firmware::LiveAllocations (), BaseAllocations);
    EXPECT_EQ (fake::Firmware::OpenEvents (), BaseEvents);
    EXPECT_EQ (fake::Firmware::OpenCount (Controller, gEfiSerialIoProtocolGuid, EFI_OPEN_PROTOCOL_BY_DRIVER), 0u);
    EXPECT_EQ (mKeyboardCount, 0u);
  }
};

TEST_F (Keyboard, AbsentConfigurationIsCreatedDisabled) {
  Load (-1);
  std::vector<uint8_t>  Data;
  UINT32                Attributes = 0;
  ASSERT_TRUE (fake::Firmware::ReadVariable (ConfName, ConfGuid, &Data, &Attributes));
  EXPECT_EQ (Data, std::vector<uint8_t> ({ 0 }));
  EXPECT_EQ (Attributes, 3u);
  EXPECT_EQ (Supported (), EFI_SUCCESS);
  EXPECT_EQ (Start (), EFI_UNSUPPORTED);
}

// Firmware refuses to rewrite a variable under other attributes, so a ZorvikConf stored
// otherwise must be deleted first; a read that merely failed must not cost the stored value.
TEST_F (Keyboard, ConfigurationStoredOtherwiseIsRepairedAndAFailedEntryLeavesNothing) {
  constexpr UINT32  NvBsRt = 7;
  const struct {
    std::vector<uint8_t>  Stored;
    UINT32                Attributes;
    EFI_STATUS            ReadFault, WriteFault;
    std::vector<uint8_t>  After;
    UINT32                AfterAttributes;
    UINT8                 Enabled;
  } Rows[] = {
    { { 1, 1 }, 3,      EFI_SUCCESS,      EFI_SUCCESS,         { 0 },    3,      0 },
    { { 1, 1 }, NvBsRt, EFI_SUCCESS,      EFI_SUCCESS,         { 0 },    3,      0 },
    { { 1 },    NvBsRt, EFI_SUCCESS,      EFI_SUCCESS,         { 1 },    NvBsRt, 1 },   // as an OS tool enables it
    { { 1 },    2,      EFI_SUCCESS,      EFI_SUCCESS,         { 1 },    3,      1 },   // set without -nv
    { { 1 },    2,      EFI_SUCCESS,      EFI_OUT_OF_RESOURCES, { 1 },   2,      1 },   // the write after the delete fails
    { { 1 },    3,      EFI_DEVICE_ERROR, EFI_SUCCESS,         { 1 },    3,      0 },   // off this boot only
    { { 1, 1 }, NvBsRt, EFI_SUCCESS,      EFI_WRITE_PROTECTED, { 1, 1 }, NvBsRt, 0 },   // still loads
  };

  for (const auto &Row : Rows) {
    fake::Firmware::Reset ();
    fake::Firmware::PutVariable (ConfName, ConfGuid, Row.Attributes, Row.Stored.data (), Row.Stored.size ());
    if (Row.ReadFault != EFI_SUCCESS) {
      fake::Firmware::FailNext ("GetVariable", Row.ReadFault);
    }
    // Out of resources plays a store that takes the delete but not the write after it.
    static EFI_SET_VARIABLE  RealSet;
    static int               Calls;
    RealSet = gRT->SetVariable;
    Calls   = 0;
    if (Row.WriteFault == EFI_OUT_OF_RESOURCES) {
      gRT->SetVariable = +[](CHAR16 *N, EFI_GUID *G, UINT32 A, UINTN S, VOID *D) EFIAPI -> EFI_STATUS {
        return (++Calls == 2) ? EFI_OUT_OF_RESOURCES : RealSet (N, G, A, S, D);
      };
    } else {
      fake::Firmware::FailSetVariable (Row.WriteFault);
    }
    EXPECT_EQ (NfcKeyboardDriverEntryPoint (gImageHandle, gST), EFI_SUCCESS) << Row.Attributes;
    gRT->SetVariable = RealSet;
    std::vector<uint8_t>  Data;
    UINT32                Attributes = 0;
    ASSERT_TRUE (fake::Firmware::ReadVariable (ConfName, ConfGuid, &Data, &Attributes));
    EXPECT_EQ (Data, Row.After);
    EXPECT_EQ (Attributes, Row.AfterAttributes);
    EXPECT_EQ ((mConfiguration != nullptr) ? mConfiguration->Enabled : 0xff, Row.Enabled);
  }
  std::string  Log = fake::PortIo::Written (0x3F8);
  EXPECT_NE (Log.find ("WARN] ZorvikConf cannot be read (Device Error): keyboard off this boot"), std::string::npos) << Log;
  EXPECT_NE (Log.find ("WARN] ZorvikConf cannot be replaced (Write Protected): keyboard off this boot"), std::string::npos) << Log;

  fake::Firmware::Reset ();
  fake::Firmware::FailSetVariable (EFI_WRITE_PROTECTED);
  EXPECT_EQ (NfcKeyboardDriverEntryPoint (gImageHandle, gST), EFI_UNSUPPORTED);
  EXPECT_EQ (fake::Firmware::Find (gImageHandle, gEfiDriverBindingProtocolGuid), nullptr);
  EXPECT_EQ (fake::Firmware::LiveAllocations (), 0u);

  // A refused install (EDK II's library asserts on it) leaves no configuration behind.
  static EFI_STATUS  Status;
  fake::Firmware::Reset ();
  fake::Firmware::FailNext ("InstallMultipleProtocolInterfaces", EFI_OUT_OF_RESOURCES);
  EXPECT_NONFATAL_FAILURE (Status = NfcKeyboardDriverEntryPoint (gImageHandle, gST), "ASSERT");
  EXPECT_EQ (Status, EFI_OUT_OF_RESOURCES);
  EXPECT_EQ (fake::Firmware::LiveAllocations (), 0u);
  EXPECT_EQ (mConfiguration, nullptr);
}

TEST_F (Keyboard, BindingOutranksTheTerminalDriver) {
  Load (0x7F);
  EXPECT_EQ (gNfcKeyboardDriverBinding.Version, 0x10u);
  EXPECT_EQ (fake::Firmware::Find (gImageHandle, gEfiDriverBindingProtocolGuid), &gNfcKeyboardDriverBinding);
  CHAR16  *Name = nullptr;
  EXPECT_EQ (gNfcKeyboardComponentName.GetDriverName (&gNfcKeyboardComponentName, (CHAR8 *)"eng", &Name), EFI_SUCCESS);
  EXPECT_EQ (std::u16string ((const char16_t *)Name), u"NFC Keyboard Driver");
  EXPECT_EQ (gNfcKeyboardComponentName2.GetDriverName (&gNfcKeyboardComponentName2, (CHAR8 *)"eng", &Name), EFI_UNSUPPORTED);
  EXPECT_EQ (gNfcKeyboardComponentName.GetControllerName (&gNfcKeyboardComponentName, Controller, nullptr, (CHAR8 *)"eng", &Name), EFI_UNSUPPORTED);
}

TEST_F (Keyboard, ACardIsTypedAsHexAndFiguresAreMeasured) {
  Load (1);
  ASSERT_EQ (Supported (), EFI_SUCCESS);
  size_t  BytesBefore = fake::Firmware::LiveBytes ();
  ASSERT_EQ (Start (), EFI_SUCCESS);
  size_t  Held = fake::Firmware::LiveBytes () - BytesBefore;
  EXPECT_EQ (fake::Firmware::TimerPeriod100ns (Dev ()->PollTimer), 5000000u);
  EXPECT_EQ (fake::Firmware::TimerType (Dev ()->PollTimer), TimerPeriodic);

  UINT64  T0 = fake::Firmware::NowUs ();
  fake::Firmware::FireTimer (Dev ()->PollTimer);
  UINT64  NoCard = fake::Firmware::NowUs () - T0;
  EXPECT_TRUE (KeyRingIsEmpty (&Dev ()->KeyQueue));

  Line.Card = { 0x04, 0xA1, 0x3F, 0x7B, 0x00, 0xFF, 0x12 };
  T0 = fake::Firmware::NowUs ();
  fake::Firmware::FireTimer (Dev ()->PollTimer);
  UINT64  Card7 = fake::Firmware::NowUs () - T0;

  // A tick while keys wait sends nothing.
  size_t  Writes = Line.Writes.size ();
  fake::Firmware::FireTimer (Dev ()->PollTimer);
  EXPECT_EQ (Line.Writes.size (), Writes);

  EXPECT_EQ (Drain (), u"04A13F7B00FF12");
  // Card gone, a busy firmware's tick against the idle loop of one waiting in
  // WaitForEvent: the same exchange, less the wait for a tick.
  Line.Card.clear ();
  fake::Firmware::AdvanceToJustAfterTick ();
  T0 = fake::Firmware::NowUs ();
  fake::Firmware::FireTimer (Dev ()->PollTimer);
  UINT64  Busy = fake::Firmware::NowUs () - T0;
  fake::Firmware::Idle ();
  fake::Firmware::FireTimer (Dev ()->PollTimer);
  T0 = fake::Firmware::NowUs ();
  fake::Firmware::Idle ();
  UINT64  FromIdle = fake::Firmware::NowUs () - T0;
  EXPECT_LE (FromIdle + 9000, Busy);
  std::printf ("FIGURE poll tick at TPL_NOTIFY: no card %llu us, 7-byte card %llu us; card gone %llu us, %llu us from "
               "the idle loop; pool held by a running keyboard %zu bytes\n", (unsigned long long)NoCard,
               (unsigned long long)Card7, (unsigned long long)Busy, (unsigned long long)FromIdle, Held);
  EXPECT_TRUE (fake::Firmware::TplBalanced ());

  ASSERT_EQ (Stop (), EFI_SUCCESS);
  ExpectReleased ();
}

TEST_F (Keyboard, APollInsideTheTimerInterruptLeavesTheReaderAlone) {
  Load (1);
  ASSERT_EQ (Start (), EFI_SUCCESS);
  Line.Card = { 0x04, 0xA1, 0x3F, 0x7B };
  size_t  Writes = Line.Writes.size ();
  fake::Firmware::HoldTicks (true);
  fake::Firmware::FireTimer (Dev ()->PollTimer);
  EXPECT_EQ (Line.Writes.size (), Writes);
  EXPECT_TRUE (KeyRingIsEmpty (&Dev ()->KeyQueue));
  fake::Firmware::HoldTicks (false);
  fake::Firmware::FireTimer (Dev ()->PollTimer);
  EXPECT_EQ (Drain (), u"04A13F7B");
  // A firmware that has idled in WaitForEvent since the last period gets the exchange
  // from its idle loop: the tick's notify, even inside the interrupt, only hands it over
  // and waits for no tick.
  Line.Place ({ 0x11, 0x22, 0x33, 0x44 });
  fake::Firmware::Idle ();
  fake::Firmware::HoldTicks (true);
  UINT64  T0 = fake::Firmware::NowUs ();
  Writes     = Line.Writes.size ();
  fake::Firmware::FireTimer (Dev ()->PollTimer);
  EXPECT_EQ (fake::Firmware::NowUs (), T0);
  EXPECT_EQ (Line.Writes.size (), Writes);
  fake::Firmware::HoldTicks (false);
  fake::Firmware::Idle ();
  EXPECT_EQ (Drain (), u"11223344");
  EXPECT_TRUE (fake::Firmware::TplBalanced ());
  ASSERT_EQ (Stop (), EFI_SUCCESS);
  ExpectReleased ();
}

// The controller answers a search still pending when the card arrives between two
// polls; that late answer waits on the line and must not run into the next exchange.
TEST_F (Keyboard, ACardArrivingBetweenPollsIsTypedOnce) {
  Load (1);
  ASSERT_EQ (Start (), EFI_SUCCESS);
  fake::Firmware::FireTimer (Dev ()->PollTimer);
  Line.Place ({ 0x04, 0xA1, 0x3F, 0x7B });
  fake::Firmware::AdvanceUs (100000);
  ASSERT_GT (Line.Pending (), 0u);
  fake::Firmware::FireTimer (Dev ()->PollTimer);
  EXPECT_EQ (Drain (), u"04A13F7B");
  Line.Place ({ 0x11, 0x22, 0x33, 0x44 });
  fake::Firmware::FireTimer (Dev ()->PollTimer);
  EXPECT_EQ (Drain (), u"11223344");
  ASSERT_EQ (Stop (), EFI_SUCCESS);
  ExpectReleased ();
}

TEST_F (Keyboard, OnlyAnswersWithOneTargetAndAShortIdBecomeKeys) {
  Load (1);
  ASSERT_EQ (Start (), EFI_SUCCESS);
  struct { uint8_t Targets; std::vector<uint8_t> Id; } Cases[] = {
    { 0, { 1, 2, 3, 4 } }, { 2, { 1, 2, 3, 4 } }, { 1, std::vector<uint8_t> (8, 1) }, { 1, std::vector<uint8_t> (10, 1) }, { 1, {} }
  };
  for (auto &C : Cases) {
    Line.Targets = C.Targets;
    Line.Card    = C.Id;
    if (C.Id.empty ()) {
      Line.RawResponse = fake::Pn532::Frame (0xD5, { 0x4B, 0x01, 0x01, 0x00, 0x44, 0x00, 0x00 });
    }
    fake::Firmware::FireTimer (Dev ()->PollTimer);
    EXPECT_TRUE (KeyRingIsEmpty (&Dev ()->KeyQueue));
  }
  // NbTg 1 with nothing behind it: the identifier length is not the controller's.
  Line.RawResponse = fake::Pn532::Frame (0xD5, { 0x4B, 0x01 });
  Line.Card = { 1 };
  fake::Firmware::FireTimer (Dev ()->PollTimer);
  EXPECT_TRUE (KeyRingIsEmpty (&Dev ()->KeyQueue));
  // And the next poll works again.
  Line.Targets = 1;
  Line.Card = { 0xAB };
  fake::Firmware::FireTimer (Dev ()->PollTimer);
  EXPECT_EQ (Drain (), u"AB");
  ASSERT_EQ (Stop (), EFI_SUCCESS);
  ExpectReleased ();
}

TEST_F (Keyboard, TextInputRefusesNullsAndManagesNotifications) {
  Load (1);
  ASSERT_EQ (Start (), EFI_SUCCESS);
  auto  *In = &Dev ()->SimpleTextIn;
  auto  *Ex = &Dev ()->SimpleTextInEx;
  Line.Card = { 0x12 };
  fake::Firmware::FireTimer (Dev ()->PollTimer);
  EXPECT_EQ (In->ReadKeyStroke (In, nullptr), EFI_INVALID_PARAMETER);
  EXPECT_EQ (Ex->ReadKeyStrokeEx (Ex, nullptr), EFI_INVALID_PARAMETER);
  EXPECT_EQ (Ex->SetState (Ex, nullptr), EFI_INVALID_PARAMETER);
  for (EFI_EVENT E : { In->WaitForKey, Ex->WaitForKeyEx }) {
    EXPECT_EQ (gBS->CheckEvent (E), EFI_SUCCESS);
  }
  EXPECT_EQ (Drain (), u"12") << "a refused call neither loses a key nor moves the phase";
  for (EFI_EVENT E : { In->WaitForKey, Ex->WaitForKeyEx }) {
    EXPECT_EQ (gBS->CheckEvent (E), EFI_NOT_READY);
  }

  // What a console splitter passes on (it always adds EFI_KEY_STATE_EXPOSED, and hands
  // every keyboard's lock keys to every other) is taken; no valid mark or an unknown bit is not.
  struct { EFI_KEY_TOGGLE_STATE State; EFI_STATUS Status; } States[] = {
    { EFI_TOGGLE_STATE_VALID, EFI_SUCCESS },
    { EFI_TOGGLE_STATE_VALID | EFI_KEY_STATE_EXPOSED | EFI_SCROLL_LOCK_ACTIVE | EFI_NUM_LOCK_ACTIVE | EFI_CAPS_LOCK_ACTIVE, EFI_SUCCESS },
    { 0, EFI_UNSUPPORTED },
    { EFI_KEY_STATE_EXPOSED | EFI_NUM_LOCK_ACTIVE, EFI_UNSUPPORTED },
    { EFI_TOGGLE_STATE_VALID | 0x08, EFI_UNSUPPORTED },
    { EFI_TOGGLE_STATE_VALID | EFI_KEY_STATE_EXPOSED | 0x20, EFI_UNSUPPORTED },
  };
  for (auto &S : States) {
    EFI_KEY_TOGGLE_STATE  State = S.State;
    EXPECT_EQ (Ex->SetState (Ex, &State), S.Status) << std::hex << (int)S.State;
  }

  EFI_KEY_DATA  K = {};
  K.Key.UnicodeChar = 'A';
  VOID  *H1 = nullptr, *H2 = nullptr, *H3 = nullptr, *Left = nullptr, *Right = nullptr;
  auto  Fn = [] (EFI_KEY_DATA *) EFIAPI -> EFI_STATUS { return EFI_SUCCESS; };
  EXPECT_EQ (Ex->RegisterKeyNotify (Ex, &K, Fn, &H1), EFI_SUCCESS);
  EXPECT_EQ (Ex->RegisterKeyNotify (Ex, &K, Fn, &H2), EFI_SUCCESS);
  EXPECT_EQ (H1, H2) << "the same key, state and function are found again";
  EXPECT_EQ (Ex->RegisterKeyNotify (Ex, nullptr, Fn, &H2), EFI_INVALID_PARAMETER);
  EXPECT_EQ (Ex->RegisterKeyNotify (Ex, &K, nullptr, &H2), EFI_INVALID_PARAMETER);
  EXPECT_EQ (Ex->RegisterKeyNotify (Ex, &K, Fn, nullptr), EFI_INVALID_PARAMETER);
  K.Key.ScanCode = SCAN_ESC;
  EXPECT_EQ (Ex->RegisterKeyNotify (Ex, &K, Fn, &H2), EFI_SUCCESS);
  EXPECT_NE (H1, H2) << "a scan code of its own is a key of its own";
  K.Key.ScanCode = SCAN_NULL;
  // The shell registers Ctrl+C for the left and the right Ctrl, and unregisters each.
  K.KeyState.KeyShiftState = EFI_SHIFT_STATE_VALID | EFI_LEFT_CONTROL_PRESSED;
  EXPECT_EQ (Ex->RegisterKeyNotify (Ex, &K, Fn, &Left), EFI_SUCCESS);
  K.KeyState.KeyShiftState = EFI_SHIFT_STATE_VALID | EFI_RIGHT_CONTROL_PRESSED;
  EXPECT_EQ (Ex->RegisterKeyNotify (Ex, &K, Fn, &Right), EFI_SUCCESS);
  K.KeyState.KeyShiftState  = 0;
  K.KeyState.KeyToggleState = EFI_TOGGLE_STATE_VALID | EFI_CAPS_LOCK_ACTIVE;
  EXPECT_EQ (Ex->RegisterKeyNotify (Ex, &K, Fn, &H2), EFI_SUCCESS);
  EXPECT_TRUE (H1 != Left && Left != Right && H1 != H2 && Left != H2) << "a state of its own is a registration of its own";
  EXPECT_EQ (Ex->UnregisterKeyNotify (Ex, Left), EFI_SUCCESS);
  EXPECT_EQ (Ex->UnregisterKeyNotify (Ex, Right), EFI_SUCCESS);
  K.KeyState.KeyToggleState = 0;
  K.Key.UnicodeChar = 'B';
  EXPECT_EQ (Ex->RegisterKeyNotify (Ex, &K, Fn, &H3), EFI_SUCCESS);
  EXPECT_NE (H1, H3);
  auto  Other = [] (EFI_KEY_DATA *) EFIAPI -> EFI_STATUS { return EFI_NOT_FOUND; };
  VOID  *H4 = nullptr;
  K.Key.UnicodeChar = 'A';
  EXPECT_EQ (Ex->RegisterKeyNotify (Ex, &K, Other, &H4), EFI_SUCCESS);
  EXPECT_NE (H1, H4) << "another function for the same key is a registration of its own";
  static std::u16string  Notified;
  auto  Record = [] (EFI_KEY_DATA *Key) EFIAPI -> EFI_STATUS { Notified += Key->Key.UnicodeChar; return EFI_SUCCESS; };
  auto  Hotkey = [] (EFI_KEY_DATA *) EFIAPI -> EFI_STATUS { Notified += u'^'; return EFI_SUCCESS; };
  VOID  *H5 = nullptr;
  K.Key.UnicodeChar = '2';
  ASSERT_EQ (Ex->RegisterKeyNotify (Ex, &K, Record, &H5), EFI_SUCCESS);
  K.KeyState.KeyShiftState = EFI_SHIFT_STATE_VALID | EFI_LEFT_CONTROL_PRESSED;
  ASSERT_EQ (Ex->RegisterKeyNotify (Ex, &K, Hotkey, &H5), EFI_SUCCESS);
  K.KeyState.KeyShiftState  = 0;
  K.KeyState.KeyToggleState = EFI_TOGGLE_STATE_VALID;
  ASSERT_EQ (Ex->RegisterKeyNotify (Ex, &K, Hotkey, &H5), EFI_SUCCESS);
  Line.Card = { 0x12, 0x22 };
  fake::Firmware::FireTimer (Dev ()->PollTimer);
  EXPECT_EQ (Notified, u"222") << "each typed key a registration matches reaches its function once, and a card types no Ctrl";
  EXPECT_EQ (Drain (), u"1222") << "and is read as well";
  EXPECT_EQ (Ex->UnregisterKeyNotify (Ex, H1), EFI_SUCCESS);
  EXPECT_EQ (Ex->UnregisterKeyNotify (Ex, H1), EFI_INVALID_PARAMETER);
  ASSERT_EQ (Stop (), EFI_SUCCESS);   // H3 still registered: Stop frees it
  ExpectReleased ();
}

// What a key-notify function may do from inside its call: end registrations, register
// (itself again, too), or disconnect the keyboard, as a hot key or the console splitter
// letting a device go does. A card of 0x22 types two keys for it and for Later after it.
TEST_F (Keyboard, ANotificationMayUnregisterRegisterOrStopFromItsCall) {
  static EFI_SIMPLE_TEXT_INPUT_EX_PROTOCOL  *Ex;
  static EFI_KEY_NOTIFY_FUNCTION            First;
  static EFI_HANDLE                         Handle;
  static VOID                               *Self, *Next;
  static EFI_KEY_DATA                       K;
  static std::u16string                     Calls;
  static const EFI_KEY_NOTIFY_FUNCTION      Later = [] (EFI_KEY_DATA *) EFIAPI -> EFI_STATUS { Calls += u'L'; return EFI_SUCCESS; };
  struct {
    const char               *What;
    EFI_KEY_NOTIFY_FUNCTION  Function;
    const char16_t           *Calls;
    size_t                   Records;   // left registered after the dispatch; ~0 for a stopped keyboard
  } Cases[] = {
    { "ends its own and the next registration", [] (EFI_KEY_DATA *) EFIAPI -> EFI_STATUS {
        Calls += u'O';
        EXPECT_EQ (Ex->UnregisterKeyNotify (Ex, Self), EFI_SUCCESS);
        EXPECT_EQ (Ex->UnregisterKeyNotify (Ex, Next), EFI_SUCCESS);
        EXPECT_EQ (Ex->UnregisterKeyNotify (Ex, Self), EFI_INVALID_PARAMETER);
        return EFI_SUCCESS;
      }, u"O", 0 },
    // Bounded, so a dispatch that calls new registrations at once ends too.
    { "registers itself again", [] (EFI_KEY_DATA *) EFIAPI -> EFI_STATUS {
        Calls += u'R';
        if (Calls.size () < 12) {
          EXPECT_EQ (Ex->UnregisterKeyNotify (Ex, Self), EFI_SUCCESS);
          EXPECT_EQ (Ex->RegisterKeyNotify (Ex, &K, First, &Self), EFI_SUCCESS);
        }
        return EFI_SUCCESS;
      }, u"RLLR", 2 },
    { "registers another function", [] (EFI_KEY_DATA *) EFIAPI -> EFI_STATUS {
        VOID  *New;
        Calls += u'G';
        return Ex->RegisterKeyNotify (Ex, &K, [] (EFI_KEY_DATA *) EFIAPI -> EFI_STATUS { Calls += u'N'; return EFI_SUCCESS; }, &New);
      }, u"GLGLN", 3 },
    { "disconnects the keyboard", [] (EFI_KEY_DATA *) EFIAPI -> EFI_STATUS {
        Calls += u'S';
        EXPECT_EQ (gBS->DisconnectController (Handle, nullptr, nullptr), EFI_SUCCESS);
        return EFI_SUCCESS;
      }, u"S", ~(size_t)0 },
    { "ends its registration, then disconnects", [] (EFI_KEY_DATA *) EFIAPI -> EFI_STATUS {
        Calls += u'U';
        EXPECT_EQ (Ex->UnregisterKeyNotify (Ex, Self), EFI_SUCCESS);
        EXPECT_EQ (gBS->DisconnectController (Handle, nullptr, nullptr), EFI_SUCCESS);
        return EFI_SUCCESS;
      }, u"U", ~(size_t)0 },
  };
  Load (1);
  for (auto &C : Cases) {
    ASSERT_EQ (Start (), EFI_SUCCESS);
    Ex     = &Dev ()->SimpleTextInEx;
    Handle = Controller;
    First  = C.Function;
    K      = {};
    K.Key.UnicodeChar = '2';
    Calls.clear ();
    ASSERT_EQ (Ex->RegisterKeyNotify (Ex, &K, First, &Self), EFI_SUCCESS);
    ASSERT_EQ (Ex->RegisterKeyNotify (Ex, &K, Later, &Next), EFI_SUCCESS);
    Line.Card = { 0x22 };
    fake::Firmware::FireTimer (Dev ()->PollTimer);
    EXPECT_EQ (Calls, C.Calls) << C.What << ": a registration made in the dispatch waits for the next key";
    EXPECT_TRUE (fake::Firmware::TplBalanced ()) << C.What;
    if (C.Records != ~(size_t)0) {
      size_t  Records = 0;
      for (LIST_ENTRY *L = GetFirstNode (&Dev ()->NotifyList); !IsNull (&Dev ()->NotifyList, L); L = GetNextNode (&Dev ()->NotifyList, L)) {
        Records++;
      }
      EXPECT_EQ (Records, C.Records) << C.What << ": what was unregistered is freed once the dispatch ends";
      EXPECT_EQ (Drain (), u"22") << C.What;
      ASSERT_EQ (Stop (), EFI_SUCCESS);
    }
    EXPECT_EQ (Dev (), nullptr) << C.What;
    ExpectReleased ();
  }
}

// Reset keeps a ring's block when it gets no new one, and says so when a ring has none.
TEST_F (Keyboard, ResetWithoutMemory) {
  Load (1);
  ASSERT_EQ (Start (), EFI_SUCCESS);
  auto  *In = &Dev ()->SimpleTextIn;
  fake::Firmware::FailAllocation (1);
  EXPECT_EQ (In->Reset (In, FALSE), EFI_SUCCESS);
  Line.Card = { 0x5A };
  fake::Firmware::FireTimer (Dev ()->PollTimer);
  EXPECT_EQ (Drain (), u"5A");
  KeyRingFree (&Dev ()->NotifyQueue);
  fake::Firmware::FailAllocation (2);
  EXPECT_EQ (Dev ()->SimpleTextInEx.Reset (&Dev ()->SimpleTextInEx, TRUE), EFI_DEVICE_ERROR);
  EXPECT_EQ (In->Reset (In, FALSE), EFI_SUCCESS);
  ASSERT_EQ (Stop (), EFI_SUCCESS);
  ExpectReleased ();
}

TEST_F (Keyboard, OneKeyboardAtATime) {
  Load (1);
  fake::Pn532  Other;
  EFI_HANDLE   Second = fake::Firmware::NewHandle ();
  ASSERT_EQ (fake::Firmware::Install (&Second, gEfiSerialIoProtocolGuid, &Other.SerialIo), EFI_SUCCESS);
  // A second line offered from a notify while Start has the link (during the wake-up's
  // stall) waits for the retake, and the link stays on the reader's line.
  static EFI_HANDLE  Nested;
  static EFI_STATUS  NestedStatus;
  Nested       = Second;
  NestedStatus = EFI_SUCCESS;
  fake::Firmware::SetStallHook ([](void *, UINT64) {
    if (Nested != nullptr) {
      EFI_HANDLE  Offered = Nested;
      Nested       = nullptr;
      NestedStatus = NfcKeyboardSupported (&gNfcKeyboardDriverBinding, Offered, nullptr);
    }
  }, nullptr);
  ASSERT_EQ (Start (), EFI_SUCCESS);
  fake::Firmware::SetStallHook (nullptr, nullptr);
  EXPECT_EQ (NestedStatus, EFI_UNSUPPORTED);
  EXPECT_TRUE (Other.Writes.empty ()) << "the nested probe moved the link to the other line";
  EXPECT_EQ (NfcKeyboardSupported (&gNfcKeyboardDriverBinding, Second, nullptr), EFI_ALREADY_STARTED);
  EXPECT_TRUE (Other.Writes.empty ());
  ASSERT_EQ (Stop (), EFI_SUCCESS);
  EXPECT_EQ (NfcKeyboardSupported (&gNfcKeyboardDriverBinding, Second, nullptr), EFI_SUCCESS);
  ExpectReleased ();
}

TEST_F (Keyboard, EveryStartFailureReleasesEverything) {
  Load (1);
  const char  *Services[] = { "OpenProtocol", "CreateEvent", "SetTimer", "InstallMultipleProtocolInterfaces" };
  for (const char *S : Services) {
    fake::Firmware::FailNext (S, EFI_OUT_OF_RESOURCES);
    EXPECT_TRUE (EFI_ERROR (Start ())) << S;
    ExpectReleased ();
  }
  // Each pool allocation of Start failed in turn: Start fails having released it all, or
  // the keyboard it starts types (the rings have storage).
  for (size_t Nth = 1; ; Nth++) {
    size_t  Before = fake::Firmware::AllocationCount ();
    fake::Firmware::FailAllocation (Nth);
    EFI_STATUS  Status = Start ();
    bool        Failed = fake::Firmware::AllocationCount () - Before >= Nth;
    fake::Firmware::FailAllocation (0);
    if (!EFI_ERROR (Status)) {
      Line.Card = { 0x5A };
      fake::Firmware::FireTimer (Dev ()->PollTimer);
      EXPECT_EQ (Drain (), u"5A") << "allocation " << Nth << " failed";
      ASSERT_EQ (Stop (), EFI_SUCCESS);
    } else {
      EXPECT_EQ (Status, EFI_OUT_OF_RESOURCES) << "allocation " << Nth << " failed";
      EXPECT_EQ (Dev (), nullptr) << "allocation " << Nth << " failed";
    }
    ExpectReleased ();
    if (!Failed) {
      break;   // Start made fewer than Nth: every one has had its turn
    }
  }
  // A line that refuses the reader's settings is neither probed nor started, even one
  // its owner left at the reader's rate.
  Line.Mode.BaudRate       = 115200;
  Line.SetAttributesStatus = EFI_DEVICE_ERROR;
  size_t  Writes = Line.Writes.size ();
  EXPECT_EQ (Supported (), EFI_UNSUPPORTED);
  EXPECT_EQ (Line.Writes.size (), Writes);
  EXPECT_EQ (Start (), EFI_DEVICE_ERROR);
  ExpectReleased ();
}

// The firmware reconnects the line inside a refused uninstall; it must find the line taken.
TEST_F (Keyboard, StopKeepsTheKeyboardWhenUninstallFails) {
  TerminalStandIn::Install ();
  Load (1);
  ASSERT_EQ (Start (), EFI_SUCCESS);
  NFC_KEYBOARD_DEV  *D = Dev ();
  size_t            Writes = Line.Writes.size ();
  fake::Firmware::FailNext ("UninstallMultipleProtocolInterfaces", EFI_ACCESS_DENIED);
  EXPECT_EQ (Stop (), EFI_ACCESS_DENIED);
  EXPECT_EQ (Line.Writes.size (), Writes) << "the line was probed for a second keyboard";
  EXPECT_FALSE (TerminalStandIn::Started);
  EXPECT_EQ (Dev (), D);
  EXPECT_EQ (mKeyboardCount, 1u);
  EXPECT_TRUE (fake::Firmware::IsOpenEvent (D->PollTimer));
  EXPECT_EQ (fake::Firmware::OpenCount (Controller, gEfiSerialIoProtocolGuid, EFI_OPEN_PROTOCOL_BY_DRIVER), 1u);
  Line.Card = { 0x5A };
  fake::Firmware::FireTimer (D->PollTimer);
  EXPECT_EQ (Drain (), u"5A");
  ASSERT_EQ (Stop (), EFI_SUCCESS);
  ExpectReleased ();
}

// A poll tick that lands while Reset swaps the rings' blocks runs once Reset is done.
TEST_F (Keyboard, APollTickDuringResetQueuesIntoTheNewRing) {
  static EFI_FREE_POOL  RealFree;
  static EFI_EVENT      Tick;
  static bool           Armed;
  Load (1);
  ASSERT_EQ (Start (), EFI_SUCCESS);
  Line.Card = { 0x12 };
  fake::Firmware::FireTimer (Dev ()->PollTimer);
  ASSERT_FALSE (KeyRingIsEmpty (&Dev ()->KeyQueue));

  // The timer interrupt lands just after Reset frees the key ring's block.
  RealFree      = gBS->FreePool;
  Tick          = Dev ()->PollTimer;
  Armed         = true;
  gBS->FreePool = +[](VOID *Block) EFIAPI -> EFI_STATUS {
    EFI_STATUS  Status = RealFree (Block);
    if (Armed) {
      Armed = false;
      fake::Firmware::FireTimer (Tick);
    }
    return Status;
  };
  Line.Card = { 0x5A };
  EXPECT_EQ (Dev ()->SimpleTextIn.Reset (&Dev ()->SimpleTextIn, FALSE), EFI_SUCCESS);
  gBS->FreePool = RealFree;
  EXPECT_FALSE (Armed);
  EXPECT_EQ (Drain (), u"5A") << "the keys queued before Reset are gone, the tick's are kept";
  EXPECT_TRUE (fake::Firmware::TplBalanced ());
  ASSERT_EQ (Stop (), EFI_SUCCESS);
  ExpectReleased ();
}

// Device paths as bytes: nodes, instances and multi-instance console variables.
using PATH = std::vector<uint8_t>;

PATH Node (uint8_t Type, uint8_t SubType, const PATH &Data)
{
  PATH  N = { Type, SubType, (uint8_t)(Data.size () + 4), 0 };
  N.insert (N.end (), Data.begin (), Data.end ());
  return N;
}

PATH Guid (const EFI_GUID &G) { return PATH ((const uint8_t *)&G, (const uint8_t *)&G + sizeof (G)); }
PATH Join (std::initializer_list<PATH> Parts)
{
  PATH  P;
  for (const PATH &Part : Parts) {
    P.insert (P.end (), Part.begin (), Part.end ());
  }
  return P;
}

const PATH  Root      = Node (ACPI_DEVICE_PATH, ACPI_DP, { 0x41, 0xD0, 0x0A, 0x03, 0, 0, 0, 0 });
const PATH  Lpc       = Node (HARDWARE_DEVICE_PATH, HW_PCI_DP, { 0, 0x1F });
const PATH  Com1      = Node (ACPI_DEVICE_PATH, ACPI_DP, { 0x41, 0xD0, 0x05, 0x01, 0, 0, 0, 0 });
const PATH  Com2      = Node (ACPI_DEVICE_PATH, ACPI_DP, { 0x41, 0xD0, 0x05, 0x01, 1, 0, 0, 0 });
PATH Uart (uint8_t Baud) { return Node (MESSAGING_DEVICE_PATH, MSG_UART_DP, { 0, 0, 0, 0, Baud, 0xC2, 1, 0, 0, 0, 0, 0, 8, 1, 1 }); }
PATH Vendor (const EFI_GUID &G) { return Node (MESSAGING_DEVICE_PATH, MSG_VENDOR_DP, Guid (G)); }
const PATH  End       = { END_DEVICE_PATH_TYPE, END_ENTIRE_DEVICE_PATH_SUBTYPE, 4, 0 };
const PATH  NextEntry = { END_DEVICE_PATH_TYPE, END_INSTANCE_DEVICE_PATH_SUBTYPE, 4, 0 };
const PATH  Com1Line  = Join ({ Root, Lpc, Com1, Uart (0) });

TEST_F (Keyboard, ThePlatformsTerminalConsolesAreNeverProbed) {
  const CHAR16  *ConIn  = (const CHAR16 *)u"ConIn";
  const CHAR16  *ConOut = (const CHAR16 *)u"ConOut";
  const CHAR16  *ErrOut = (const CHAR16 *)u"ErrOut";
  struct {
    const char    *What;
    const CHAR16  *Name;
    PATH          Value;
    bool          Console;
  } Cases[] = {
    { "the second instance of ConOut", ConOut, Join ({ Root, Vendor (gEfiVT100Guid), NextEntry, Com1Line, Vendor (gEfiPcAnsiGuid), End }), true },
    { "ErrOut alone, no ConIn", ErrOut, Join ({ Com1Line, Vendor (gEdkiiXtermR6Guid), End }), true },
    { "a TtyTerm console", ConIn, Join ({ Com1Line, Vendor (gEfiTtyTermGuid), End }), true },
    { "another baud rate in the entry", ConIn, Join ({ Root, Lpc, Com1, Uart (1), Vendor (gEfiVTUTF8Guid), End }), true },
    { "no console variable", nullptr, {}, false },
    { "the line itself, without a terminal node", ConIn, Join ({ Com1Line, End }), false },
    { "another port behind the same controller", ConOut, Join ({ Root, Lpc, Com2, Uart (0), Vendor (gEfiPcAnsiGuid), End }), false },
    { "a terminal on the line's parent", ConOut, Join ({ Root, Lpc, Com1, Vendor (gEfiPcAnsiGuid), End }), false },
    { "a non-terminal vendor node after the line", ConOut, Join ({ Com1Line, Vendor (gEfiGlobalVariableGuid), End }), false },
    { "a USB short form, the line on no USB device", ConOut, Join ({ Root, Lpc, Node (MESSAGING_DEVICE_PATH, MSG_USB_CLASS_DP, { 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF }), Uart (0), Vendor (gEfiPcAnsiGuid), End }), false },
    { "no valid device path", ConIn, Join ({ Com1Line, Vendor (gEfiPcAnsiGuid) }), false },
  };
  Load (1);
  PATH  LinePath = Join ({ Com1Line, End });
  ASSERT_EQ (fake::Firmware::Install (&Controller, gEfiDevicePathProtocolGuid, LinePath.data ()), EFI_SUCCESS);
  for (auto &C : Cases) {
    for (const CHAR16 *Name : { ConIn, ConOut, ErrOut }) {
      (VOID)gRT->SetVariable ((CHAR16 *)Name, &gEfiGlobalVariableGuid, 7, 0, nullptr);   // deletes
    }
    if (C.Name != nullptr) {
      fake::Firmware::PutVariable (C.Name, gEfiGlobalVariableGuid, 7, C.Value.data (), C.Value.size ());
    }
    size_t  Writes = Line.Writes.size (), Reads = Line.Reads, Sets = Line.SetAttributesCalls;
    EXPECT_EQ (Supported (), C.Console ? EFI_UNSUPPORTED : EFI_SUCCESS) << C.What;
    EXPECT_EQ (Line.Writes.size () == Writes && Line.Reads == Reads && Line.SetAttributesCalls == Sets, C.Console) << C.What;
  }
  ExpectReleased ();
}

const PATH  UsbPort   = Join ({ Root, Node (HARDWARE_DEVICE_PATH, HW_PCI_DP, { 0, 3 }), Node (MESSAGING_DEVICE_PATH, MSG_USB_DP, { 1, 0 }) });
const PATH  FlowCtrl  = Vendor (gEfiUartDevicePathGuid);
const PATH  Adapter   = Join ({ UsbPort, Uart (0), FlowCtrl });
// Short forms: UsbClass (vendor, product, class, subclass, protocol), UsbWwid (interface,
// vendor, product, the serial number's tail).
PATH UsbClass (uint16_t V, uint16_t P, uint8_t C) { return Node (MESSAGING_DEVICE_PATH, MSG_USB_CLASS_DP, { (uint8_t)V, (uint8_t)(V >> 8), (uint8_t)P, (uint8_t)(P >> 8), C, 0xFF, 0xFF }); }
PATH UsbWwid (const char *Tail)
{
  PATH  Data = { 0, 0, 0x03, 0x04, 0x01, 0x60 };
  for (const char *C = Tail; *C != 0; C++) {
    Data.insert (Data.end (), { (uint8_t)*C, 0 });
  }
  return Node (MESSAGING_DEVICE_PATH, MSG_USB_WWID_DP, Data);
}

// The USB device above an FT232 line, with an FT232R's descriptors: no class of its
// own, vendor-specific interface, a serial number in one language.
struct UsbStandIn {
  static inline EFI_USB_IO_PROTOCOL  UsbIo     = {};
  static inline UINT16               ProductId = 0x6001;
  static inline UINT16               Languages[1] = { 0x0409 };
  static inline PATH                 Path      = Join ({ UsbPort, End });

  static EFI_STATUS EFIAPI Device (EFI_USB_IO_PROTOCOL *, EFI_USB_DEVICE_DESCRIPTOR *D)
  {
    *D = {};
    D->IdVendor        = 0x0403;
    D->IdProduct       = ProductId;
    D->StrSerialNumber = 3;
    return EFI_SUCCESS;
  }

  static EFI_STATUS EFIAPI Interface (EFI_USB_IO_PROTOCOL *, EFI_USB_INTERFACE_DESCRIPTOR *D)
  {
    *D = {};
    D->InterfaceClass = D->InterfaceSubClass = D->InterfaceProtocol = 0xFF;
    return EFI_SUCCESS;
  }

  static EFI_STATUS EFIAPI SupportedLanguages (EFI_USB_IO_PROTOCOL *, UINT16 **Table, UINT16 *Size)
  {
    *Table = Languages;
    *Size  = sizeof (Languages);
    return EFI_SUCCESS;
  }

  static EFI_STATUS EFIAPI String (EFI_USB_IO_PROTOCOL *, UINT16 Language, UINT8 Index, CHAR16 **Text)
  {
    if ((Language != 0x0409) || (Index != 3)) {
      return EFI_NOT_FOUND;
    }
    *Text = (CHAR16 *)AllocateCopyPool (sizeof (u"A10K3Z9Q"), u"A10K3Z9Q");
    return EFI_SUCCESS;
  }

  static void Plug (UINT16 Product = 0x6001)
  {
    UsbIo     = {};
    UsbIo.UsbGetDeviceDescriptor    = Device;
    UsbIo.UsbGetInterfaceDescriptor = Interface;
    UsbIo.UsbGetSupportedLanguages  = SupportedLanguages;
    UsbIo.UsbGetStringDescriptor    = String;
    ProductId = Product;
    EFI_HANDLE  Handle = fake::Firmware::NewHandle ();
    ASSERT_EQ (fake::Firmware::Install (&Handle, gEfiUsbIoProtocolGuid, &UsbIo), EFI_SUCCESS);
    ASSERT_EQ (fake::Firmware::Install (&Handle, gEfiDevicePathProtocolGuid, Path.data ()), EFI_SUCCESS);
  }
};

// A reader plugged in while the firmware is busy is offered from inside the timer interrupt.
TEST_F (Keyboard, AProbeInsideTheTimerInterruptWaitsForTheClock) {
  Load (1);
  UsbStandIn::Plug ();
  PATH  LinePath = Join ({ Adapter, End });
  // An FT232 line found first, probed already and held by the terminal: the retake
  // leaves it be.
  fake::Pn532  Other;
  Other.Present = false;
  EFI_HANDLE  OtherLine = fake::Firmware::NewHandle ();
  ASSERT_EQ (fake::Firmware::Install (&OtherLine, gEfiSerialIoProtocolGuid, &Other.SerialIo), EFI_SUCCESS);
  ASSERT_EQ (fake::Firmware::Install (&OtherLine, gEfiDevicePathProtocolGuid, LinePath.data ()), EFI_SUCCESS);
  TerminalStandIn::Install ();
  ASSERT_EQ (gBS->ConnectController (OtherLine, nullptr, nullptr, TRUE), EFI_SUCCESS);
  ASSERT_TRUE (TerminalStandIn::Started);
  Controller = fake::Firmware::NewHandle ();
  ASSERT_EQ (fake::Firmware::Install (&Controller, gEfiSerialIoProtocolGuid, &Line.SerialIo), EFI_SUCCESS);
  ASSERT_EQ (fake::Firmware::Install (&Controller, gEfiDevicePathProtocolGuid, LinePath.data ()), EFI_SUCCESS);
  fake::Firmware::HoldTicks (true);
  EXPECT_EQ (Supported (), EFI_UNSUPPORTED);
  EXPECT_TRUE (Line.Writes.empty () && Line.Reads == 0 && Line.SetAttributesCalls == 0);
  // Still inside the interrupt when the retake comes due: it looks again later.
  fake::Firmware::AdvanceUs (NFC_RETAKE_DELAY_100NS / 10);
  EXPECT_EQ (fake::Firmware::FireDueTimers (), 1u);
  EXPECT_EQ (Dev (), nullptr);
  fake::Firmware::HoldTicks (false);
  fake::Firmware::AdvanceUs (NFC_RETAKE_DELAY_100NS / 10);
  EXPECT_EQ (fake::Firmware::FireDueTimers (), 1u);
  ASSERT_NE (Dev (), nullptr) << "the line was not offered again once the clock ran";
  EXPECT_EQ (TerminalStandIn::Stops, 0) << "a line that never waited was taken from its terminal again";
  EXPECT_TRUE (fake::Firmware::TplBalanced ());
  ASSERT_EQ (Stop (), EFI_SUCCESS);
  ExpectReleased ();
}

// Loaded after the serial driver, the keyboard finds its reader's line held by the terminal.
TEST_F (Keyboard, LoadedLastItTakesAdapterLinesButNoConsoleFromTheTerminal) {
  const PATH  Tail = Join ({ Uart (1), FlowCtrl, Vendor (gEfiVT100Guid), End });
  struct {
    const char      *What;
    PATH            LinePath;
    const char16_t  *Name;
    PATH            Console;
    int             Enabled;
    bool            Taken;
    UINT16          Product;
    bool            Present = true;   // a reader answers on the line
    bool            Terminal = true;  // the holder is the terminal driver
  } Cases[] = {
    { "an FT232 line", Adapter, u"ConOut", {}, 1, true, 0x6001 },
    { "an FT232 line the platform made a console", Adapter, u"ConOut", Join ({ Adapter, Vendor (gEfiVT100Guid), End }), 1, false, 0x6001 },
    { "a UsbClass console on any FT232", Adapter, u"ConOut", Join ({ UsbClass (0x0403, 0x6001, 0xFF), Tail }), 1, false, 0x6001 },
    { "a UsbClass console on any USB device", Adapter, u"ErrOut", Join ({ Root, UsbClass (0xFFFF, 0xFFFF, 0xFF), Tail }), 1, false, 0x6001 },
    { "a UsbWwid console on this FT232", Adapter, u"ConIn", Join ({ UsbWwid ("K3Z9Q"), Tail }), 1, false, 0x6001 },
    { "a UsbWwid console on another FT232", Adapter, u"ConIn", Join ({ UsbWwid ("K3Z9R"), Tail }), 1, true, 0x6001 },
    { "a UsbClass console on another product", Adapter, u"ConOut", Join ({ UsbClass (0x0403, 0x6015, 0xFF), Tail }), 1, true, 0x6001 },
    { "a UsbClass console on a CDC device", Adapter, u"ConOut", Join ({ UsbClass (0xFFFF, 0xFFFF, 0x02), Tail }), 1, true, 0x6001 },
    { "a UsbClass console on class 0, which the FT232 leaves to its interface", Adapter, u"ConOut", Join ({ UsbClass (0x0403, 0x6001, 0), Tail }), 1, true, 0x6001 },
    { "a UsbClass console on another port", Adapter, u"ConOut", Join ({ Com1, UsbClass (0x0403, 0x6001, 0xFF), Tail }), 1, true, 0x6001 },
    { "the keyboard's own ConIn short form", Adapter, u"ConIn", Join ({ UsbClass (0x0403, 0x6001, 0xFF), Uart (0), FlowCtrl, End }), 1, true, 0x6001 },
    { "a bare UsbClass in ConIn, which names the keyboard too", Adapter, u"ConIn", Join ({ UsbClass (0x0403, 0x6001, 0xFF), End }), 1, true, 0x6001 },
    { "a bare UsbClass in ConOut, whatever text output the FT232 carries", Adapter, u"ConOut", Join ({ UsbClass (0x0403, 0x6001, 0xFF), End }), 1, false, 0x6001 },
    { "a UsbWwid in ErrOut, a vendor node of its own after the port", Adapter, u"ErrOut", Join ({ UsbWwid ("K3Z9Q"), Uart (1), FlowCtrl, Vendor (gEfiGlobalVariableGuid), End }), 1, false, 0x6001 },
    { "an FT-X line, bound by the other serial driver", Adapter, u"ConOut", {}, 1, true, 0x6015 },
    { "a USB serial line no serial driver of ours binds", Adapter, u"ConOut", {}, 1, false, 0x60FF },
    { "a platform UART", Com1Line, u"ConOut", {}, 1, false, 0x6001 },
    { "a disabled keyboard", Adapter, u"ConOut", {}, 0, false, 0x6001 },
    { "an FT232 line without a reader", Adapter, u"ConOut", {}, 1, false, 0x6001, false },
    { "an FT232 line another driver holds", Adapter, u"ConOut", {}, 1, false, 0x6001, true, false },
  };
  for (auto &C : Cases) {
    SetUp ();
    fake::Pn532  Reader;   // each row's reader fresh from power-up, on a line of its own
    Reader.Awake   = false;
    Reader.Present = C.Present;
    Controller   = fake::Firmware::NewHandle ();
    ASSERT_EQ (fake::Firmware::Install (&Controller, gEfiSerialIoProtocolGuid, &Reader.SerialIo), EFI_SUCCESS);
    UsbStandIn::Plug (C.Product);
    PATH  LinePath = Join ({ C.LinePath, End });
    ASSERT_EQ (fake::Firmware::Install (&Controller, gEfiDevicePathProtocolGuid, LinePath.data ()), EFI_SUCCESS);
    if (!C.Console.empty ()) {
      fake::Firmware::PutVariable ((const CHAR16 *)C.Name, gEfiGlobalVariableGuid, 7, C.Console.data (), C.Console.size ());
    }
    Bystander::Attach (Controller);
    TerminalStandIn::Install (C.Terminal);
    PATH  Vt100 = Join ({ Vendor (gEfiVT100Guid), End });
    ASSERT_EQ (gBS->ConnectController (Controller, nullptr, (EFI_DEVICE_PATH_PROTOCOL *)Vt100.data (), TRUE), EFI_SUCCESS);
    ASSERT_TRUE (TerminalStandIn::Started);
    bool  Probed = C.Enabled && C.Terminal && (C.Product != 0x60FF) && (C.LinePath == Adapter) && (C.Taken || C.Console.empty ());
    Load (C.Enabled);
    EXPECT_EQ (Dev () != nullptr, C.Taken) << C.What;
    EXPECT_EQ (TerminalStandIn::Started, !C.Taken) << C.What;
    EXPECT_EQ (TerminalStandIn::Stops, Probed ? 1 : 0) << C.What << ": only the terminal driver is stopped, and only for a probe";
    EXPECT_EQ (Reader.Writes.empty (), !Probed) << C.What;
    EXPECT_EQ (Bystander::Stops, 0) << C.What << ": a driver the probe does not need was stopped";
    if (!C.Taken && C.Terminal) {
      EXPECT_TRUE (CompareGuid (&TerminalStandIn::Type, &gEfiVT100Guid)) << C.What << ": the terminal came back as another type";
    }
    if (Dev () != nullptr) {
      ASSERT_EQ (Stop (), EFI_SUCCESS);
    }
  }
}

TEST_F (Keyboard, AProbeOnAPlatformPortIsBoundedAndLeavesItsSettings) {
  Load (1);
  Line.UartTimeout = true;
  Line.Present     = false;
  Line.Mode        = { 0, 1000000, 9600, 16, 7, EvenParity, TwoStopBits };
  const EFI_SERIAL_IO_MODE  Found = Line.Mode;
  for (bool Present : { false, true }) {
    Line.Present = Present;
    UINT64  T0   = fake::Firmware::NowUs ();
    EXPECT_EQ (Supported (), Present ? EFI_SUCCESS : EFI_UNSUPPORTED);
    if (!Present) {
      EXPECT_LE (fake::Firmware::NowUs () - T0, 700000u) << "a silent port with a 1 s read timeout";
    }
    EXPECT_EQ (std::memcmp (&Line.Mode, &Found, sizeof (Found)), 0) << "present " << Present;
  }

  // A running keyboard holds TPL_NOTIFY no longer on this port than on an FT232 line.
  ASSERT_EQ (Start (), EFI_SUCCESS);
  UINT64  Tick[2];
  for (bool Uart : { true, false }) {
    Line.UartTimeout = Uart;
    UINT64  T0       = fake::Firmware::NowUs ();
    fake::Firmware::FireTimer (Dev ()->PollTimer);
    Tick[Uart] = fake::Firmware::NowUs () - T0;
  }
  EXPECT_LE (Tick[true], Tick[false]);
  ASSERT_EQ (Stop (), EFI_SUCCESS);
  ExpectReleased ();
}

} // namespace
