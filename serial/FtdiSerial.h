/** @file
  The FT232 adapter record, the chip's vendor request codes and the routines the
  driver's files share.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/
#ifndef FTDI_SERIAL_H_
#define FTDI_SERIAL_H_

extern "C" {
#include <Uefi.h>
#include <Protocol/UsbIo.h>
#include <Protocol/SerialIo.h>
#include <Protocol/DevicePath.h>
#include <Protocol/DriverBinding.h>
#include <Protocol/ComponentName.h>
#include <Protocol/ComponentName2.h>
#include <Protocol/LoadedImage.h>
#include <Guid/PcAnsi.h>
#include <Library/UefiBootServicesTableLib.h>
#include <Library/UefiLib.h>
#include <Library/BaseLib.h>
#include <Library/BaseMemoryLib.h>
#include <Library/MemoryAllocationLib.h>
#include <Library/DevicePathLib.h>
}

#include <TickWitness.h>
#include <TplGuard.h>

#include "DebugLog.h"

#define FTDI_SERIAL_DEVICE_SIGNATURE  SIGNATURE_32 ('u', 's', 'b', 's')

// Vendor requests of the FT232 (RequestType 0x40, Index 1, Length 0).
#define FTDI_REQUEST_TYPE_VENDOR_OUT  0x40
#define FTDI_REQUEST_RESET            0
#define FTDI_REQUEST_MODEM_CTRL       1
#define FTDI_REQUEST_FLOW_CTRL        2
#define FTDI_REQUEST_SET_BAUD_RATE    3
#define FTDI_REQUEST_SET_DATA         4
#define FTDI_REQUEST_INDEX            1

#define FTDI_PURGE_RX                 1
#define FTDI_PURGE_TX                 2
#define FTDI_SET_DTR_HIGH             0x0101
#define FTDI_SET_DTR_LOW              0x0100
#define FTDI_SET_RTS_HIGH             0x0202
#define FTDI_SET_RTS_LOW              0x0200
#define FTDI_FLOW_CTRL_RTS_CTS        4
#define FTDI_FLOW_CTRL_NONE           0

#define FTDI_TIMEOUT_CONTROL          5000
#define FTDI_TIMEOUT_LINE             1000
#define FTDI_TIMEOUT_BULK_OUT         16
#define FTDI_TIMEOUT_BULK_IN          32
#define FTDI_TIMEOUT_FIRST_STATUS     40

#define FTDI_STATUS_SIZE              2
#define FTDI_PACKET_BUFFER_SIZE       512
#define FTDI_RING_SIZE                1024
#define FTDI_RING_MASK                (FTDI_RING_SIZE - 1)

#define FTDI_BULK_IN_ADDRESS          0x81
#define FTDI_BULK_OUT_ADDRESS         0x02

#define FTDI_DEFAULT_BAUD             115200
#define FTDI_DEFAULT_FIFO_DEPTH       384
#define FTDI_DEFAULT_TIMEOUT          16
#define FTDI_POLL_PERIOD_100NS        5000000

#define FTDI_CONTROL_SETTABLE         0x7003

typedef struct {
  UINT64    BaudRate;
  UINT32    ReceiveFifoDepth;
  UINT32    Timeout;
  UINT32    Parity;
  UINT8     DataBits;
  UINT32    StopBits;
} SERIAL_ATTRIBUTES;

typedef struct {
  BOOLEAN    HardwareFlowControl;
  BOOLEAN    DtrOn;
  BOOLEAN    RtsOn;
  BOOLEAN    HardwareLoopback;
  BOOLEAN    SoftwareLoopback;
} LINE_CONTROL;

typedef struct {
  BOOLEAN    Cts;
  BOOLEAN    Dsr;
  BOOLEAN    Ri;
  BOOLEAN    Dcd;
} MODEM_STATUS;

#pragma pack(1)
// The two templates sit back to back, so the child path's nodes are copied as laid out here.
typedef struct {
  UART_DEVICE_PATH                 Uart;
  UART_FLOW_CONTROL_DEVICE_PATH    FlowControl;
} FTDI_NODE_TEMPLATES;
#pragma pack()

typedef struct {
  UINTN                           Signature;
  EFI_HANDLE                      ChildHandle;
  EFI_DEVICE_PATH_PROTOCOL        *ChildDevicePath;
  EFI_DEVICE_PATH_PROTOCOL        *AdapterDevicePath;
  UART_DEVICE_PATH                UartNode;
  UART_FLOW_CONTROL_DEVICE_PATH   FlowControlNode;
  EFI_USB_IO_PROTOCOL             *UsbIo;
  EFI_USB_INTERFACE_DESCRIPTOR    InterfaceDescriptor;
  EFI_USB_ENDPOINT_DESCRIPTOR     BulkInEndpoint;
  EFI_USB_ENDPOINT_DESCRIPTOR     BulkOutEndpoint;
  EFI_UNICODE_STRING_TABLE        *ControllerNameTable;
  UINT32                          RingHead;
  UINT32                          RingTail;
  UINT8                           *Ring;
  EFI_SERIAL_IO_PROTOCOL          SerialIo;
  EFI_SERIAL_IO_MODE              SerialMode;
  BOOLEAN                         DeviceFailed;
  EFI_EVENT                       PollTimer;
  TICK_WITNESS                    PollClock;
  BOOLEAN                         ControlAsked;
  UINT32                          ControlStatus;
  SERIAL_ATTRIBUTES               LastAttributes;
  LINE_CONTROL                    LineControl;
  MODEM_STATUS                    ModemStatus;
  UINT8                           PacketBuffer[FTDI_PACKET_BUFFER_SIZE];
} FTDI_SERIAL_DEVICE;

static_assert (sizeof (UART_DEVICE_PATH) == 19, "the UART node is 19 bytes on the path");
static_assert (sizeof (UART_FLOW_CONTROL_DEVICE_PATH) == 24, "the flow-control node is 24 bytes on the path");
static_assert (sizeof (FTDI_NODE_TEMPLATES) == 43, "no gap between the node templates");
static_assert (
  OFFSET_OF (FTDI_SERIAL_DEVICE, FlowControlNode) == OFFSET_OF (FTDI_SERIAL_DEVICE, UartNode) + sizeof (UART_DEVICE_PATH),
  "the flow-control template follows the UART template directly"
  );
static_assert (sizeof (EFI_USB_DEVICE_REQUEST) == 8, "a setup packet is 8 bytes");
static_assert (FTDI_SERIAL_DEVICE_SIGNATURE == 0x73627375, "'u','s','b','s', first character lowest");

// The containing-record idiom once, typed, so call sites carry no macro and no cast.
inline FTDI_SERIAL_DEVICE *
FtdiFromSerialIo (
  EFI_SERIAL_IO_PROTOCOL  *This
  )
{
  return BASE_CR (This, FTDI_SERIAL_DEVICE, SerialIo);
}


inline BOOLEAN
FtdiRingEmpty (
  CONST FTDI_SERIAL_DEVICE  *Device
  )
{
  return (BOOLEAN)(Device->RingHead == Device->RingTail);
}

// FtdiRequests.cpp
EFI_STATUS
FtdiComputeDivisor (
  IN  UINT64  BaudRate,
  OUT UINT16  *Divisor
  );

EFI_STATUS
FtdiSetLineProperties (
  IN EFI_USB_IO_PROTOCOL      *UsbIo,
  IN UINT8                    DataBits,
  IN EFI_PARITY_TYPE          Parity,
  IN EFI_STOP_BITS_TYPE       StopBits,
  IN CONST SERIAL_ATTRIBUTES  *Last
  );

EFI_STATUS
FtdiSetBaudRate (
  IN EFI_USB_IO_PROTOCOL  *UsbIo,
  IN UINT64               BaudRate,
  IN UINT64               Fallback
  );

EFI_STATUS
FtdiVendorRequest (
  IN EFI_USB_IO_PROTOCOL     *UsbIo,
  IN UINT8                   Request,
  IN UINT16                  Value,
  IN UINT32                  Timeout
  );

EFI_STATUS
SetAttributesInternal (
  IN FTDI_SERIAL_DEVICE  *Device,
  IN UINT64              BaudRate,
  IN UINT32              ReceiveFifoDepth,
  IN UINT32              Timeout,
  IN EFI_PARITY_TYPE     Parity,
  IN UINT8               DataBits,
  IN EFI_STOP_BITS_TYPE  StopBits
  );

EFI_STATUS
SetControlBitsInternal (
  IN FTDI_SERIAL_DEVICE  *Device,
  IN LINE_CONTROL        *Control
  );

// FtdiTransfer.cpp
EFI_STATUS
FtdiBulkTransfer (
  IN     FTDI_SERIAL_DEVICE  *Device,
  IN     BOOLEAN             Write,
  IN OUT VOID                *Buffer,
  IN OUT UINTN               *Length,
  IN     UINTN               Timeout
  );

EFI_STATUS
FtdiDecodeModemStatus (
  IN FTDI_SERIAL_DEVICE  *Device,
  IN CONST UINT8         *Status
  );

EFI_STATUS
FtdiReceivePacket (
  IN     FTDI_SERIAL_DEVICE  *Device,
  IN OUT UINTN               *Count,
  OUT    UINT8               *Destination OPTIONAL
  );

VOID
EFIAPI
FtdiPollNotify (
  IN EFI_EVENT  Event,
  IN VOID       *Context
  );

/**
  Moves what the chip holds into an empty ring. Runs where the clock is known to run:
  from the idle loop, or after the witness saw a tick.

  @param[in] Context  The FTDI_SERIAL_DEVICE.
**/
VOID
FtdiPollRefill (
  IN VOID  *Context
  );

