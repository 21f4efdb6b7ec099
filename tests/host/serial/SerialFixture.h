/** @file
  What every serial driver test starts from: a loaded driver, an FT232 model not yet
  plugged in, and the handles a test fills in as it starts the driver on the chip.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/
#ifndef SERIAL_FIXTURE_H_
#define SERIAL_FIXTURE_H_

#include <gtest/gtest.h>

#include "FakeFirmware.h"
#include "FakeFt232.h"
#include "FakePortIo.h"
#include "FtdiSerial.h"

class SerialFixture : public ::testing::Test {
protected:
  fake::Ft232             Chip;
  EFI_HANDLE              Controller = nullptr;
  EFI_SERIAL_IO_PROTOCOL  *Sio       = nullptr;
  FTDI_SERIAL_DEVICE      *Dev       = nullptr;

  void
  SetUp () override
  {
    fake::Firmware::Reset ();
    fake::PortIo::Reset ();
    ASSERT_EQ (UsbSerialDriverEntryPoint (gImageHandle, gST), EFI_SUCCESS);
  }
};

#endif
