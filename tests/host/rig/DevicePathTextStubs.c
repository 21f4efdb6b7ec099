/** @file
  The text conversions UefiDevicePathLib refers to. Neither driver converts a device path
  to or from text, so their tests link these empty ones.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/
#include <Uefi.h>
#include <Protocol/DevicePath.h>

CHAR16 *EFIAPI UefiDevicePathLibConvertDevicePathToText (CONST EFI_DEVICE_PATH_PROTOCOL *P, BOOLEAN D, BOOLEAN A) { (VOID)P; (VOID)D; (VOID)A; return NULL; }
CHAR16 *EFIAPI UefiDevicePathLibConvertDeviceNodeToText (CONST EFI_DEVICE_PATH_PROTOCOL *P, BOOLEAN D, BOOLEAN A) { (VOID)P; (VOID)D; (VOID)A; return NULL; }
EFI_DEVICE_PATH_PROTOCOL *EFIAPI UefiDevicePathLibConvertTextToDeviceNode (CONST CHAR16 *T) { (VOID)T; return NULL; }
EFI_DEVICE_PATH_PROTOCOL *EFIAPI UefiDevicePathLibConvertTextToDevicePath (CONST CHAR16 *T) { (VOID)T; return NULL; }
