/** @file
  UsbUartDxe's chips: every bridge but the FT232, which OstrelDriver keeps.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/
#include "FtdiSerial.h"

#include <NfcKeyboardNames.h>

namespace {
constexpr auto  mDriverName = Char16 (USB_UART_DRIVER_NAME);
} // namespace

CONST USB_SERIAL_CHIP *CONST          gSerialChips[] = {
  &gFtdiKinChip, &gCp210xChip, &gCh340Chip, &gPl2303Chip, &gCdcAcmChip, NULL
};
CONST CHAR8                           gSerialImageName[] = "UsbUartDxe";
CONST CHAR16                  *CONST  gSerialDriverName  = mDriverName.Text;
