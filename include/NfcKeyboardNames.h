/** @file
  The names the two drivers give themselves, by which the setup tool finds them and
  describes their load options.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/
#ifndef NFC_KEYBOARD_NAMES_H_
#define NFC_KEYBOARD_NAMES_H_

// u"" literals; C++ code makes its CHAR16 constants of them with Char16 (Char16.h).
#define USB_SERIAL_DRIVER_NAME    u"FTDI-232 USB Serial Driver"
#define NFC_KEYBOARD_DRIVER_NAME  u"NFC Keyboard Driver"

#endif
