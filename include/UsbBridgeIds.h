/** @file
  The USB-serial bridges the serial drivers bind, by USB ID, and the CDC ACM classes,
  which are bound by class: one table that the drivers and the setup tool share.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#ifndef USB_BRIDGE_IDS_H_
#define USB_BRIDGE_IDS_H_

#include <Char16.h>

// The request families; a chip module serves one.
enum USB_BRIDGE_KIND {
  UsbBridgeFtdi,
  UsbBridgeCp210x,
  UsbBridgeCh340,
  UsbBridgePl2303,
  UsbBridgeCdcAcm
};

struct USB_BRIDGE_ID {
  UINT16             VendorId;
  UINT16             ProductId;
  USB_BRIDGE_KIND    Kind;
  // Only this interface of a multi-port chip is bound (its first port).
  UINT8              Interface;
  CONST CHAR16       *Bridge;    // what the setup tool calls it
};

// The first row is the FT232, which OstrelDriver alone binds; the other driver takes the rest.
constexpr USB_BRIDGE_ID  gUsbBridgeIds[] = {
  { 0x0403, 0x6001, UsbBridgeFtdi,   0, CHAR16_TEXT (u"FT232")         },
  { 0x0403, 0x6015, UsbBridgeFtdi,   0, CHAR16_TEXT (u"FT-X")          },
  { 0x0403, 0x6014, UsbBridgeFtdi,   0, CHAR16_TEXT (u"FT232H")        },
  { 0x0403, 0x6010, UsbBridgeFtdi,   0, CHAR16_TEXT (u"FT2232 port A") },
  { 0x0403, 0x6011, UsbBridgeFtdi,   0, CHAR16_TEXT (u"FT4232 port A") },
  { 0x10C4, 0xEA60, UsbBridgeCp210x, 0, CHAR16_TEXT (u"CP210x")        },
  { 0x1A86, 0x7523, UsbBridgeCh340,  0, CHAR16_TEXT (u"CH340")         },
  { 0x1A86, 0x5523, UsbBridgeCh340,  0, CHAR16_TEXT (u"CH341")         },
  { 0x067B, 0x2303, UsbBridgePl2303, 0, CHAR16_TEXT (u"PL2303")        },
};

// Whether a row of the given kind names the device and the interface, skipping the
// FT232's row unless Ft232 asks for it alone (OstrelDriver's).
constexpr BOOLEAN
UsbBridgeIdMatches (
  USB_BRIDGE_KIND  Kind,
  UINT16           VendorId,
  UINT16           ProductId,
  UINT8            Interface,
  BOOLEAN          Ft232 = FALSE
  )
{
  for (UINTN Index = 0; Index < sizeof (gUsbBridgeIds) / sizeof (gUsbBridgeIds[0]); Index++) {
    CONST USB_BRIDGE_ID  &Id = gUsbBridgeIds[Index];
    if ((Id.Kind == Kind) && (Id.VendorId == VendorId) && (Id.ProductId == ProductId) &&
        (Id.Interface == Interface) && ((Index == 0) == (Ft232 != FALSE)))
    {
      return TRUE;
    }
  }

  return FALSE;
}

// A CDC ACM device is bound by its interfaces' classes, whatever its IDs: the data
// interface (class 0x0A) that a communication interface of the abstract control model
// (class 0x02, subclass 0x02) names as its own.
#define USB_CDC_COMM_CLASS    0x02
#define USB_CDC_ACM_SUBCLASS  0x02
#define USB_CDC_DATA_CLASS    0x0A
constexpr auto  gUsbCdcAcmBridge = Char16 (u"CDC ACM");

#endif
