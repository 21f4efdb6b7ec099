/** @file
  The UART and flow-control nodes a serial line's device path ends in, read the one way
  the serial drivers, the keyboard and the setup tool all read them.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#ifndef UART_PATH_H_
#define UART_PATH_H_

extern "C" {
#include <Uefi.h>
#include <Protocol/DevicePath.h>
#include <Guid/PcAnsi.h>
#include <Library/BaseLib.h>
#include <Library/BaseMemoryLib.h>
#include <Library/DevicePathLib.h>
}

static_assert (sizeof (UART_FLOW_CONTROL_DEVICE_PATH) == 24, "the flow-control node is 24 bytes on the path");
static_assert (OFFSET_OF (UART_FLOW_CONTROL_DEVICE_PATH, FlowControlMap) == 20, "the map follows the GUID");

// Whether Node is a UART node of its full size.
inline
BOOLEAN
UartPathIsUartNode (
  IN CONST EFI_DEVICE_PATH_PROTOCOL  *Node
  )
{
  return (BOOLEAN)((DevicePathType (Node) == MESSAGING_DEVICE_PATH) && (DevicePathSubType (Node) == MSG_UART_DP) &&
                   (DevicePathNodeLength (Node) == sizeof (UART_DEVICE_PATH)));
}

// Whether Node is a UART flow-control node: a vendor node with the UART GUID, as EDK II's
// serial and terminal drivers take one. The map is read behind the GUID, so a shorter
// node is never taken for one.
inline
BOOLEAN
UartPathIsFlowControlNode (
  IN CONST EFI_DEVICE_PATH_PROTOCOL  *Node
  )
{
  return (BOOLEAN)((DevicePathType (Node) == MESSAGING_DEVICE_PATH) && (DevicePathSubType (Node) == MSG_VENDOR_DP) &&
                   (DevicePathNodeLength (Node) >= sizeof (UART_FLOW_CONTROL_DEVICE_PATH)) &&
                   CompareGuid (&reinterpret_cast<CONST VENDOR_DEVICE_PATH *>(Node)->Guid, &gEfiUartDevicePathGuid));
}

// The flow-control map of a node UartPathIsFlowControlNode took.
inline
UINT32
UartPathFlowControlMap (
  IN CONST EFI_DEVICE_PATH_PROTOCOL  *Node
  )
{
  return ReadUnaligned32 (
                          reinterpret_cast<CONST UINT32 *>(
                                                           reinterpret_cast<CONST UINT8 *>(Node) + OFFSET_OF (UART_FLOW_CONTROL_DEVICE_PATH, FlowControlMap))
                          );
}

// Whether any node of Path, up to its end node, is a flow-control node. A node too short
// to be one ends the walk, as a zero-length node would never reach the end.
inline
BOOLEAN
UartPathHasFlowControlNode (
  IN CONST EFI_DEVICE_PATH_PROTOCOL  *Path
  )
{
  for (CONST EFI_DEVICE_PATH_PROTOCOL *Node = Path; !IsDevicePathEnd (Node); Node = NextDevicePathNode (Node)) {
    if (UartPathIsFlowControlNode (Node)) {
      return TRUE;
    }

    if (DevicePathNodeLength (Node) < sizeof (EFI_DEVICE_PATH_PROTOCOL)) {
      return FALSE;
    }
  }

  return FALSE;
}

// Whether a path from any driver ends in a flow-control node, as a serial line's (and
// the keyboard's on it) does. The path is walked only once it is known to end.
inline
BOOLEAN
UartPathEndsInFlowControl (
  IN CONST EFI_DEVICE_PATH_PROTOCOL  *Path
  )
{
  if ((Path == NULL) || !IsDevicePathValid (Path, 0)) {
    return FALSE;
  }

  CONST EFI_DEVICE_PATH_PROTOCOL  *Last = NULL;

  for (CONST EFI_DEVICE_PATH_PROTOCOL *Node = Path; !IsDevicePathEnd (Node); Node = NextDevicePathNode (Node)) {
    Last = Node;
  }

  return (BOOLEAN)((Last != NULL) && UartPathIsFlowControlNode (Last));
}

#endif
