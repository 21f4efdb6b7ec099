/** @file
  The names the two drivers give themselves, by which the setup tool finds them and
  describes their load options.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/
#ifndef NFC_KEYBOARD_NAMES_H_
#define NFC_KEYBOARD_NAMES_H_

// Initialisers, so the drivers keep them as writable CHAR16 arrays and the setup tool
// as char16_t ones; no one string literal fills both.
#define USB_SERIAL_DRIVER_NAME \
  { 'F', 'T', 'D', 'I', '-', '2', '3', '2', ' ', 'U', 'S', 'B', ' ', 'S', 'e', 'r', 'i', 'a', 'l', ' ', \
    'D', 'r', 'i', 'v', 'e', 'r', 0 }

#define NFC_KEYBOARD_DRIVER_NAME \
  { 'N', 'F', 'C', ' ', 'K', 'e', 'y', 'b', 'o', 'a', 'r', 'd', ' ', 'D', 'r', 'i', 'v', 'e', 'r', 0 }

#endif
