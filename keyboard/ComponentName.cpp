/** @file
  The driver's name table and the two name protocols.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/
#include "NfcKeyboard.h"

#include <NfcKeyboardNames.h>

// Writable arrays keep the language codes in the data section, out of the code that
// the image check disassembles.
CHAR8  mLanguageIso639[]  = "eng";
CHAR8  mLanguageRfc4646[] = "en";

namespace {

CHAR8  mLanguagesBoth[] = "eng;en";

CHAR16  mDriverName[] = NFC_KEYBOARD_DRIVER_NAME;

EFI_UNICODE_STRING_TABLE  mDriverNameTable[] = {
  { mLanguagesBoth, mDriverName },
  { NULL,           NULL        }
};

EFI_STATUS
EFIAPI
NfcKeyboardGetDriverName (
  IN  EFI_COMPONENT_NAME_PROTOCOL  *This,
  IN  CHAR8                        *Language,
  OUT CHAR16                       **DriverName
  )
{
  return LookupUnicodeString2 (
           Language,
           This->SupportedLanguages,
           mDriverNameTable,
           DriverName,
           (BOOLEAN)(This == &gNfcKeyboardComponentName)
           );
}

EFI_STATUS
EFIAPI
NfcKeyboardGetControllerName (
  IN  EFI_COMPONENT_NAME_PROTOCOL  *This,
  IN  EFI_HANDLE                   ControllerHandle,
  IN  EFI_HANDLE                   ChildHandle OPTIONAL,
  IN  CHAR8                        *Language,
  OUT CHAR16                       **ControllerName
  )
{
  (VOID)This;
  (VOID)ControllerHandle;
  (VOID)ChildHandle;
  (VOID)Language;
  (VOID)ControllerName;
  return EFI_UNSUPPORTED;
}

EFI_STATUS
EFIAPI
NfcKeyboardGetDriverName2 (
  IN  EFI_COMPONENT_NAME2_PROTOCOL  *This,
  IN  CHAR8                         *Language,
  OUT CHAR16                        **DriverName
  )
{
  return NfcKeyboardGetDriverName (reinterpret_cast<EFI_COMPONENT_NAME_PROTOCOL *>(This), Language, DriverName);
}

EFI_STATUS
EFIAPI
NfcKeyboardGetControllerName2 (
  IN  EFI_COMPONENT_NAME2_PROTOCOL  *This,
  IN  EFI_HANDLE                    ControllerHandle,
  IN  EFI_HANDLE                    ChildHandle OPTIONAL,
  IN  CHAR8                         *Language,
  OUT CHAR16                        **ControllerName
  )
{
  return NfcKeyboardGetControllerName (
           reinterpret_cast<EFI_COMPONENT_NAME_PROTOCOL *>(This),
           ControllerHandle,
           ChildHandle,
           Language,
           ControllerName
           );
}

} // namespace

EFI_COMPONENT_NAME_PROTOCOL  gNfcKeyboardComponentName = {
  NfcKeyboardGetDriverName,
  NfcKeyboardGetControllerName,
  mLanguageIso639
};

EFI_COMPONENT_NAME2_PROTOCOL  gNfcKeyboardComponentName2 = {
  NfcKeyboardGetDriverName2,
  NfcKeyboardGetControllerName2,
  mLanguageRfc4646
};
