/** @file
  ConIn edits: whole values in, whole values out, other consoles untouched.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/
#include <gtest/gtest.h>

#include "NfcKeyboardSetup.h"
#include "SetupPeers.h"

#include <UsbBridgeIds.h>

extern "C" {
#include <Library/DevicePathLib.h>
#include <Library/MemoryAllocationLib.h>
}

using namespace peer;

namespace {

const EFI_DEVICE_PATH_PROTOCOL *
Path (const BYTES &Bytes)
{
  return reinterpret_cast<const EFI_DEVICE_PATH_PROTOCOL *>(Bytes.data ());
}

BYTES Terminal () { return Cat ({ PciRoot (), Pci (0x1F, 0), Uart (115200), TerminalVt100 (), End () }); }
BYTES Keyboard2 () { return Cat ({ PciRoot (), Ps2Keyboard (), End () }); }
BYTES Line () { return Cat ({ Uart (115200), FlowControl (0), End () }); }

BYTES
Entries ()
{
  auto  *Bytes = reinterpret_cast<const uint8_t *>(NfcKeyboardConInEntries ());
  return BYTES (Bytes, Bytes + GetDevicePathSize (NfcKeyboardConInEntries ()));
}

class ConInEdit : public ::testing::Test {
protected:
  void SetUp () override { fake::Firmware::Reset (); }
  void TearDown () override { EXPECT_EQ (fake::Firmware::LiveAllocations (), 0u); }

  // Runs an edit and hands back what it built, freeing the pool copy.
  EFI_STATUS
  Edit (bool Add, const BYTES &ConIn, const BYTES &Instance, BYTES *Out)
  {
    EFI_DEVICE_PATH_PROTOCOL  *New = reinterpret_cast<EFI_DEVICE_PATH_PROTOCOL *>(1);
    UINTN                     Size = 99;
    EFI_STATUS              Result = Add
      ? ConInAdd (ConIn.empty () ? nullptr : ConIn.data (), ConIn.size (), Path (Instance), &New, &Size)
      : ConInRemoveNfcKeyboard (ConIn.empty () ? nullptr : ConIn.data (), ConIn.size (), Path (Instance), &New, &Size);

    Out->clear ();
    if (New != nullptr) {
      const uint8_t  *Bytes = reinterpret_cast<const uint8_t *>(New);
      Out->assign (Bytes, Bytes + Size);
      FreePool (New);
    } else {
      EXPECT_EQ (Size, 0u);
    }

    return Result;
  }
};

TEST_F (ConInEdit, AddAppendsAfterEveryOtherInstanceUnchanged) {
  BYTES  Out;

  EXPECT_EQ (Edit (true, MultiInstance ({ Keyboard2 (), Terminal () }), KeyboardPath (), &Out), EFI_SUCCESS);
  EXPECT_EQ (Out, MultiInstance ({ Keyboard2 (), Terminal (), KeyboardPath () }));
  EXPECT_EQ (ConInInstanceCount (Out.data (), Out.size ()), 3u);
}

TEST_F (ConInEdit, AddToAnAbsentConInGivesTheKeyboardAlone) {
  BYTES  Out;

  EXPECT_EQ (Edit (true, {}, KeyboardPath (), &Out), EFI_SUCCESS);
  EXPECT_EQ (Out, KeyboardPath ());
}

TEST_F (ConInEdit, AddWhenPresentBuildsNothing) {
  BYTES  Out;

  EXPECT_EQ (Edit (true, MultiInstance ({ KeyboardPath (), Terminal () }), KeyboardPath (), &Out), EFI_ALREADY_STARTED);
  EXPECT_TRUE (Out.empty ());
}

// Only a bytewise equal instance is the keyboard: a path that shares its adapter,
// or differs in the baud rate or the flow-control map, is another console.
TEST_F (ConInEdit, LookalikeInstancesAreNotTheKeyboard) {
  BYTES  Slower  = Cat ({ AdapterPath (), Uart (9600), FlowControl (0), End () });
  BYTES  Hw      = Cat ({ AdapterPath (), Uart (115200), FlowControl (1), End () });
  BYTES  Adapter = Cat ({ AdapterPath (), End () });
  BYTES  Longer  = Cat ({ AdapterPath (), Uart (115200), FlowControl (0), TerminalVt100 (), End () });
  BYTES  ConIn   = MultiInstance ({ Slower, Hw, Adapter, Longer });
  BYTES  Out;

  EXPECT_EQ (ConInFind (ConIn.data (), ConIn.size (), Path (KeyboardPath ())), EFI_NOT_FOUND);
  EXPECT_EQ (Edit (false, ConIn, KeyboardPath (), &Out), EFI_NOT_FOUND);
  EXPECT_EQ (Edit (true, ConIn, KeyboardPath (), &Out), EFI_SUCCESS);
  EXPECT_EQ (Out, MultiInstance ({ Slower, Hw, Adapter, Longer, KeyboardPath () }));
}

TEST_F (ConInEdit, RemoveTakesOutEveryCopyAndKeepsTheOthersInOrder) {
  BYTES  Out;

  EXPECT_EQ (Edit (false, MultiInstance ({ KeyboardPath (), Keyboard2 (), KeyboardPath (), Terminal () }), KeyboardPath (), &Out),
             EFI_SUCCESS);
  EXPECT_EQ (Out, MultiInstance ({ Keyboard2 (), Terminal () }));
}

TEST_F (ConInEdit, RemovingTheOnlyInstanceLeavesNothing) {
  BYTES  Out;

  EXPECT_EQ (Edit (false, KeyboardPath (), KeyboardPath (), &Out), EFI_SUCCESS);
  EXPECT_TRUE (Out.empty ());
  EXPECT_EQ (Edit (false, {}, KeyboardPath (), &Out), EFI_NOT_FOUND);
}

// Stored bytes that are no device path are never rebuilt: a rewrite would keep
// only what the parser made of them.
TEST_F (ConInEdit, MalformedValuesAreRefusedByEveryOperation) {
  BYTES  Good = MultiInstance ({ Keyboard2 (), Terminal () });
  BYTES  NoEnd (Good.begin (), Good.end () - 4);
  BYTES  Trailing = Cat ({ Good, { 0xAA, 0xBB } });
  BYTES  Cut (Good.begin (), Good.begin () + 6);
  BYTES  ZeroLength = Cat ({ PciRoot (), { 3, 5, 0, 0 }, End () });
  BYTES  Tiny = { 0x7F, 0xFF };
  BYTES  Out;

  for (const BYTES &Bad : { NoEnd, Trailing, Cut, ZeroLength, Tiny }) {
    EXPECT_FALSE (ConInIsWellFormed (Bad.data (), Bad.size ()));
    EXPECT_EQ (ConInFind (Bad.data (), Bad.size (), Path (KeyboardPath ())), EFI_COMPROMISED_DATA);
    EXPECT_EQ (Edit (true, Bad, KeyboardPath (), &Out), EFI_COMPROMISED_DATA);
    EXPECT_EQ (Edit (false, Bad, KeyboardPath (), &Out), EFI_COMPROMISED_DATA);
    EXPECT_EQ (ConInInstanceCount (Bad.data (), Bad.size ()), 0u);
  }
}

TEST_F (ConInEdit, OnlyOneWholeInstanceIsAddedOrRemoved) {
  BYTES  Two = MultiInstance ({ KeyboardPath (), Terminal () });
  BYTES  Out;

  EXPECT_EQ (Edit (true, Keyboard2 (), Two, &Out), EFI_INVALID_PARAMETER);
  EXPECT_EQ (Edit (false, Keyboard2 (), End (), &Out), EFI_INVALID_PARAMETER);
  // A node of length 0 would hold a walk on itself for ever.
  BYTES  ZeroLength = Cat ({ AdapterPath (), { 3, 5, 0, 0 }, End () });
  EXPECT_EQ (Edit (true, Keyboard2 (), ZeroLength, &Out), EFI_INVALID_PARAMETER);
  EXPECT_EQ (Edit (false, Keyboard2 (), ZeroLength, &Out), EFI_INVALID_PARAMETER);
}

TEST_F (ConInEdit, OutOfMemoryBuildsNothing) {
  BYTES  ConIn = MultiInstance ({ Keyboard2 (), KeyboardPath (), Terminal () });
  BYTES  Out;

  for (size_t Nth = 1; Nth <= 3; Nth++) {
    fake::Firmware::FailAllocation (Nth);
    EFI_STATUS  Result = Edit (false, ConIn, KeyboardPath (), &Out);
    fake::Firmware::FailAllocation (0);
    EXPECT_TRUE ((Result == EFI_OUT_OF_RESOURCES) || (Result == EFI_SUCCESS)) << Nth;
    if (Result == EFI_OUT_OF_RESOURCES) {
      EXPECT_TRUE (Out.empty ());
    } else {
      EXPECT_EQ (Out, MultiInstance ({ Keyboard2 (), Terminal () }));
    }
  }
}

// The install's entries name each bridge by its USB IDs, the FT232's first, and CDC ACM
// by the class forms its data interface is matched by; a console on a serial line is the
// bridge, its Uart and its flow control, with nothing after them.
TEST_F (ConInEdit, TellsUsbSerialConsolesFromOthers) {
  BYTES               OtherVendorNode = FlowControl (0);
  std::vector<BYTES>  Wanted;

  for (const USB_BRIDGE_ID &Id : gUsbBridgeIds) {
    Wanted.push_back (Cat ({ UsbClass (Id.VendorId, Id.ProductId, 0xFF, 0xFF, 0xFF), Line () }));
  }

  for (const BYTES &Cdc : { UsbClass (0xFFFF, 0xFFFF, 0x0A, 0xFF, 0xFF), UsbClass (0xFFFF, 0xFFFF, 0x02, 0xFF, 0xFF),
                            UsbClass (0xFFFF, 0xFFFF, 0xEF, 0x02, 0x01) }) {
    Wanted.push_back (Cat ({ Cdc, Line () }));
  }

  ASSERT_EQ (Entries (), MultiInstance (Wanted));
  ASSERT_EQ (Wanted[0], Ft232ConInEntry ());
  OtherVendorNode[4] ^= 1;
  struct { BYTES Instance; bool Ours; } Cases[] = {
    { KeyboardPath (), true },
    { Cat ({ UsbClass (0x10C4, 0xEA60, 0, 0, 0), Line () }), true },
    { Cat ({ UsbClass (0xFFFF, 0xFFFF, 3, 1, 1), Line () }), false },
    { Cat ({ UsbClass (0xFFFF, 0xFFFF, 0x0A, 0, 0), Line () }), false },
    { Cat ({ UsbClass (0x0403, 0x1234, 0xFF, 0xFF, 0xFF), Line () }), false },
    { Cat ({ UsbClass (0x0402, 0x6001, 0xFF, 0xFF, 0xFF), Line () }), false },
    { Cat ({ PciRoot (), Pci (0x1F, 0), Line () }), false },
    { Cat ({ AdapterPath (), Uart (115200), FlowControl (0), TerminalVt100 (), End () }), false },
    { Cat ({ AdapterPath (), Uart (115200), OtherVendorNode, End () }), false },
    { Cat ({ AdapterPath (), FlowControl (0), End () }), false },
    { Line (), false },
  };
  for (size_t Index = 0; Index < ARRAY_SIZE (Cases); Index++) {
    EXPECT_EQ (IsUsbSerialConsoleInstance (Path (Cases[Index].Instance)), Cases[Index].Ours) << "case " << Index;
  }

  for (size_t Index = 0; Index < Wanted.size (); Index++) {
    EXPECT_TRUE (IsUsbSerialConsoleInstance (Path (Wanted[Index]))) << "entry " << Index;
  }
}

// An earlier install's FT232 entry keeps its place, the other entries come at the end.
TEST_F (ConInEdit, SetUsbSerialEntriesLeavesOneCopyOfEachEntryOrNone) {
  BYTES  Entry = Entries ();
  BYTES  Rest (Entry.begin () + Ft232ConInEntry ().size (), Entry.end ());
  BYTES  Ft232Terminal = Cat ({ AdapterPath (), Uart (115200), FlowControl (0), TerminalVt100 (), End () });
  BYTES  Cut = Keyboard2 ();

  Cut.pop_back ();
  struct { BYTES ConIn; bool Keep; EFI_STATUS Result; BYTES Built; } Cases[] = {
    { MultiInstance ({ Keyboard2 (), Entry, Terminal () }), true, EFI_ALREADY_STARTED, {} },
    { MultiInstance ({ Entry, Keyboard2 (), Entry }), true, EFI_SUCCESS, MultiInstance ({ Entry, Keyboard2 () }) },
    { MultiInstance ({ KeyboardPath (), Keyboard2 (), Ft232Terminal }), true, EFI_SUCCESS,
      MultiInstance ({ Keyboard2 (), Ft232Terminal, Entry }) },
    { MultiInstance ({ Keyboard2 (), Ft232ConInEntry (), Terminal () }), true, EFI_SUCCESS,
      MultiInstance ({ Keyboard2 (), Ft232ConInEntry (), Terminal (), Rest }) },
    { {}, true, EFI_SUCCESS, Entry },
    { MultiInstance ({ Entry, Keyboard2 (), KeyboardPath (), Ft232ConInEntry () }), false, EFI_SUCCESS, Keyboard2 () },
    { Entry, false, EFI_SUCCESS, {} },
    { Keyboard2 (), false, EFI_ALREADY_STARTED, {} },
    { Cut, true, EFI_COMPROMISED_DATA, {} },
  };
  for (size_t Index = 0; Index < ARRAY_SIZE (Cases); Index++) {
    auto                      &Case = Cases[Index];
    EFI_DEVICE_PATH_PROTOCOL  *New  = reinterpret_cast<EFI_DEVICE_PATH_PROTOCOL *>(1);
    UINTN                     Size  = 99;
    EXPECT_EQ (ConInSetUsbSerialEntries (Case.ConIn.empty () ? nullptr : Case.ConIn.data (), Case.ConIn.size (),
                                         Case.Keep ? NfcKeyboardConInEntries () : nullptr, &New, &Size), Case.Result) << "case " << Index;
    EXPECT_EQ (BYTES (reinterpret_cast<uint8_t *>(New), reinterpret_cast<uint8_t *>(New) + ((New == nullptr) ? 0 : Size)),
               Case.Built) << "case " << Index;
    EXPECT_EQ (Size, Case.Built.size ()) << "case " << Index;
    if (New != nullptr) {
      FreePool (New);
    }
  }
}

} // namespace