// SerialIo.cpp
extern CONST EFI_SERIAL_IO_PROTOCOL  mFtdiSerialIoTemplate;

// Driver.cpp
extern EFI_DRIVER_BINDING_PROTOCOL   gUsbSerialDriverBinding;

/**
  Finds the child this driver made for a controller.

  @param[in]  ControllerHandle  The adapter's USB handle.
  @param[out] Child             The child, or NULL when the driver made none.

  @return The status of reading the USB I/O's open information.
**/
EFI_STATUS
FindChildOf (
  IN  EFI_HANDLE  ControllerHandle,
  OUT EFI_HANDLE  *Child
  );

extern "C" EFI_STATUS
EFIAPI
UsbSerialDriverEntryPoint (
  IN EFI_HANDLE        ImageHandle,
  IN EFI_SYSTEM_TABLE  *SystemTable
  );

EFI_STATUS
EFIAPI
OstrelUnload (
  IN EFI_HANDLE  ImageHandle
  );

// ComponentName.cpp
extern CHAR8                         mLanguageIso639[];
extern CHAR8                         mLanguageRfc4646[];
extern EFI_COMPONENT_NAME_PROTOCOL   gUsbSerialComponentName;
extern EFI_COMPONENT_NAME2_PROTOCOL  gUsbSerialComponentName2;

#endif
