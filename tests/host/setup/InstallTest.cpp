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
#include <Library/DevicePathLib.h>
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
BYTES Nvme (uint32_t Partition) { return Cat ({ PciRoot (), Pci (5, 0), HardDrive (Partition, true) }); }
BYTES Image (const char *Tag) { return Cat ({ { 'M', 'Z' }, BYTES (Tag, Tag + std::strlen (Tag)) }); }
BYTES Ps2 () { return Cat ({ PciRoot (), Ps2Keyboard (), End () }); }
BYTES Terminal () { return Cat ({ PciRoot (), Pci (0x1F, 0), Uart (115200), TerminalVt100 (), End () }); }

BYTES
Entry ()
{
  auto  *Bytes = reinterpret_cast<const uint8_t *>(NfcKeyboardConInEntries ());
  return BYTES (Bytes, Bytes + GetDevicePathSize (NfcKeyboardConInEntries ()));
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
  AddDriver ((File == Image ("Zorvik")) ? NFC_KEYBOARD_DRIVER_NAME : (File == Image ("UsbUart")) ? USB_UART_DRIVER_NAME : USB_SERIAL_DRIVER_NAME,
             Handle);
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
  Own (const BYTES &Path, VOLUME_KIND Kind, bool WithKeyboardDriver = true, bool WithUsbUart = true)
  {
    EFI_HANDLE  Volume = AddVolume (Cat ({ Path, End () }), Kind);

    PutFile (Volume, u"\\EFI\\BOOT\\BOOTX64.EFI", Image ("setup"));
    PutFile (Volume, u"\\EFI\\BOOT\\OstrelDriver.efi", Image ("Ostrel"));
    if (WithUsbUart) {
      PutFile (Volume, u"\\EFI\\BOOT\\UsbUartDxe.efi", Image ("UsbUart"));
    }

    if (WithKeyboardDriver) {
      PutFile (Volume, u"\\EFI\\BOOT\\ZorvikDxe.efi", Image ("Zorvik"));
    }

    SetOwnImage (Volume, u"\\EFI\\BOOT\\BOOTX64.EFI");
    return Volume;
  }

  void
  ExpectInstalled (EFI_HANDLE Volume, size_t Case = 0)
  {
    BYTES  Ostrel, UsbUart, Zorvik, Setup;

    EXPECT_TRUE (GetFile (Volume, mFolder + u"OstrelDriver.efi", &Ostrel) && GetFile (Volume, mFolder + u"UsbUartDxe.efi", &UsbUart) &&
                 GetFile (Volume, mFolder + u"ZorvikDxe.efi", &Zorvik) && GetFile (Volume, mFolder + u"NfcKeyboardSetup.efi", &Setup))
      << "case " << Case;
    EXPECT_EQ (Cat ({ Ostrel, UsbUart, Zorvik, Setup }), Cat ({ Image ("Ostrel"), Image ("UsbUart"), Image ("Zorvik"), Image ("setup") }))
      << "case " << Case;
  }
};

