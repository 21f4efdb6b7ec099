/** @file
  The log channel as COM1 sees it: the bytes on the wire and the port accesses.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/
#include <gtest/gtest.h>
#include <string>

#include "FakePortIo.h"

#include "DebugLog.h"

extern "C" {
#include <Library/BaseLib.h>
}

namespace {

constexpr uint16_t  Data       = 0x3F8;
constexpr uint16_t  LineStatus = 0x3FD;

class DebugLog : public ::testing::Test {
protected:
  void
  SetUp () override
  {
    DebugLogInit ("OstrelDriver");
    fake::PortIo::Reset ();
  }

  static std::string
  Wire ()
  {
    return fake::PortIo::Written (Data);
  }
};

TEST_F (DebugLog, WritesTheLevelledLineWithCrLf) {
  DebugLogPrint (DEBUG_INFO, "OstrelUnload is called\n");
  EXPECT_EQ (Wire (), "[OstrelDriver | INFO] OstrelUnload is called\r\n");

  fake::PortIo::Reset ();
  DebugLogPrint (DEBUG_INFO, "EfiLibInstallDriverBindingComponentName2 returns: %r\n", EFI_SUCCESS);
  EXPECT_EQ (Wire (), "[OstrelDriver | INFO] EfiLibInstallDriverBindingComponentName2 returns: Success\r\n");
}

TEST_F (DebugLog, FormatsTheConversionsTheDriversUse) {
  DebugLogPrint (DEBUG_WARN, "%a %c %d %02x %04x %r\n", "abc", 'Z', -5, 0x7, 0xBEEF, EFI_ALREADY_STARTED);
  EXPECT_EQ (Wire (), "[OstrelDriver | WARN] abc Z -5 07 BEEF Already started\r\n");
}

TEST_F (DebugLog, PollsLineStatusBeforeEveryCharacter) {
  DebugLogPrint (DEBUG_ERROR, "x");
  const auto &Accesses = fake::PortIo::Accesses ();
  const std::string  Expected = "[OstrelDriver | ERROR] x";

  ASSERT_EQ (Accesses.size (), 2 * Expected.size ());
  for (size_t Index = 0; Index < Expected.size (); Index++) {
    EXPECT_FALSE (Accesses[2 * Index].Write);
    EXPECT_EQ (Accesses[2 * Index].Port, LineStatus);
    EXPECT_TRUE (Accesses[2 * Index + 1].Write);
    EXPECT_EQ (Accesses[2 * Index + 1].Port, Data);
    EXPECT_EQ (Accesses[2 * Index + 1].Value, static_cast<uint8_t>(Expected[Index]));
  }
}

TEST_F (DebugLog, NullFormatTouchesNoPort) {
  DebugLogPrint (DEBUG_INFO, nullptr);
  EXPECT_TRUE (fake::PortIo::Accesses ().empty ());
}

TEST_F (DebugLog, OnlyTheThreeExactLevelsHaveNames) {
  DebugLogPrint (0, "m");
  EXPECT_EQ (Wire (), "[OstrelDriver | ] m");

  fake::PortIo::Reset ();
  DebugLogPrint (DEBUG_ERROR | DEBUG_INFO, "m");
  EXPECT_EQ (Wire (), "[OstrelDriver | ] m");

  fake::PortIo::Reset ();
  DebugLogPrint (DEBUG_WARN, "m");
  EXPECT_EQ (Wire (), "[OstrelDriver | WARN] m");
}

TEST_F (DebugLog, CutsTheMessageThenTheLineAt255Characters) {
  const std::string  Long (300, 'a');

  DebugLogPrint (DEBUG_ERROR, "%a\n", Long.c_str ());
  const std::string  Prefix = "[OstrelDriver | ERROR] ";
  ASSERT_EQ (Prefix.size (), 23u);
  EXPECT_EQ (Wire (), Prefix + std::string (232, 'a'));

  // A message that fits in its own buffer but not behind the prefix loses its tail too.
  fake::PortIo::Reset ();
  DebugLogPrint (DEBUG_INFO, "%a\n", std::string (240, 'b').c_str ());
  EXPECT_EQ (Wire ().size (), 255u);
  EXPECT_EQ (Wire ().back (), 'b');
}

TEST_F (DebugLog, ModuleNameThatDoesNotFitKeepsNoname) {
  const std::string  Fits (31, 'n');

  DebugLogInit (Fits.c_str ());
  fake::PortIo::Reset ();
  DebugLogPrint (DEBUG_INFO, "m");
  EXPECT_EQ (Wire (), "[" + Fits + " | INFO] m");

  // A fresh image still holds "NONAME"; a name of 32 characters is refused whole.
  AsciiStrCpyS (mModuleName, sizeof (mModuleName), "NONAME");
  DebugLogInit (std::string (32, 'x').c_str ());
  fake::PortIo::Reset ();
  DebugLogPrint (DEBUG_INFO, "m");
  EXPECT_EQ (Wire (), "[NONAME | INFO] m");
}

TEST (DebugLogInit, ProgramsCom1WithFourWritesAndNothingElse) {
  fake::PortIo::Reset ();
  DebugLogInit ("ZorvikDxe");

  const auto &Accesses = fake::PortIo::Accesses ();
  ASSERT_EQ (Accesses.size (), 4u);
  const fake::PORT_ACCESS  Expected[] = {
    { true, 0x3FB, 0x87 }, { true, 0x3F9, 0x00 }, { true, 0x3F8, 0x01 }, { true, 0x3FB, 0x07 }
  };
  for (size_t Index = 0; Index < 4; Index++) {
    EXPECT_TRUE (Accesses[Index].Write);
    EXPECT_EQ (Accesses[Index].Port, Expected[Index].Port);
    EXPECT_EQ (Accesses[Index].Value, Expected[Index].Value);
  }

  fake::PortIo::Reset ();
  DebugLogPrint (DEBUG_INFO, "up\n");
  EXPECT_EQ (fake::PortIo::Written (Data), "[ZorvikDxe | INFO] up\r\n");
}

TEST_F (DebugLog, GivesUpOnATransmitterThatNeverEmpties) {
  fake::PortIo::SetLineStatus (0x00);
  DebugLogPrint (DEBUG_INFO, "OstrelUnload is called\n");

  EXPECT_TRUE (Wire ().empty ());
  EXPECT_EQ (fake::PortIo::Reads (LineStatus), static_cast<size_t>(DEBUG_LOG_TX_READY_POLLS));

  // The next line goes out whole once the UART drains again.
  fake::PortIo::Reset ();
  DebugLogPrint (DEBUG_INFO, "again\n");
  EXPECT_EQ (Wire (), "[OstrelDriver | INFO] again\r\n");
}

TEST_F (DebugLog, DropsTheRestOfALineWhenTheTransmitterStalls) {
  fake::PortIo::SetLineStatusAfter (5, 0x00);
  DebugLogPrint (DEBUG_INFO, "stall\n");

  EXPECT_EQ (Wire (), "[Ostr");
  EXPECT_EQ (fake::PortIo::Reads (LineStatus), 5 + static_cast<size_t>(DEBUG_LOG_TX_READY_POLLS));
}

TEST_F (DebugLog, WaitsOutABusyTransmitter) {
  // Busy for a while, well inside the limit, then ready: nothing is lost.
  fake::PortIo::SetLineStatus (0x00);
  fake::PortIo::SetLineStatusAfter (500, 0x60);
  DebugLogPrint (DEBUG_INFO, "ok\n");
  EXPECT_EQ (Wire (), "[OstrelDriver | INFO] ok\r\n");
}

} // namespace
