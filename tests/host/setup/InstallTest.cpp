/** @file
  install and uninstall on a machine's volumes: where the files go, what the
  variables hold after one run or two, what an uninstall leaves, which drivers start.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/
#include <gtest/gtest.h>

#include <cstring>
#include <map>

#include "NfcKeyboardSetup.h"
#include "SetupPeers.h"

extern "C" {
#include <Protocol/LoadedImage.h>
#include <Library/UefiRuntimeServicesTableLib.h>
#include <Guid/ZorvikConf.h>
}

using namespace peer;

namespace {

const CHAR16  *const mConfName = CHAR16_TEXT (ZORVIK_CONF_VARIABLE_NAME);

const std::u16string  mFolder = u"\\EFI\\NfcKeyboard\\";

BYTES Stick (uint32_t Partition, bool Gpt) { return Cat ({ PciRoot (), Pci (0x14, 0), Usb (3), HardDrive (Partition, Gpt) }); }
BYTES Disk (uint32_t Partition, bool Gpt) { return Cat ({ PciRoot (), Pci (3, 0), HardDrive (Partition, Gpt) }); }
BYTES Image (const char *Tag) { return Cat ({ { 'M', 'Z' }, BYTES (Tag, Tag + std::strlen (Tag)) }); }
BYTES Ps2 () { return Cat ({ PciRoot (), Ps2Keyboard (), End () }); }
BYTES Terminal () { return Cat ({ PciRoot (), Pci (0x1F, 0), Uart (115200), TerminalVt100 (), End () }); }

BYTES
Entry ()
{
  auto  *Bytes = reinterpret_cast<const uint8_t *>(NfcKeyboardConInEntry ());
  return BYTES (Bytes, Bytes + 58);
}

// Every variable's bytes by name.
std::map<std::u16string, BYTES>
Variables ()
{
  std::map<std::u16string, BYTES>  Out;
  CHAR16                           Name[64] = { 0 };
  EFI_GUID                         Guid;

  for (UINTN Size = sizeof (Name); !EFI_ERROR (gRT->GetNextVariableName (&Size, Name, &Guid)); Size = sizeof (Name)) {
    fake::Firmware::ReadVariable (Name, Guid, &Out[(const char16_t *)Name], nullptr);
  }

  return Out;
}

// The drivers' entries: each says which image it is and where it was read from, and
// installs the driver's name as the real one does.
std::vector<std::pair<std::string, EFI_HANDLE>>  mStarted;

EFI_STATUS
StartDriver (void *, EFI_HANDLE Handle, const std::vector<uint8_t> &File)
{
  auto  *Loaded = static_cast<EFI_LOADED_IMAGE_PROTOCOL *>(fake::Firmware::Find (Handle, gEfiLoadedImageProtocolGuid));

  mStarted.emplace_back (std::string (File.begin () + 2, File.end ()), Loaded->DeviceHandle);
  AddDriver ((File == Image ("Zorvik")) ? NFC_KEYBOARD_DRIVER_NAME : USB_SERIAL_DRIVER_NAME, Handle);
  return EFI_SUCCESS;
}

class Install : public ::testing::Test {
protected:
  void
  SetUp () override
  {
    fake::Firmware::Reset ();
    ServeImagesFromVolumes ();
    fake::Firmware::SetImageEntry (StartDriver, nullptr);
    mStarted.clear ();
  }

  void TearDown () override { EXPECT_EQ (fake::Firmware::LiveAllocations (), 0u); }

  // The volume the tool was started from, the driver images beside it.
  EFI_HANDLE
  Own (const BYTES &Path, VOLUME_KIND Kind, bool WithKeyboardDriver = true)
  {
    EFI_HANDLE  Volume = AddVolume (Cat ({ Path, End () }), Kind);

    PutFile (Volume, u"\\EFI\\BOOT\\BOOTX64.EFI", Image ("setup"));
    PutFile (Volume, u"\\EFI\\BOOT\\OstrelDriver.efi", Image ("Ostrel"));
    if (WithKeyboardDriver) {
      PutFile (Volume, u"\\EFI\\BOOT\\ZorvikDxe.efi", Image ("Zorvik"));
    }

    SetOwnImage (Volume, u"\\EFI\\BOOT\\BOOTX64.EFI");
    return Volume;
  }

  void
  ExpectInstalled (EFI_HANDLE Volume, size_t Case = 0)
  {
    BYTES  Ostrel, Zorvik, Setup;

    EXPECT_TRUE (GetFile (Volume, mFolder + u"OstrelDriver.efi", &Ostrel) && GetFile (Volume, mFolder + u"ZorvikDxe.efi", &Zorvik) &&
                 GetFile (Volume, mFolder + u"NfcKeyboardSetup.efi", &Setup)) << "case " << Case;
    EXPECT_EQ (Cat ({ Ostrel, Zorvik, Setup }), Cat ({ Image ("Ostrel"), Image ("Zorvik"), Image ("setup") })) << "case " << Case;
  }
};

// A stick's own system partition is a last resort: it leaves with the stick.
TEST_F (Install, WritesToTheMachinesSystemPartition) {
  struct VOLUME { BYTES Path; VOLUME_KIND Kind; };
  struct { std::vector<VOLUME> Volumes; size_t Target; } Cases[] = {   // the tool's own volume first
    { { { Stick (1, false), VOLUME_KIND::MbrFat }, { Disk (1, true), VOLUME_KIND::GptEsp }, { Disk (2, true), VOLUME_KIND::GptData } }, 1 },
    { { { Stick (1, true), VOLUME_KIND::GptEsp }, { Disk (1, true), VOLUME_KIND::GptEsp } }, 1 },
    { { { Stick (1, true), VOLUME_KIND::GptData }, { Stick (2, true), VOLUME_KIND::GptEsp }, { Disk (1, true), VOLUME_KIND::GptData } }, 1 },
    { { { Stick (1, false), VOLUME_KIND::MbrFat }, { Disk (1, false), VOLUME_KIND::MbrFat }, { Disk (2, false), VOLUME_KIND::MbrEsp } }, 2 },
    { { { Stick (1, false), VOLUME_KIND::MbrFat }, { Disk (1, true), VOLUME_KIND::GptData } }, 0 },
  };
  for (size_t Index = 0; Index < ARRAY_SIZE (Cases); Index++) {
    auto                                      &Case = Cases[Index];
    std::vector<EFI_HANDLE>                   Volumes;
    std::vector<std::vector<std::u16string>>  Before;
    SetUp ();
    for (auto &Volume : Case.Volumes) {
      Volumes.push_back (Volumes.empty () ? Own (Volume.Path, Volume.Kind) : AddVolume (Cat ({ Volume.Path, End () }), Volume.Kind));
      Before.push_back (ListVolume (Volumes.back ()));
    }

    EXPECT_EQ (NfcKeyboardInstall (NULL), EFI_SUCCESS) << "case " << Index;
    for (size_t Volume = 0; Volume < Volumes.size (); Volume++) {
      if (Volume == Case.Target) {
        ExpectInstalled (Volumes[Volume], Index);
      } else {
        EXPECT_EQ (ListVolume (Volumes[Volume]), Before[Volume]) << "case " << Index;
      }
    }

    BYTES  Path = Cat ({ Case.Volumes[Case.Target].Path, FilePathNode (u"\\EFI\\NfcKeyboard\\OstrelDriver.efi"), End () });
    EXPECT_EQ (GetGlobal (u"Driver0000"), LoadOption (u"FTDI-232 USB Serial Driver", Path)) << "case " << Index;
    EXPECT_EQ (fake::Firmware::ConsoleOutput ().find ("No EFI system partition found") != std::string::npos, Case.Target == 0)
      << "case " << Index;
    TearDown ();
  }
}

// The old keyboard entry (one port's full path) gives way to the entry for any port;
// a terminal on an FT232 line is another console and stays.
TEST_F (Install, TwiceLeavesOneOfEverything) {
  BYTES       Ft232Terminal = Cat ({ AdapterPath (), Uart (115200), FlowControl (0), TerminalVt100 (), End () });
  EFI_HANDLE  Esp           = AddVolume (Cat ({ Disk (1, true), End () }), VOLUME_KIND::GptEsp);

  Own (Stick (1, false), VOLUME_KIND::MbrFat);
  PutConIn (MultiInstance ({ Ps2 (), KeyboardPath (), Terminal (), Ft232Terminal }), EFI_VARIABLE_NON_VOLATILE | EFI_VARIABLE_BOOTSERVICE_ACCESS);
  ASSERT_EQ (NfcKeyboardInstall (NULL), EFI_SUCCESS);
  auto    After  = Variables ();
  size_t  Calls  = fake::Firmware::SetVariableCalls ();
  size_t  Output = fake::Firmware::ConsoleOutput ().size ();

  EXPECT_EQ (NfcKeyboardInstall (NULL), EFI_SUCCESS);
  EXPECT_EQ (fake::Firmware::SetVariableCalls (), Calls);
  EXPECT_EQ (Variables (), After);
  EXPECT_EQ (fake::Firmware::ConsoleOutput ().find ("copied", Output), std::string::npos);
  ExpectInstalled (Esp);
  EXPECT_EQ (After.size (), 5u);   // ConIn, DriverOrder, ZorvikConf and two options
  EXPECT_EQ (After.count (u"Driver0000") + After.count (u"Driver0001"), 2u);
  EXPECT_EQ (After[u"DriverOrder"], DriverOrder ({ 0, 1 }));
  EXPECT_EQ (After[u"ZorvikConf"], BYTES { 1 });
  EXPECT_EQ (After[u"ConIn"], MultiInstance ({ Ps2 (), Terminal (), Ft232Terminal, Entry () }));
}

// Every image is read before anything is written.
TEST_F (Install, AMissingImageChangesNothing) {
  EFI_HANDLE  Esp = AddVolume (Cat ({ Disk (1, true), End () }), VOLUME_KIND::GptEsp);

  Own (Stick (1, false), VOLUME_KIND::MbrFat, false);
  EXPECT_EQ (NfcKeyboardInstall (NULL), EFI_NOT_FOUND);
  EXPECT_EQ (fake::Firmware::SetVariableCalls (), 0u);
  EXPECT_TRUE (ListVolume (Esp).empty ());
  EXPECT_TRUE (mStarted.empty ());
}

// Without the reader and with no driver running, what others put there stays byte for byte.
TEST_F (Install, UninstallLeavesWhatWasThereBefore) {
  EFI_HANDLE  Stick1 = Own (Stick (1, true), VOLUME_KIND::GptEsp);
  EFI_HANDLE  Esp    = AddVolume (Cat ({ Disk (1, true), End () }), VOLUME_KIND::GptEsp);
  uint8_t     Off    = 0;

  fake::Firmware::SetImageEntry (nullptr, nullptr);
  PutFile (Esp, u"\\EFI\\Vendor\\Other.efi", Image ("other"));
  PutGlobal (u"Driver0000", LoadOption (u"Other", Cat ({ Disk (1, true), FilePathNode (u"\\EFI\\Vendor\\Other.efi"), End () })));
  PutGlobal (u"Driver0001", { 1, 0, 0, 0, 0xFF, 0xFF });
  PutGlobal (u"DriverOrder", DriverOrder ({ 1, 0 }));
  PutConIn (MultiInstance ({ Ps2 (), Terminal () }), EFI_VARIABLE_NON_VOLATILE | EFI_VARIABLE_BOOTSERVICE_ACCESS);
  fake::Firmware::PutVariable (mConfName, gZorvikConfGuid, EFI_VARIABLE_NON_VOLATILE | EFI_VARIABLE_BOOTSERVICE_ACCESS, &Off, 1);
  auto  Before      = Variables ();
  auto  EspBefore   = ListVolume (Esp);
  auto  StickBefore = ListVolume (Stick1);

  ASSERT_EQ (NfcKeyboardInstall (NULL), EFI_SUCCESS);
  ASSERT_NE (ListVolume (Esp), EspBefore);
  EXPECT_EQ (NfcKeyboardUninstall (), EFI_SUCCESS);
  EXPECT_EQ (Variables (), Before);
  EXPECT_EQ (ListVolume (Esp), EspBefore);
  EXPECT_EQ (ListVolume (Stick1), StickBefore);
}

// The keyboard driver first, so it is there when the serial driver makes a line.
TEST_F (Install, StartsTheDriversThatDoNotRunFromTheInstalledCopies) {
  EFI_HANDLE  Esp = AddVolume (Cat ({ Disk (1, true), End () }), VOLUME_KIND::GptEsp);

  Own (Stick (1, false), VOLUME_KIND::MbrFat);
  AddDriver (USB_SERIAL_DRIVER_NAME);
  ASSERT_EQ (NfcKeyboardInstall (NULL), EFI_SUCCESS);
  EXPECT_EQ (mStarted, (decltype (mStarted) { { "Zorvik", Esp } }));

  SetUp ();
  Esp = AddVolume (Cat ({ Disk (1, true), End () }), VOLUME_KIND::GptEsp);
  Own (Stick (1, false), VOLUME_KIND::MbrFat);
  ASSERT_EQ (NfcKeyboardInstall (NULL), EFI_SUCCESS);
  EXPECT_EQ (mStarted, (decltype (mStarted) { { "Zorvik", Esp }, { "Ostrel", Esp } }));
}

} // namespace
