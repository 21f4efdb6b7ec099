/** @file
  OstrelDriver's chip: the FT232 alone.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/
#include "FtdiSerial.h"

#include <NfcKeyboardNames.h>

namespace {
constexpr auto  mDriverName = Char16 (USB_SERIAL_DRIVER_NAME);
} // namespace

CONST USB_SERIAL_CHIP *CONST          gSerialChips[]     = { &gFtdiChip, NULL };
CONST CHAR8                           gSerialImageName[] = "OstrelDriver";
CONST CHAR16                  *CONST  gSerialDriverName  = mDriverName.Text;
