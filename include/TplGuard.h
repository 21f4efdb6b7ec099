/** @file
  A TPL raise that restores itself, shared by the package's drivers.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#ifndef TPL_GUARD_H_
#define TPL_GUARD_H_

extern "C" {
#include <Uefi.h>
#include <Library/UefiBootServicesTableLib.h>
}

// Raises the TPL for one scope and restores it on every way out.
// *INDENT-OFF*
class TplGuard {
public:
  /**
    @param[in] Tpl  At or above the caller's TPL; the core asserts on a lower one.
  **/
  explicit TplGuard (EFI_TPL Tpl) : mOld (gBS->RaiseTPL (Tpl)) {}
  ~TplGuard () { gBS->RestoreTPL (mOld); }
  TplGuard (const TplGuard &) = delete;
  TplGuard &operator= (const TplGuard &) = delete;

private:
  EFI_TPL    mOld;
};
// *INDENT-ON*

#endif
