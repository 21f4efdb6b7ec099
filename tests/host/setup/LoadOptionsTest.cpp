/** @file
  Driver#### load options: which ones load our images, and the edits that keep
  one option per image with DriverOrder in step, leaving everyone else's alone.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/
#include <gtest/gtest.h>

#include "NfcKeyboardSetup.h"
#include "SetupPeers.h"

using namespace peer;

namespace {

const CHAR16     *mOstrel = (const CHAR16 *)u"OstrelDriver.efi";
const char16_t   mSerial[] = u"FTDI-232 USB Serial Driver";

BYTES EspFile (const char16_t *Path) { return Cat ({ PciRoot (), Pci (3, 0), HardDrive (1, true), FilePathNode (Path), End () }); }
BYTES Ours () { return LoadOption (mSerial, EspFile (u"\\EFI\\NfcKeyboard\\OstrelDriver.efi")); }
const BYTES  mCorrupt = { 1, 0, 0, 0, 0xFF, 0xFF, 'x' };

// Another vendor's driver of the same file name, on another disk, with its own optional
// data, switched off by its owner.
BYTES
Theirs ()
{
  BYTES  Option = Cat ({ LoadOption (u"VendorX serial", Cat ({ PciRoot (), Pci (4, 0), HardDrive (2, true),
                                                              FilePathNode (u"\\EFI\\VendorX\\OstrelDriver.efi"), End () })),
                         { 'o', 'p', 't' } });

  Option[0] = 0;
  return Option;
}

TEST (LoadOptionIsOurs, OnlyOurDescriptionAndOurFolderOnAPartition) {
  BYTES  Good  = Ours ();
  BYTES  NoNul = BYTES (Good.begin (), Good.begin () + 6 + 2 * 4);
  BYTES  Split = LoadOption (mSerial, Cat ({ PciRoot (), HardDrive (1, false), FilePathNode (u"\\EFI\\NfcKeyboard"),
                                            FilePathNode (u"OstrelDriver.efi"), End () }));
  BYTES  Node  = Cat ({ PciRoot (), HardDrive (1, true), FilePathNode (u"\\EFI\\NfcKeyboard\\OstrelDriver.efi") });
  BYTES  Cut   = Cat ({ Node, End () });

  Cut.resize (Cut.size () - 6);
  struct { BYTES Option; bool Ours; } Cases[] = {
    { Good, true },
    { LoadOption (mSerial, EspFile (u"\\efi\\nfckeyboard\\ostreldriver.EFI")), true },
    { Split, true },
    { Theirs (), false },
    { LoadOption (u"Other", EspFile (u"\\EFI\\NfcKeyboard\\OstrelDriver.efi")), false },
    { LoadOption (mSerial, EspFile (u"\\EFI\\NfcKeyboard\\MyOstrelDriver.efi")), false },
    { LoadOption (mSerial, EspFile (u"\\EFI\\Other\\NfcKeyboard\\OstrelDriver.efi")), false },
    { LoadOption (mSerial, Cat ({ PciRoot (), FilePathNode (u"\\EFI\\NfcKeyboard\\OstrelDriver.efi"), End () })), false },
    { LoadOption (mSerial, Cat ({ Node, HardDrive (1, true), End () })), false },
    { NoNul, false },
    { LoadOption (mSerial, Cat ({ Node, End () }), Node.size () + 6), false },
    { LoadOption (mSerial, Cat ({ Node, End () }), 0), false },
    { LoadOption (mSerial, Cat ({ Node, End () }), 2), false },
    { LoadOption (mSerial, Cut, Cut.size ()), false },
    { BYTES (Good.begin (), Good.begin () + 5), false },
  };
  for (size_t Index = 0; Index < ARRAY_SIZE (Cases); Index++) {
    // A buffer of exactly the option's size: a read past it is a sanitizer failure.
    std::vector<uint8_t>  Exact (Cases[Index].Option);
    EXPECT_EQ (LoadOptionIsOurs (Exact.data (), Exact.size (), mOstrel, (const CHAR16 *)mSerial), Cases[Index].Ours) << "case " << Index;
  }
}

class DriverOption : public ::testing::Test {
protected:
  void SetUp () override { fake::Firmware::Reset (); }
  void TearDown () override { EXPECT_EQ (fake::Firmware::LiveAllocations (), 0u); }

  EFI_STATUS
  Ensure ()
  {
    BYTES  Path = EspFile (u"\\EFI\\NfcKeyboard\\OstrelDriver.efi");
    return DriverOptionEnsure (mOstrel, (const CHAR16 *)mSerial, (EFI_DEVICE_PATH_PROTOCOL *)Path.data ());
  }
};

// A number in DriverOrder without its variable, and a corrupt option, are both taken.
TEST_F (DriverOption, EnsureTakesTheLowestFreeNumberAndAppendsIt) {
  PutGlobal (u"Driver0000", Theirs ());
  PutGlobal (u"Driver0002", mCorrupt);
  PutGlobal (u"DriverOrder", DriverOrder ({ 2, 0, 1 }));

  EXPECT_EQ (Ensure (), EFI_SUCCESS);
  EXPECT_EQ (GetGlobal (u"Driver0003"), Ours ());
  EXPECT_EQ (GetGlobal (u"DriverOrder"), DriverOrder ({ 2, 0, 1, 3 }));
  EXPECT_EQ (GetGlobal (u"Driver0000"), Theirs ());
  EXPECT_EQ (GetGlobal (u"Driver0002"), mCorrupt);
  EXPECT_EQ (GetGlobal (u"Driver0001"), BYTES {});
  EXPECT_EQ (GetGlobal (u"Driver0004"), BYTES {});

  size_t  Calls = fake::Firmware::SetVariableCalls ();
  EXPECT_EQ (Ensure (), EFI_SUCCESS);
  EXPECT_EQ (fake::Firmware::SetVariableCalls (), Calls);
}

TEST_F (DriverOption, EnsureKeepsTheLowestOfTwoAndDeletesTheOther) {
  // Ours from an install on another disk's system partition.
  BYTES  Stale = LoadOption (mSerial, Cat ({ PciRoot (), Pci (4, 0), HardDrive (1, true), FilePathNode (u"\\EFI\\NFCKEYBOARD\\OSTRELDRIVER.EFI"), End () }));

  PutGlobal (u"Driver0001", Stale);
  PutGlobal (u"Driver0004", Ours ());
  PutGlobal (u"DriverOrder", DriverOrder ({ 4, 0 }));

  EXPECT_EQ (Ensure (), EFI_SUCCESS);
  EXPECT_EQ (GetGlobal (u"Driver0001"), Ours ());
  EXPECT_EQ (GetGlobal (u"Driver0004"), BYTES {});
  EXPECT_EQ (GetGlobal (u"DriverOrder"), DriverOrder ({ 0, 1 }));
}

TEST_F (DriverOption, RemoveTakesOutOursAndOnlyOurs) {
  BYTES  Zorvik = LoadOption (u"NFC Keyboard Driver", EspFile (u"\\EFI\\NfcKeyboard\\ZorvikDxe.efi"));

  PutGlobal (u"Driver0000", Theirs ());
  PutGlobal (u"Driver0001", Ours ());
  PutGlobal (u"Driver0002", mCorrupt);
  PutGlobal (u"Driver0003", Ours ());
  PutGlobal (u"Driver0004", Zorvik);
  PutGlobal (u"DriverOrder", DriverOrder ({ 3, 0, 2, 1, 4 }));

  EXPECT_EQ (DriverOptionRemove (mOstrel, (const CHAR16 *)mSerial), EFI_SUCCESS);
  EXPECT_EQ (GetGlobal (u"DriverOrder"), DriverOrder ({ 0, 2, 4 }));
  EXPECT_EQ (GetGlobal (u"Driver0001"), BYTES {});
  EXPECT_EQ (GetGlobal (u"Driver0003"), BYTES {});
  EXPECT_EQ (GetGlobal (u"Driver0000"), Theirs ());
  EXPECT_EQ (GetGlobal (u"Driver0002"), mCorrupt);
  EXPECT_EQ (GetGlobal (u"Driver0004"), Zorvik);

  // An order left empty goes.
  PutGlobal (u"DriverOrder", DriverOrder ({ 4 }));
  EXPECT_EQ (DriverOptionRemove ((const CHAR16 *)u"ZorvikDxe.efi", (const CHAR16 *)u"NFC Keyboard Driver"), EFI_SUCCESS);
  EXPECT_EQ (GetGlobal (u"DriverOrder"), BYTES {});
  EXPECT_EQ (GetGlobal (u"Driver0004"), BYTES {});
}

} // namespace
