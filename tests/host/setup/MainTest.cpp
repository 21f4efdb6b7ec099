/** @file
  The entry point's command line: the shell's words, or the load options.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/
#include <gtest/gtest.h>

#include <string>

#include "NfcKeyboardSetup.h"
#include "SetupPeers.h"

extern "C" {
#include <Protocol/LoadedImage.h>
#include <Protocol/ShellParameters.h>
#include <Guid/ZorvikConf.h>
}

extern "C" EFI_STATUS EFIAPI NfcKeyboardSetupMain (EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable);

namespace {

const CHAR16  *const mConfName = CHAR16_TEXT (ZORVIK_CONF_VARIABLE_NAME);

std::u16string
Word (CHAR16 *Text)
{
  return std::u16string (reinterpret_cast<const char16_t *>(Text));
}

TEST (SplitCommandLine, BlanksSeparateAndQuotesGroup) {
  char16_t  Line[] = u"  NfcKeyboardSetup.efi \t console   \"a b\"\r\n";
  CHAR16    *Argv[8];

  ASSERT_EQ (SplitCommandLine ((CHAR16 *)Line, Argv, 8), 3u);
  EXPECT_EQ (Word (Argv[0]), u"NfcKeyboardSetup.efi");
  EXPECT_EQ (Word (Argv[1]), u"console");
  EXPECT_EQ (Word (Argv[2]), u"a b");
}

TEST (SplitCommandLine, StopsAtTheArrayBound) {
  char16_t  Line[] = u"a b c d";
  char16_t  Empty[] = u"   ";
  CHAR16    *Argv[2];

  EXPECT_EQ (SplitCommandLine ((CHAR16 *)Line, Argv, 2), 2u);
  EXPECT_EQ (Word (Argv[1]), u"b");
  EXPECT_EQ (SplitCommandLine ((CHAR16 *)Empty, Argv, 2), 0u);
}

// A key that is no choice every half second, up to mLastKeyUs.
UINT64  mNextKeyUs;
UINT64  mLastKeyUs;

void
TypeNonsense (void *, UINT64 NowUs)
{
  if ((NowUs >= mNextKeyUs) && (NowUs < mLastKeyUs)) {
    fake::Firmware::QueueKeys (u"x");
    mNextKeyUs = NowUs + 500 * 1000;
  }
}

class SetupEntry : public ::testing::Test {
protected:
  void SetUp () override { fake::Firmware::Reset (); }
  void TearDown () override { EXPECT_EQ (fake::Firmware::LiveAllocations (), 0u); }

  bool
  ConfIs (uint8_t Value)
  {
    std::vector<uint8_t>  Data;
    return fake::Firmware::ReadVariable (mConfName, gZorvikConfGuid, &Data, nullptr) &&
           (Data == std::vector<uint8_t>{ Value });
  }
};

TEST_F (SetupEntry, TakesTheShellsWordsAndReturnsTheCommandsStatus) {
  const CHAR16  *Words[] = { (const CHAR16 *)u"NfcKeyboardSetup", (const CHAR16 *)u"enable" };
  EFI_SHELL_PARAMETERS_PROTOCOL  Parameters = {};

  Parameters.Argv = const_cast<CHAR16 **>(Words);
  Parameters.Argc = 2;
  ASSERT_EQ (fake::Firmware::Install (&gImageHandle, gEfiShellParametersProtocolGuid, &Parameters), EFI_SUCCESS);

  EXPECT_EQ (NfcKeyboardSetupMain (gImageHandle, gST), EFI_SUCCESS);
  EXPECT_TRUE (ConfIs (1));

  Words[1] = (const CHAR16 *)u"frobnicate";
  EXPECT_EQ (NfcKeyboardSetupMain (gImageHandle, gST), EFI_INVALID_PARAMETER);
}

// Outside the shell the options are the line, with or without a closing NUL.
TEST_F (SetupEntry, FallsBackToTheLoadOptions) {
  auto      *Image = static_cast<EFI_LOADED_IMAGE_PROTOCOL *>(fake::Firmware::Find (gImageHandle, gEfiLoadedImageProtocolGuid));
  char16_t  Options[] = u"NfcKeyboardSetup.efi disable";

  ASSERT_NE (Image, nullptr);
  Image->LoadOptions     = Options;
  Image->LoadOptionsSize = sizeof (Options) - sizeof (char16_t);
  EXPECT_EQ (NfcKeyboardSetupMain (gImageHandle, gST), EFI_SUCCESS);
  EXPECT_TRUE (ConfIs (0));

}

// Started by the firmware with no command: the menu, answered from the keyboard.
TEST_F (SetupEntry, WithoutACommandRunsTheMenu) {
  EFI_HANDLE  Stick = peer::AddVolume (peer::Cat ({ peer::PciRoot (), peer::Usb (2), peer::HardDrive (1, false), peer::End () }),
                                       peer::VOLUME_KIND::MbrFat);
  for (const char16_t *Name : { u"BOOTX64.EFI", u"OstrelDriver.efi", u"ZorvikDxe.efi" }) {
    peer::PutFile (Stick, std::u16string (u"\\EFI\\BOOT\\") + Name, { 'M', 'Z' });
  }

  peer::SetOwnImage (Stick, u"\\EFI\\BOOT\\BOOTX64.EFI");
  peer::ServeImagesFromVolumes ();

  fake::Firmware::QueueKeys (u"\r3\n4");
  EXPECT_EQ (NfcKeyboardSetupMain (gImageHandle, gST), EFI_SUCCESS);
  std::string  Output = fake::Firmware::ConsoleOutput ();
  EXPECT_NE (Output.find ("Choose 1-4: 3\r\n"), std::string::npos) << Output;
  EXPECT_NE (Output.find ("ZorvikConf: not set"), Output.rfind ("ZorvikConf: not set")) << "the status, at the start and for 3";
  EXPECT_FALSE (ConfIs (1));

  // Install, no reset (the fake fails a test that resets), then quit.
  fake::Firmware::QueueKeys (u"1n4");
  EXPECT_EQ (NfcKeyboardSetupMain (gImageHandle, gST), EFI_SUCCESS);
  EXPECT_TRUE (ConfIs (1));
  EXPECT_NE (fake::Firmware::ConsoleOutput ().find ("(y/n): n\r\n"), std::string::npos);

  // Nobody answers: the boot manager gets the machine back, with its watchdog, and an
  // error, so it goes on with the next boot option.
  EXPECT_EQ (NfcKeyboardSetupMain (gImageHandle, gST), EFI_TIMEOUT);
  EXPECT_EQ (fake::Firmware::WatchdogSeconds (), 300u);
  EXPECT_GE (fake::Firmware::NowUs (), 120u * 1000 * 1000);

  // Nor do keys that answer nothing (a stuck key, a cat on the keyboard) hold it.
  UINT64  Start = fake::Firmware::NowUs ();
  mNextKeyUs    = Start;
  mLastKeyUs    = Start + 600ULL * 1000 * 1000;
  fake::Firmware::SetStallHook (TypeNonsense, nullptr);
  EXPECT_EQ (NfcKeyboardSetupMain (gImageHandle, gST), EFI_TIMEOUT);
  fake::Firmware::SetStallHook (nullptr, nullptr);
  EXPECT_EQ (fake::Firmware::WatchdogSeconds (), 300u);
  EXPECT_LT (fake::Firmware::NowUs () - Start, 125ULL * 1000 * 1000);
}

} // namespace
