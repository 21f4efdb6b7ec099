/** @file
  The driver's name table and the two name protocols.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/
#include "NfcKeyboard.h"

#include <Char16.h>
#include <NfcKeyboardNames.h>

CONST CHAR8  mLanguageIso639[]  = "eng";
CONST CHAR8  mLanguageRfc4646[] = "en";

namespace {
constexpr CHAR8  mLanguagesBoth[] = "eng;en";

constexpr auto  mDriverName = Char16 (NFC_KEYBOARD_DRIVER_NAME);

EFI_UNICODE_STRING_TABLE  mDriverNameTable[] = {
  { const_cast<CHAR8 *>(mLanguagesBoth), const_cast<CHAR16 *>(mDriverName.Text) },
  { NULL,                                NULL                                   }
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
  const_cast<CHAR8 *>(mLanguageIso639)
};

EFI_COMPONENT_NAME2_PROTOCOL  gNfcKeyboardComponentName2 = {
  NfcKeyboardGetDriverName2,
  NfcKeyboardGetControllerName2,
  const_cast<CHAR8 *>(mLanguageRfc4646)
};
