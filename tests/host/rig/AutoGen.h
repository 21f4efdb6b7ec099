/** @file
  Stands in for the AutoGen.h that EDK II's build generates: the fixed PCD values
  the library sources read, at their MdePkg defaults.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/
#ifndef HOST_AUTOGEN_H_
#define HOST_AUTOGEN_H_

#define _PCD_GET_MODE_32_PcdMaximumAsciiStringLength     1000000U
#define _PCD_GET_MODE_32_PcdMaximumUnicodeStringLength   1000000U
#define _PCD_GET_MODE_32_PcdMaximumLinkedListLength      1000000U
#define _PCD_GET_MODE_32_PcdMaximumDevicePathNodeCount   0U
#define _PCD_GET_MODE_32_PcdUefiLibMaxPrintBufferSize    320U
#define _PCD_GET_MODE_32_PcdUsbTransferTimeoutValue      3000U
#define _PCD_GET_MODE_BOOL_PcdVerifyNodeInList           ((BOOLEAN)(0==1))
#define _PCD_GET_MODE_BOOL_PcdComponentNameDisable       ((BOOLEAN)(0==1))
#define _PCD_GET_MODE_BOOL_PcdComponentName2Disable      ((BOOLEAN)(0==1))
#define _PCD_GET_MODE_BOOL_PcdDriverDiagnosticsDisable   ((BOOLEAN)(0==1))
#define _PCD_GET_MODE_BOOL_PcdDriverDiagnostics2Disable  ((BOOLEAN)(0==1))
#define _PCD_GET_MODE_BOOL_PcdUgaConsumeSupport          ((BOOLEAN)(1==1))

#endif
