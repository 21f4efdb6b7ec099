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
// The driver for the other USB-serial bridges: CP210x, CH340, PL2303, CDC ACM and the
// FT232's kin (FT-X, FT232H, the first port of FT2232 and FT4232).
#define USB_UART_DRIVER_NAME  u"USB UART Bridge Driver"

#endif