// The disk the machine boots from first; a stick's system partition is a last resort, with
// a warning: it leaves with the stick. Without partition information, the disk's table
// tells. An absent ConIn stays absent.
TEST_F (Install, WritesToTheMachinesSystemPartition) {
  struct VOLUME { BYTES Path; VOLUME_KIND Kind; bool Info = true; };
  struct { std::vector<VOLUME> Volumes; size_t Target; bool Warns; BYTES BootCurrent; } Cases[] = {   // the tool's own volume first
    { { { Stick (1, false), VOLUME_KIND::MbrFat }, { Disk (1, true), VOLUME_KIND::GptEsp }, { Disk (2, true), VOLUME_KIND::GptData } }, 1, false },
    { { { Stick (1, true), VOLUME_KIND::GptEsp }, { Disk (1, true), VOLUME_KIND::GptEsp } }, 1, false },
    { { { Stick (1, true), VOLUME_KIND::GptData }, { Stick (2, true), VOLUME_KIND::GptEsp }, { Disk (1, true), VOLUME_KIND::GptData } }, 1, true },
    { { { Stick (1, false), VOLUME_KIND::MbrFat }, { Disk (1, false), VOLUME_KIND::MbrFat }, { Disk (2, false), VOLUME_KIND::MbrEsp } }, 2, false },
    { { { Stick (1, false), VOLUME_KIND::MbrFat }, { Disk (1, true), VOLUME_KIND::GptData } }, 0, true },
    { { { Stick (1, false), VOLUME_KIND::MbrFat }, { Disk (1, true), VOLUME_KIND::GptEsp }, { Nvme (2), VOLUME_KIND::GptEsp } }, 2, false,
      Cat ({ PciRoot (), Pci (5, 0), End () }) },
    { { { Stick (1, false), VOLUME_KIND::MbrFat }, { Disk (1, true), VOLUME_KIND::GptEsp }, { Nvme (2), VOLUME_KIND::GptEsp } }, 2, false,
      Cat ({ HardDrive (2, true), FilePathNode (u"\\EFI\\os\\boot.efi"), End () }) },
    { { { Stick (1, false), VOLUME_KIND::MbrFat }, { Disk (1, true), VOLUME_KIND::GptEsp, false } }, 1, false },
    { { { Stick (1, false), VOLUME_KIND::MbrFat }, { Disk (1, false), VOLUME_KIND::MbrEsp, false } }, 1, false },
    { { { Stick (1, false), VOLUME_KIND::MbrFat }, { Disk (1, true), VOLUME_KIND::GptData, false } }, 0, true },
  };
  for (size_t Index = 0; Index < ARRAY_SIZE (Cases); Index++) {
    auto                                      &Case = Cases[Index];
    std::vector<EFI_HANDLE>                   Volumes;
    std::vector<std::vector<std::u16string>>  Before;
    SetUp ();
    for (auto &Volume : Case.Volumes) {
      Volumes.push_back (Volumes.empty () ? Own (Volume.Path, Volume.Kind) : AddVolume (Cat ({ Volume.Path, End () }), Volume.Kind, Volume.Info));
      Before.push_back (ListVolume (Volumes.back ()));
      if (!Volume.Info) {
        AddDisk (Cat ({ PciRoot (), Pci (3, 0), End () }), DiskImage (Volume.Kind), false);
      }
    }

    if (!Case.BootCurrent.empty ()) {
      PutGlobal (u"Boot0003", LoadOption (u"OS", Case.BootCurrent));
      PutGlobal (u"BootCurrent", DriverOrder ({ 3 }));
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
    EXPECT_EQ (fake::Firmware::ConsoleOutput ().find ("removable media") != std::string::npos, Case.Warns) << "case " << Index;
    EXPECT_FALSE (HasConIn ()) << "case " << Index;
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
  EXPECT_EQ (After.size (), 7u);   // ConIn, DriverOrder, ZorvikConf, three options and the record
  EXPECT_EQ (After.count (u"NfcKeyboardUndo"), 1u);
  EXPECT_EQ (After[u"Driver0001"], LoadOption (USB_UART_DRIVER_NAME, Cat ({ Disk (1, true), FilePathNode (u"\\EFI\\NfcKeyboard\\UsbUartDxe.efi"), End () })));
  EXPECT_EQ (After.count (u"Driver0000") + After.count (u"Driver0002"), 2u);
  EXPECT_EQ (After[u"DriverOrder"], DriverOrder ({ 0, 1, 2 }));
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

// Without the reader and with no driver running, everything reads back as before the
// install: ZorvikConf absent or as it was, an older console's entry, another vendor's
// driver of the same file name.
TEST_F (Install, UninstallLeavesWhatWasThereBefore) {
  for (bool ConfBefore : { false, true }) {
    SetUp ();
    EFI_HANDLE  Stick1 = Own (Stick (1, true), VOLUME_KIND::GptEsp);
    EFI_HANDLE  Esp    = AddVolume (Cat ({ Disk (1, true), End () }), VOLUME_KIND::GptEsp);
    uint8_t     Off    = 0;
    BYTES       VendorX = LoadOption (u"VendorX", Cat ({ Disk (1, true), FilePathNode (u"\\EFI\\VendorX\\OstrelDriver.efi"), End () }));

    VendorX[0] = 0;
    fake::Firmware::SetImageEntry (nullptr, nullptr);
    PutFile (Esp, u"\\EFI\\Vendor\\Other.efi", Image ("other"));
    PutGlobal (u"Driver0000", LoadOption (u"Other", Cat ({ Disk (1, true), FilePathNode (u"\\EFI\\Vendor\\Other.efi"), End () })));
    PutGlobal (u"Driver0001", { 1, 0, 0, 0, 0xFF, 0xFF });
    PutGlobal (u"Driver0002", Cat ({ VendorX, { 'o', 'p', 't' } }));
    PutGlobal (u"DriverOrder", Cat ({ DriverOrder ({ 1, 0, 2 }), { 7 } }));   // and a stray byte
    PutConIn (MultiInstance ({ Ps2 (), KeyboardPath (), Terminal () }), EFI_VARIABLE_NON_VOLATILE | EFI_VARIABLE_BOOTSERVICE_ACCESS);
    if (ConfBefore) {
      fake::Firmware::PutVariable (mConfName, gZorvikConfGuid, EFI_VARIABLE_NON_VOLATILE | EFI_VARIABLE_BOOTSERVICE_ACCESS | EFI_VARIABLE_RUNTIME_ACCESS, &Off, 1);
    }

    auto  Before      = Variables ();
    auto  EspBefore   = ListVolume (Esp);
    auto  StickBefore = ListVolume (Stick1);

    ASSERT_EQ (NfcKeyboardInstall (NULL), EFI_SUCCESS);
    ASSERT_NE (ListVolume (Esp), EspBefore);
    EXPECT_EQ (GetGlobal (u"Driver0002"), Before[u"Driver0002"]);
    BYTES  Record;
    fake::Firmware::ReadVariable ((const CHAR16 *)u"NfcKeyboardUndo", gZorvikConfGuid, &Record, nullptr);
    EXPECT_EQ (NfcKeyboardUninstall (), EFI_SUCCESS);
    EXPECT_EQ (Variables (), Before) << "ZorvikConf before: " << ConfBefore;

    // Again, as after an uninstall that stopped before it deleted the record.
    fake::Firmware::PutVariable ((const CHAR16 *)u"NfcKeyboardUndo", gZorvikConfGuid, EFI_VARIABLE_NON_VOLATILE | EFI_VARIABLE_BOOTSERVICE_ACCESS,
                                 Record.data (), Record.size ());
    EXPECT_EQ (NfcKeyboardUninstall (), EFI_SUCCESS);
    EXPECT_EQ (Variables (), Before) << "ZorvikConf before: " << ConfBefore;
    EXPECT_EQ (ListVolume (Esp), EspBefore);
    EXPECT_EQ (ListVolume (Stick1), StickBefore);
    UINT32  Attributes = 0;
    fake::Firmware::ReadVariable (mConfName, gZorvikConfGuid, nullptr, &Attributes);
    EXPECT_EQ (Attributes, ConfBefore ? (EFI_VARIABLE_NON_VOLATILE | EFI_VARIABLE_BOOTSERVICE_ACCESS | EFI_VARIABLE_RUNTIME_ACCESS) : 0u);
    TearDown ();
  }
}

// An install that left no record (an older tool, or the record lost) is no part of what was
// there before: the uninstall after a reinstall takes it out too, ZorvikConf set to 00.
TEST_F (Install, UninstallAfterAnInstallWithoutARecord) {
  AddVolume (Cat ({ Disk (1, true), End () }), VOLUME_KIND::GptEsp);
  Own (Stick (1, false), VOLUME_KIND::MbrFat);
  PutGlobal (u"Driver0000", LoadOption (u"Other", Cat ({ Disk (1, true), FilePathNode (u"\\EFI\\Vendor\\Other.efi"), End () })));
  PutGlobal (u"DriverOrder", DriverOrder ({ 0 }));
  PutConIn (Ps2 (), EFI_VARIABLE_NON_VOLATILE | EFI_VARIABLE_BOOTSERVICE_ACCESS);
  auto  Before = Variables ();

  ASSERT_EQ (NfcKeyboardInstall (NULL), EFI_SUCCESS);
  ASSERT_EQ (gRT->SetVariable ((CHAR16 *)u"NfcKeyboardUndo", &gZorvikConfGuid, 0, 0, NULL), EFI_SUCCESS);
  ASSERT_EQ (NfcKeyboardInstall (NULL), EFI_SUCCESS);
  EXPECT_EQ (NfcKeyboardUninstall (), EFI_SUCCESS);
  Before[u"ZorvikConf"] = BYTES { 0 };
  EXPECT_EQ (Variables (), Before);
}

// A folder made before the other bridges installs the two drivers and says what it leaves
// out. Over that, as over the previous version's install (its one ConIn entry), a folder
// with all three adds the third in load order and the other bridges' entries after the
// FT232's; the uninstall leaves what was there before either.
TEST_F (Install, UpgradesAnInstallOfTheTwoDrivers) {
  UINT32      NvBs   = EFI_VARIABLE_NON_VOLATILE | EFI_VARIABLE_BOOTSERVICE_ACCESS;
  EFI_HANDLE  Esp    = AddVolume (Cat ({ Disk (1, true), End () }), VOLUME_KIND::GptEsp);
  EFI_HANDLE  Source = Own (Stick (1, false), VOLUME_KIND::MbrFat, true, false);

  PutConIn (Ps2 (), NvBs);
  auto  Before = Variables ();
  ASSERT_EQ (NfcKeyboardInstall (NULL), EFI_SUCCESS);
  EXPECT_NE (fake::Firmware::ConsoleOutput ().find ("Without UsbUartDxe.efi, readers on USB-serial bridges other than the FT232"),
             std::string::npos) << fake::Firmware::ConsoleOutput ();
  EXPECT_EQ (GetGlobal (u"DriverOrder"), DriverOrder ({ 0, 1 }));
  PutConIn (MultiInstance ({ Ps2 (), Ft232ConInEntry () }), NvBs);
  ASSERT_EQ (InstallRecordAfter (), EFI_SUCCESS);

  PutFile (Source, u"\\EFI\\BOOT\\UsbUartDxe.efi", Image ("UsbUart"));
  ASSERT_EQ (NfcKeyboardInstall (NULL), EFI_SUCCESS);
  ExpectInstalled (Esp);
  EXPECT_EQ (GetGlobal (u"Driver0002"), LoadOption (USB_UART_DRIVER_NAME, Cat ({ Disk (1, true), FilePathNode (u"\\EFI\\NfcKeyboard\\UsbUartDxe.efi"), End () })));
  EXPECT_EQ (GetGlobal (u"DriverOrder"), DriverOrder ({ 0, 2, 1 }));
  EXPECT_EQ (ReadConIn (), MultiInstance ({ Ps2 (), Entry () }));
  EXPECT_EQ (NfcKeyboardUninstall (), EFI_SUCCESS);
  EXPECT_EQ (Variables (), Before);
}

// A console added while our entry is in ConIn is someone else's, and stays.
TEST_F (Install, AConsoleAddedBetweenInstallsStays) {
  UINT32  NvBs = EFI_VARIABLE_NON_VOLATILE | EFI_VARIABLE_BOOTSERVICE_ACCESS;

  AddVolume (Cat ({ Disk (1, true), End () }), VOLUME_KIND::GptEsp);
  Own (Stick (1, false), VOLUME_KIND::MbrFat);
  PutConIn (Ps2 (), NvBs);
  ASSERT_EQ (NfcKeyboardInstall (NULL), EFI_SUCCESS);
  PutConIn (MultiInstance ({ Ps2 (), Entry (), Terminal () }), NvBs);
  ASSERT_EQ (NfcKeyboardInstall (NULL), EFI_SUCCESS);
  EXPECT_EQ (NfcKeyboardUninstall (), EFI_SUCCESS);
  EXPECT_EQ (ReadConIn (), MultiInstance ({ Ps2 (), Terminal () }));
}

// The firmware loads every image before anything is written: one it refuses changes
// nothing, is unloaded again, and the message says why and what to do.
EFI_STATUS  mVerdict;

EFI_STATUS
RefuseTheKeyboard (void *, const std::vector<uint8_t> &File)
{
  return (File == Image ("Zorvik")) ? mVerdict : EFI_SUCCESS;
}

TEST_F (Install, ARefusedImageChangesNothing) {
  struct { EFI_STATUS Verdict; bool SecureBoot; const char *Says; } Cases[] = {
    { EFI_SECURITY_VIOLATION, true,  "Secure Boot is on: make sign with a key in db (README, \"Secure Boot\"), or use a stick signed with a key in this machine's db" },
    { EFI_ACCESS_DENIED,      false, "security policy refuses it" },
    { EFI_UNSUPPORTED,        false, "built for another processor" },
    { EFI_LOAD_ERROR,         false, "damaged or no UEFI image" },
  };
  for (auto &Case : Cases) {
    SetUp ();
    EFI_HANDLE  Esp = AddVolume (Cat ({ Disk (1, true), End () }), VOLUME_KIND::GptEsp);
    Own (Stick (1, false), VOLUME_KIND::MbrFat);
    if (Case.SecureBoot) {
      PutGlobal (u"SecureBoot", { 1 });
    }

    mVerdict = Case.Verdict;
    fake::Firmware::SetImageCheck (RefuseTheKeyboard, nullptr);
    size_t  Handles = fake::Firmware::HandleCount ();
    EXPECT_EQ (NfcKeyboardInstall (NULL), Case.Verdict);
    EXPECT_EQ (fake::Firmware::SetVariableCalls (), 0u);
    EXPECT_TRUE (ListVolume (Esp).empty ());
    EXPECT_EQ (fake::Firmware::HandleCount (), Handles);
    EXPECT_NE (fake::Firmware::ConsoleOutput ().find ("ZorvikDxe.efi"), std::string::npos);
    EXPECT_NE (fake::Firmware::ConsoleOutput ().find (Case.Says), std::string::npos) << fake::Firmware::ConsoleOutput ();
    TearDown ();
  }
}

// A reinstall that cannot write its new copy leaves the old one, and the option naming it;
// so does one with room for the copy but not for the folder to grow by the renames.
TEST_F (Install, AFailedCopyKeepsTheInstalledOne) {
  struct { VOLUME_FAULT Fault; EFI_STATUS Status; uint64_t FreeBytes = 0; uint64_t SlotsLeft = 128; } Cases[] = {
    { VOLUME_FAULT::Full, EFI_VOLUME_FULL }, { VOLUME_FAULT::WriteError, EFI_DEVICE_ERROR }, { VOLUME_FAULT::ReadOnly, EFI_WRITE_PROTECTED },
    { VOLUME_FAULT::Full, EFI_VOLUME_FULL, 4096, 3 },
  };
  for (auto &Case : Cases) {
    SetUp ();
    EFI_HANDLE  Esp    = AddVolume (Cat ({ Disk (1, true), End () }), VOLUME_KIND::GptEsp);
    EFI_HANDLE  Source = Own (Stick (1, false), VOLUME_KIND::MbrFat);
    ASSERT_EQ (NfcKeyboardInstall (NULL), EFI_SUCCESS);
    auto  Files = ListVolume (Esp);
    auto  Vars  = Variables ();

    PutFile (Source, u"\\EFI\\BOOT\\ZorvikDxe.efi", Image ("Zorvik, a newer one"));
    SetVolumeFault (Esp, Case.Fault, Case.FreeBytes);
    FillFolder (Esp, u"\\EFI\\NfcKeyboard", Case.SlotsLeft);
    EXPECT_EQ (NfcKeyboardInstall (NULL), Case.Status);
    EXPECT_EQ (ListVolume (Esp), Files);
    ExpectInstalled (Esp);
    EXPECT_EQ (Variables (), Vars);
    TearDown ();
  }
}

// With the drivers in the firmware, install writes no file and no option, takes out an
// earlier install's, and writes only what the keyboard lacks; without a record (an older install) the uninstall leaves the keyboard on.
TEST_F (Install, FirmwareWithTheDriversBuiltIn) {
  EFI_HANDLE  Esp = AddVolume (Cat ({ Disk (1, true), End () }), VOLUME_KIND::GptEsp);

  Own (Stick (1, false), VOLUME_KIND::MbrFat);
  AddBuiltInDriver (USB_SERIAL_DRIVER_NAME);
  AddBuiltInDriver (USB_UART_DRIVER_NAME);
  AddBuiltInDriver (NFC_KEYBOARD_DRIVER_NAME);
  PutConIn (Ps2 (), EFI_VARIABLE_NON_VOLATILE | EFI_VARIABLE_BOOTSERVICE_ACCESS);
  // An install from before the firmware carried the drivers: its options would load them twice.
  PutGlobal (u"Driver0000", LoadOption (NFC_KEYBOARD_DRIVER_NAME, Cat ({ Disk (1, true), FilePathNode (u"\\EFI\\NfcKeyboard\\ZorvikDxe.efi"), End () })));
  PutGlobal (u"Driver0001", LoadOption (USB_UART_DRIVER_NAME, Cat ({ Disk (1, true), FilePathNode (u"\\EFI\\NfcKeyboard\\UsbUartDxe.efi"), End () })));
  PutGlobal (u"DriverOrder", DriverOrder ({ 1, 0 }));
  ASSERT_EQ (NfcKeyboardInstall (NULL), EFI_SUCCESS);
  EXPECT_NE (fake::Firmware::ConsoleOutput ().find ("built into the firmware"), std::string::npos);
  EXPECT_TRUE (ListVolume (Esp).empty ());
  EXPECT_TRUE (mStarted.empty ());

  auto  After = Variables ();
  EXPECT_EQ (After.count (u"DriverOrder") + After.count (u"Driver0000") + After.count (u"Driver0001"), 0u);
  EXPECT_EQ (After[u"ZorvikConf"], BYTES { 1 });
  EXPECT_EQ (After[u"ConIn"], MultiInstance ({ Ps2 (), Entry () }));

  After.erase (u"NfcKeyboardUndo");
  gRT->SetVariable ((CHAR16 *)u"NfcKeyboardUndo", &gZorvikConfGuid, 0, 0, NULL);
  EXPECT_EQ (NfcKeyboardUninstall (), EFI_SUCCESS);
  EXPECT_EQ (Variables (), After);
}

// The tool's own path of a 255-character name and an empty node does not fit its buffer.
TEST_F (Install, AnOverlongOwnPathIsRefused) {
  std::u16string  Long (255, u'a');
  BYTES           Path = Cat ({ FilePathNode (Long.c_str ()), FilePathNode (u""), End () });

  Own (Stick (1, false), VOLUME_KIND::MbrFat);
  static_cast<EFI_LOADED_IMAGE_PROTOCOL *>(fake::Firmware::Find (gImageHandle, gEfiLoadedImageProtocolGuid))->FilePath =
    reinterpret_cast<EFI_DEVICE_PATH_PROTOCOL *>(Path.data ());
  EXPECT_EQ (NfcKeyboardInstall (NULL), EFI_NOT_FOUND);
  EXPECT_EQ (fake::Firmware::SetVariableCalls (), 0u);
}

// The keyboard driver first, so it is there when the serial driver makes a line.
TEST_F (Install, StartsTheDriversThatDoNotRunFromTheInstalledCopies) {
  EFI_HANDLE  Esp = AddVolume (Cat ({ Disk (1, true), End () }), VOLUME_KIND::GptEsp);

  Own (Stick (1, false), VOLUME_KIND::MbrFat);
  AddDriver (USB_SERIAL_DRIVER_NAME);
  ASSERT_EQ (NfcKeyboardInstall (NULL), EFI_SUCCESS);
  EXPECT_EQ (mStarted, (decltype (mStarted) { { "Zorvik", Esp }, { "UsbUart", Esp } }));

  SetUp ();
  Esp = AddVolume (Cat ({ Disk (1, true), End () }), VOLUME_KIND::GptEsp);
  Own (Stick (1, false), VOLUME_KIND::MbrFat);
  ASSERT_EQ (NfcKeyboardInstall (NULL), EFI_SUCCESS);
  EXPECT_EQ (mStarted, (decltype (mStarted) { { "Zorvik", Esp }, { "UsbUart", Esp }, { "Ostrel", Esp } }));
}

} // namespace
