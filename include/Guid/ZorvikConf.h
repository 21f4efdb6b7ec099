/** @file
  The keyboard driver's ZorvikConf variable: its vendor GUID, its name and the record
  it holds, one place for the driver, the setup tool and their tests.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#ifndef ZORVIK_CONF_GUID_H_
#define ZORVIK_CONF_GUID_H_

#define ZORVIK_CONF_GUID \
  { 0xFA9D4DC0, 0x2D4F, 0x4AD3, { 0x84, 0x9F, 0x7A, 0x7F, 0x08, 0xDA, 0x39, 0x22 } }

// A u"" literal, which fills a CHAR16 array in C; C++ code makes its CHAR16 constant of it
// with Char16 (Char16.h).
#define ZORVIK_CONF_VARIABLE_NAME  u"ZorvikConf"

typedef struct {
  UINT8    Enabled;
} NFC_KEYBOARD_CONFIG;

STATIC_ASSERT (sizeof (NFC_KEYBOARD_CONFIG) == 1, "ZorvikConf holds one byte");

extern EFI_GUID  gZorvikConfGuid;

#endif
