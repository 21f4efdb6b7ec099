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
#include <Library/UefiUsbLib.h>
}

#include <TickWitness.h>
#include <UsbBridgeIds.h>
#include <TplGuard.h>

#include "DebugLog.h"

#define FTDI_SERIAL_DEVICE_SIGNATURE  SIGNATURE_32 ('u', 's', 'b', 's')

// Vendor requests of the FT232 (RequestType 0x40, Length 0). wIndex names the port (1,
// the only one) except where a request gives it a meaning of its own: SET_BAUD_RATE takes
// the divisor's bit 16 from it, SET_FLOW_CTRL the handshake from its high byte.
#define FTDI_REQUEST_TYPE_VENDOR_OUT  0x40
#define FTDI_REQUEST_RESET            0
#define FTDI_REQUEST_MODEM_CTRL       1
#define FTDI_REQUEST_FLOW_CTRL        2
#define FTDI_REQUEST_SET_BAUD_RATE    3
#define FTDI_REQUEST_SET_DATA         4
#define FTDI_REQUEST_INDEX            1

#define FTDI_PURGE_RX           1
#define FTDI_PURGE_TX           2
#define FTDI_SET_DTR_HIGH       0x0101
#define FTDI_SET_DTR_LOW        0x0100
#define FTDI_SET_RTS_HIGH       0x0202
#define FTDI_SET_RTS_LOW        0x0200
#define FTDI_FLOW_CTRL_RTS_CTS  0x0100
#define FTDI_FLOW_CTRL_NONE     0

#define FTDI_TIMEOUT_CONTROL   5000
#define FTDI_TIMEOUT_LINE      1000
#define FTDI_TIMEOUT_BULK_OUT  16
// The FT232R's transmit buffer, which the line must drain before a packet finds room.
#define FTDI_CHIP_TX_BUFFER   128
#define FTDI_TIMEOUT_BULK_IN  32
// A look a terminal asks for on each of its ticks gives up at the next firmware tick: it
// would otherwise hold every other console's notify for a whole bulk-IN timeout each time.
// The chip sends what it holds when its latency timer (16 ms) runs out and keeps it until
// a look comes, so nothing is lost; the poll's own look, once a period, waits long enough
// for the status pair and so refreshes the modem lines.
#define FTDI_TIMEOUT_REFILL        2
#define FTDI_TIMEOUT_FIRST_STATUS  40

#define FTDI_STATUS_SIZE          2
#define FTDI_LANGUAGE_ENGLISH_US  0x0409
#define FTDI_PACKET_BUFFER_SIZE   512
#define FTDI_RING_SIZE            1024
#define FTDI_RING_MASK            (FTDI_RING_SIZE - 1)

#define FTDI_BULK_IN_ADDRESS   0x81
#define FTDI_BULK_OUT_ADDRESS  0x02

#define FTDI_DEFAULT_BAUD  115200
// The receive depth and read timeout a zero asks for; a depth up to what the ring holds
// and a timeout within the range UEFI gives may be set.
#define FTDI_DEFAULT_FIFO_DEPTH  384
#define FTDI_MAX_FIFO_DEPTH      (FTDI_RING_SIZE - 1)
#define FTDI_DEFAULT_TIMEOUT     1000000
#define FTDI_MIN_TIMEOUT         1
#define FTDI_MAX_TIMEOUT         100000000
#define FTDI_POLL_PERIOD_100NS   5000000

// DTR, RTS and hardware flow control can be set; the chip has no loopback.
#define FTDI_CONTROL_SETTABLE  0x4003
// What GetControl can report: the settable bits, the modem lines and both buffer bits.
#define FTDI_CONTROL_MASK  0x43F3

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

struct USB_SERIAL_CHIP;

typedef struct {
  UINTN                            Signature;
  CONST USB_SERIAL_CHIP            *Chip;
  // The interface the chip's requests name: the bound one, or a CDC device's
  // communication interface, which a chip module's Open finds.
  UINT8                            RequestInterface;
  // What a chip module's Open learnt of the chip (its version, say) for its requests.
  UINT16                           ChipVariant;
  EFI_HANDLE                       ChildHandle;
  EFI_DEVICE_PATH_PROTOCOL         *ChildDevicePath;
  EFI_DEVICE_PATH_PROTOCOL         *AdapterDevicePath;
  UART_DEVICE_PATH                 UartNode;
  UART_FLOW_CONTROL_DEVICE_PATH    FlowControlNode;
  EFI_DEVICE_PATH_PROTOCOL         NodesEnd;
  EFI_USB_IO_PROTOCOL              *UsbIo;
  EFI_USB_INTERFACE_DESCRIPTOR     InterfaceDescriptor;
  EFI_USB_ENDPOINT_DESCRIPTOR      BulkInEndpoint;
  EFI_USB_ENDPOINT_DESCRIPTOR      BulkOutEndpoint;
  EFI_UNICODE_STRING_TABLE         *ControllerNameTable;
  UINT32                           RingHead;
  UINT32                           RingTail;
  UINT8                            *Ring;
  EFI_SERIAL_IO_PROTOCOL           SerialIo;
  EFI_SERIAL_IO_MODE               SerialMode;
  BOOLEAN                          DeviceFailed;
  // Bulk endpoints whose halt the chip would not clear; Reset clears them.
  BOOLEAN                          InHalted;
  BOOLEAN                          OutHalted;
  EFI_EVENT                        PollTimer;
  TICK_WITNESS                     PollClock;
  BOOLEAN                          ControlAsked;
  BOOLEAN                          PollLook;      // the next refill is the poll's own look
  // GetControl reported input waiting: the consumer reads until the ring runs dry, from
  // wherever it asked (a terminal's timer notify, inside the timer interrupt), so the
  // read that finds it dry must not go to the chip.
  BOOLEAN                          DrainOnly;
  UINT32                           ControlStatus;
  SERIAL_ATTRIBUTES                LastAttributes;
  LINE_CONTROL                     LineControl;
  MODEM_STATUS                     ModemStatus;
  UINT8                            PacketBuffer[FTDI_PACKET_BUFFER_SIZE];
} FTDI_SERIAL_DEVICE;

// UEFI fixes these layouts byte for byte on every arch; nodes sit on a path at any
// address, so their wider fields are read and written through the Unaligned routines.
static_assert (sizeof (EFI_DEVICE_PATH_PROTOCOL) == 4, "type, subtype and a two-byte length");
static_assert (sizeof (UART_DEVICE_PATH) == 19, "the UART node is 19 bytes on the path");
static_assert (OFFSET_OF (UART_DEVICE_PATH, BaudRate) == 8, "the rate follows the reserved word");
static_assert (sizeof (UART_FLOW_CONTROL_DEVICE_PATH) == 24, "the flow-control node is 24 bytes on the path");
static_assert (OFFSET_OF (UART_FLOW_CONTROL_DEVICE_PATH, FlowControlMap) == 20, "the map follows the GUID");
static_assert (sizeof (FTDI_NODE_TEMPLATES) == 43, "no gap between the node templates");
static_assert (
               OFFSET_OF (FTDI_SERIAL_DEVICE, FlowControlNode) == OFFSET_OF (FTDI_SERIAL_DEVICE, UartNode) + sizeof (UART_DEVICE_PATH),
               "the flow-control template follows the UART template directly"
               );
static_assert (
               OFFSET_OF (FTDI_SERIAL_DEVICE, NodesEnd) == OFFSET_OF (FTDI_SERIAL_DEVICE, FlowControlNode) + sizeof (UART_FLOW_CONTROL_DEVICE_PATH),
               "an end node closes the two templates, so they append to the adapter's path as one path"
               );
static_assert (sizeof (EFI_USB_DEVICE_REQUEST) == 8, "a setup packet is 8 bytes");
static_assert (sizeof (EFI_USB_DEVICE_DESCRIPTOR) == 18, "descriptors are kept as the device sends them");
static_assert (sizeof (EFI_USB_INTERFACE_DESCRIPTOR) == 9, "descriptors are kept as the device sends them");
static_assert (sizeof (EFI_USB_ENDPOINT_DESCRIPTOR) == 7, "descriptors are kept as the device sends them");
// The keyboard driver reads the mode another driver fills, so both must see one layout.
static_assert (sizeof (EFI_SERIAL_IO_MODE) == 32, "six 32-bit fields and the 64-bit rate");
static_assert (OFFSET_OF (EFI_SERIAL_IO_MODE, BaudRate) == 8, "the rate after ControlMask and Timeout");
static_assert (FTDI_SERIAL_DEVICE_SIGNATURE == 0x73627375, "'u','s','b','s', first character lowest");

// What sets one bridge chip apart from another: how it is recognised, the requests that
// program its line, and the layout of its bulk-IN packets. The ring, the transfers, the
// Serial I/O, the binding and the child's path are the same for every chip. Each call
// but Matches runs at TPL_NOTIFY on a started adapter.
struct USB_SERIAL_CHIP {
  // The controller's name, as the name protocols give it.
  CONST CHAR16    *Name;

  // Whether the device, and the interface the USB I/O stands for, are this chip's. Runs
  // from Supported with the USB I/O open; it may read descriptors, strings included.
  BOOLEAN         (*Matches)(
    EFI_USB_IO_PROTOCOL                 *UsbIo,
    CONST EFI_USB_DEVICE_DESCRIPTOR     *DeviceDescriptor,
    CONST EFI_USB_INTERFACE_DESCRIPTOR  *InterfaceDescriptor
    );

  // Readies the chip once the endpoints are known and before the line is first set:
  // enables its UART, reads its version, finds its request interface. NULL when the
  // chip needs nothing. An error ends Start.
  EFI_STATUS    (*Open)(
    FTDI_SERIAL_DEVICE  *Device
    );

  // Whether the chip runs this rate and framing. The core has checked every field
  // against the Serial I/O ranges (data bits 5 to 8, the enums, 1.5 stop bits only with
  // five data bits) before it asks.
  BOOLEAN       (*LineValid)(
    CONST SERIAL_ATTRIBUTES  *Attributes
    );

  // Sends rate and framing that LineValid took; Device->LastAttributes still holds the
  // old ones. EFI_DEVICE_ERROR when a request failed.
  EFI_STATUS    (*SetLine)(
    FTDI_SERIAL_DEVICE       *Device,
    CONST SERIAL_ATTRIBUTES  *New
    );

  // Sends flow control, DTR and RTS (the loopback flags are always clear).
  // EFI_DEVICE_ERROR when a request failed.
  EFI_STATUS    (*SetLines)(
    FTDI_SERIAL_DEVICE  *Device,
    CONST LINE_CONTROL  *Control
    );

  // Empties the chip's receive and transmit buffers. EFI_DEVICE_ERROR when it refused.
  EFI_STATUS    (*Purge)(
    FTDI_SERIAL_DEVICE  *Device
    );

  // Reads the modem lines into Device->ModemStatus by a request, from the poll's own
  // look; NULL when each bulk-IN packet's header carries them (PacketHeader > 0).
  EFI_STATUS    (*ReadModemStatus)(
    FTDI_SERIAL_DEVICE  *Device
    );

  // Status bytes heading every bulk-IN packet, which Read never hands out.
  UINT8         PacketHeader;
  // The bulk endpoints the chip must have, or 0 for the interface's first of each kind.
  UINT8         BulkInAddress;
  UINT8         BulkOutAddress;
  // What SetControl may set, and what GetControl may report (as FTDI_CONTROL_*).
  UINT32        ControlSettable;
  UINT32        ControlMask;
};

// The chips this image binds, NULL-terminated; an image keeps its own list.
extern CONST USB_SERIAL_CHIP *CONST  gSerialChips[];
// This image's name in its log lines and the driver name its name protocols give.
extern CONST CHAR8                           gSerialImageName[];
extern CONST CHAR16                  *CONST  gSerialDriverName;

// Every bridge chip's control transfer: RequestType, Request, Value and Index as the chip
// documents them, Length bytes of Data in the direction RequestType's top bit gives (none
// for 0), within Timeout milliseconds. EFI_DEVICE_ERROR when the transfer failed, the
// chip's stall included.
EFI_STATUS
UsbSerialControlWithin (
  IN     EFI_USB_IO_PROTOCOL  *UsbIo,
  IN     UINT8                RequestType,
  IN     UINT8                Request,
  IN     UINT16               Value,
  IN     UINT16               Index,
  IN OUT VOID                 *Data,
  IN     UINT16               Length,
  IN     UINT32               Timeout
  );

// UsbSerialControlWithin with the control timeout, as the chips' requests take it.
EFI_STATUS
UsbSerialControl (
  IN     EFI_USB_IO_PROTOCOL  *UsbIo,
  IN     UINT8                RequestType,
  IN     UINT8                Request,
  IN     UINT16               Value,
  IN     UINT16               Index,
  IN OUT VOID                 *Data,
  IN     UINT16               Length
  );

// The chip modules: the FT232 (0403:6001) alone, the FT232's kin, and the other bridges.
extern CONST USB_SERIAL_CHIP  gFtdiChip;
extern CONST USB_SERIAL_CHIP  gFtdiKinChip;
extern CONST USB_SERIAL_CHIP  gCp210xChip;
extern CONST USB_SERIAL_CHIP  gCh340Chip;
extern CONST USB_SERIAL_CHIP  gPl2303Chip;
extern CONST USB_SERIAL_CHIP  gCdcAcmChip;

// The containing-record idiom once, typed, so call sites carry no macro and no cast.
// The signature is not checked: pass only a Serial I/O this driver installed.
inline FTDI_SERIAL_DEVICE *
FtdiFromSerialIo (
  EFI_SERIAL_IO_PROTOCOL  *This
  )
{
  return BASE_CR (This, FTDI_SERIAL_DEVICE, SerialIo);
}

/**
  Whether the receive ring holds no byte. Read and the poll move RingHead and RingTail,
  so the answer holds only at TPL_NOTIFY or from the poll itself.

  @param[in] Device  The adapter.

  @retval TRUE   Nothing buffered: the next Read goes to the chip.
  @retval FALSE  Read answers from the ring first.
**/
inline BOOLEAN
FtdiRingEmpty (
  CONST FTDI_SERIAL_DEVICE  *Device
  )
{
  return (BOOLEAN)(Device->RingHead == Device->RingTail);
}

// FtdiRequests.cpp

/**
  Finds the divisor word for a baud rate: 3 and 2 Mbaud have words of their own, every
  other rate the nearest divisor in sixteenths the chip can run, if that comes within
  about 3 % of the rate asked.

  @param[in]  BaudRate  The rate asked for; 0 is not a default here.
  @param[out] Divisor   The word for the SET_BAUD_RATE request; untouched on failure.

  @retval EFI_SUCCESS            *Divisor is valid.
  @retval EFI_INVALID_PARAMETER  0, above 3092783, or no divisor close enough.
**/
EFI_STATUS
FtdiComputeDivisor (
  IN  UINT64  BaudRate,
  OUT UINT16  *Divisor
  );

/**
  Sends the line word (data bits, parity, stop bits). A value left at its default
  (0, DefaultParity, DefaultStopBits) is taken from Last; Last itself is not updated.
  A parity or stop-bits value the word has no code for goes out as none / one.

  @param[in] UsbIo     The adapter's USB I/O.
  @param[in] DataBits  5 to 8, or 0 for Last's.
  @param[in] Parity    The parity, or DefaultParity for Last's.
  @param[in] StopBits  The stop bits, or DefaultStopBits for Last's.
  @param[in] Last      The settings in force.

  @retval EFI_SUCCESS            The chip took the word.
  @retval EFI_INVALID_PARAMETER  DataBits outside 5..8, or 1.5 stop bits with 6 to 8
                                 data bits after the defaults are filled in; nothing sent.
  @retval EFI_DEVICE_ERROR       The request failed.
**/
EFI_STATUS
FtdiSetLineProperties (
  IN EFI_USB_IO_PROTOCOL      *UsbIo,
  IN UINT8                    DataBits,
  IN EFI_PARITY_TYPE          Parity,
  IN EFI_STOP_BITS_TYPE       StopBits,
  IN CONST SERIAL_ATTRIBUTES  *Last
  );

/**
  Sends the divisor for a baud rate. Raises to TPL_NOTIFY for the request.

  @param[in] UsbIo     The adapter's USB I/O.
  @param[in] BaudRate  The rate, or 0 for Fallback.
  @param[in] Fallback  The rate in force.

  @retval EFI_SUCCESS            The chip took the divisor.
  @retval EFI_INVALID_PARAMETER  Below 178 baud or not a rate the chip can run (see
                                 FtdiComputeDivisor); nothing sent.
  @retval EFI_DEVICE_ERROR       The request failed.
**/
EFI_STATUS
FtdiSetBaudRate (
  IN EFI_USB_IO_PROTOCOL  *UsbIo,
  IN UINT64               BaudRate,
  IN UINT64               Fallback
  );

/**
  One vendor OUT request without a data stage.

  @param[in] UsbIo    The adapter's USB I/O; call at TPL_NOTIFY or below.
  @param[in] Request  An FTDI_REQUEST_* code.
  @param[in] Value    The request's wValue.
  @param[in] Index    The request's wIndex: FTDI_REQUEST_INDEX, or what the request reads there.
  @param[in] Timeout  In milliseconds.

  @retval EFI_SUCCESS       The chip took the request.
  @retval EFI_DEVICE_ERROR  The transfer failed, the chip's stall included.
**/
EFI_STATUS
FtdiVendorRequest (
  IN EFI_USB_IO_PROTOCOL  *UsbIo,
  IN UINT8                Request,
  IN UINT16               Value,
  IN UINT16               Index,
  IN UINT32               Timeout
  );

/**
  Whether the chip can run a complete set of attributes (no zero stands for a default
  here): depth, timeout, parity, stop and data bits in range, and a rate it can divide.

  @param[in] Attributes  The attributes.

  @retval TRUE   SetAttributesInternal would send them.
  @retval FALSE  It would refuse them with EFI_INVALID_PARAMETER.
**/
BOOLEAN
FtdiAttributesValid (
  IN CONST SERIAL_ATTRIBUTES  *Attributes
  );

/**
  Whether a chip can run a complete set of attributes: the Serial I/O ranges every
  chip shares, then the chip's own rate and framing rules.

  @param[in] Chip        The chip.
  @param[in] Attributes  The attributes; no zero stands for a default here.

  @retval TRUE   SetAttributesInternal would send them to that chip.
  @retval FALSE  It would refuse them with EFI_INVALID_PARAMETER.
**/
BOOLEAN
UsbSerialAttributesValid (
  IN CONST USB_SERIAL_CHIP    *Chip,
  IN CONST SERIAL_ATTRIBUTES  *Attributes
  );

/**
  Makes the UART and flow-control node templates, and the child's installed path, name
  the attributes and flow control in force, and reinstalls the path when it changed, so
  a consumer matching it against a console variable sees what the chip runs. Call at
  the caller's TPL, not raised: the reinstall reconnects the path's consumers.

  @param[in] Device  The adapter.

  @retval EFI_SUCCESS  The path names what the chip runs (or there is no child yet and
                       the templates do).
  @retval other        The reinstall failed; the path in place is already updated.
**/
EFI_STATUS
FtdiSyncChildPath (
  IN FTDI_SERIAL_DEVICE  *Device
  );

/**
  Serial I/O SetAttributes for the adapter: checks every value, sends the line word, then
  the divisor, then records the new values in LastAttributes and the mode, and has the
  child's path name them. Raises to TPL_NOTIFY for all but the path's reinstall, since
  an unplug frees the record it writes.

  @param[in] Device            The adapter.
  @param[in] BaudRate          0 keeps the rate in force.
  @param[in] ReceiveFifoDepth  1 to FTDI_MAX_FIFO_DEPTH, or 0 for FTDI_DEFAULT_FIFO_DEPTH.
  @param[in] Timeout           In microseconds, 1 to FTDI_MAX_TIMEOUT, or 0 for
                               FTDI_DEFAULT_TIMEOUT.
  @param[in] Parity            DefaultParity keeps the parity in force.
  @param[in] DataBits          0 keeps the data bits in force.
  @param[in] StopBits          DefaultStopBits keeps the stop bits in force.

  @retval EFI_SUCCESS            The chip runs the new settings, and the mode shows them.
  @retval EFI_INVALID_PARAMETER  A value outside its range or enum, a rate the chip
                                 cannot run, or 1.5 stop bits with 6 to 8 data bits once
                                 the values in force are filled in; nothing sent.
  @retval EFI_DEVICE_ERROR       A request failed; the line word may be in force while
                                 the recorded settings are the old ones.
  @retval other                  The chip runs the new settings, but the changed path
                                 could not be reinstalled.
**/
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

/**
  Sends flow control, DTR and RTS, then records them and has the child's flow-control
  node name the flow control. Raises to TPL_NOTIFY for all but the path's reinstall,
  since an unplug frees the record it writes.

  @param[in]     Device   The adapter.
  @param[in,out] Control  The lines to set; both loopback flags are cleared in it, as
                          the chip offers neither.

  @retval EFI_SUCCESS       All three requests went through.
  @retval EFI_DEVICE_ERROR  A request failed; those sent before it stay in force on the
                            chip, while the recorded lines are the old ones.
  @retval other             The lines are set, but the changed path could not be
                            reinstalled.
**/
EFI_STATUS
SetControlBitsInternal (
  IN FTDI_SERIAL_DEVICE  *Device,
  IN LINE_CONTROL        *Control
  );

// FtdiTransfer.cpp

/**
  One bulk transfer on the adapter's IN or OUT endpoint, telling an idle chip from a
  dead one. Hold TPL_NOTIFY, since an unplug frees the record, and call only where the
  clock runs: a bulk-IN on a silent line may otherwise never end.

  @param[in]     Device   The adapter.
  @param[in]     Write    TRUE for bulk-OUT.
  @param[in,out] Buffer   The bytes to send, or room for a bulk-IN's packets, status
                          pairs included.
  @param[in,out] Length   In: bytes to move; 0 moves nothing. Out: bytes moved.
  @param[in]     Timeout  In milliseconds.

  @retval EFI_SUCCESS  *Length bytes moved.
  @retval EFI_TIMEOUT  The chip NAKed: it is alive with nothing to send, or it held
                       back the rest of a write; *Length counts what a write moved.
                       Not a failure; DeviceFailed is left alone.
  @retval other        The USB stack's error, as it gave it. A stalled endpoint is
                       cleared and the port goes on; any other error, or a halt the
                       chip will not clear, sets DeviceFailed, and Read and Write refuse
                       the port until Reset revives it.
**/
EFI_STATUS
FtdiBulkTransfer (
  IN     FTDI_SERIAL_DEVICE  *Device,
  IN     BOOLEAN             Write,
  IN OUT VOID                *Buffer,
  IN OUT UINTN               *Length,
  IN     UINTN               Timeout
  );

/**
  Takes CTS, DSR, RI and DCD from the first byte of a packet's status pair into the
  record GetControl reads.

  @param[in] Device  The adapter.
  @param[in] Status  The status pair; only its first byte is read.

  @retval EFI_SUCCESS  Always.
**/
EFI_STATUS
FtdiDecodeModemStatus (
  IN FTDI_SERIAL_DEVICE  *Device,
  IN CONST UINT8         *Status
  );

/**
  One bulk-IN: strips each packet's status pair, appends the data to the ring, then
  hands out up to *Count bytes from the ring, oldest first. Raises to TPL_NOTIFY; call
  it with an empty ring, since bytes beyond the ring's room are dropped, and only where
  the clock runs.

  @param[in]     Device       The adapter.
  @param[in,out] Count        In: most bytes wanted. Out: bytes stored, valid only on
                              EFI_SUCCESS; left as it was otherwise.
  @param[out]    Destination  Where they go; NULL only fills the ring (*Count becomes 0).
  @param[in]     Timeout      The bulk-IN's timeout in milliseconds.

  @retval EFI_SUCCESS       The chip answered, possibly with no data (*Count 0).
  @retval EFI_TIMEOUT       The chip NAKed: nothing yet, not a failure.
  @retval EFI_DEVICE_ERROR  The transfer failed and DeviceFailed is set.
**/
EFI_STATUS
FtdiReceivePacket (
  IN     FTDI_SERIAL_DEVICE  *Device,
  IN OUT UINTN               *Count,
  OUT    UINT8               *Destination OPTIONAL,
  IN     UINTN               Timeout = FTDI_TIMEOUT_BULK_IN
  );

/**
  The TPL_CALLBACK poll timer. Looks at the chip only with an empty ring, a working
  port and a consumer that asked GetControl since the last period; then leaves the
  refill to the idle loop, or runs it once the witness saw a tick.

  @param[in] Event    The poll timer; not used.
  @param[in] Context  The FTDI_SERIAL_DEVICE.
**/
VOID
EFIAPI
FtdiPollNotify (
  IN EFI_EVENT  Event,
  IN VOID       *Context
  );

/**
  Moves what the chip holds into an empty ring. Runs where the clock is known to run:
  from the idle loop, or after the witness saw a tick, at TPL_CALLBACK. A failed port
  or a ring that still holds bytes is left alone.

  @param[in] Context  The FTDI_SERIAL_DEVICE.
**/
VOID
FtdiPollRefill (
  IN VOID  *Context
  );

// SerialIo.cpp
extern CONST EFI_SERIAL_IO_PROTOCOL  gFtdiSerialIoTemplate;

// Driver.cpp
extern EFI_DRIVER_BINDING_PROTOCOL  gUsbSerialDriverBinding;

/**
  Finds the child this driver made for a controller.

  @param[in]  ControllerHandle  The adapter's USB handle.
  @param[out] Child             The child, or NULL when the driver made none.

  @return The status of reading the USB I/O's open information.
**/
EFI_STATUS
UsbSerialFindChild (
  IN  EFI_HANDLE  ControllerHandle,
  OUT EFI_HANDLE  *Child
  );

/**
  Publishes the driver binding and both name protocols on the image, with an unload
  handler.

  @param[in] ImageHandle  The driver's image.
  @param[in] SystemTable  The system table.

  @retval EFI_SUCCESS  The driver is installed.
  @retval other        The image has no loaded-image record, or the install failed;
                       nothing is published then.
**/
extern "C" EFI_STATUS
EFIAPI
UsbSerialDriverEntryPoint (
  IN EFI_HANDLE        ImageHandle,
  IN EFI_SYSTEM_TABLE  *SystemTable
  );

/**
  Disconnects the driver from every controller, then withdraws its protocols so the
  image can go.

  @param[in] ImageHandle  The driver's image.

  @retval EFI_SUCCESS       Nothing of the driver is left; the image may be freed.
  @retval EFI_DEVICE_ERROR  A controller kept the driver (a consumer held its Serial
                            I/O); the image must stay. Other adapters may already be
                            stopped.
  @retval other             The handle list or the uninstall failed.
**/
EFI_STATUS
EFIAPI
OstrelUnload (
  IN EFI_HANDLE  ImageHandle
  );

// ComponentName.cpp
extern CONST CHAR8                   mLanguageIso639[];
extern CONST CHAR8                   mLanguageRfc4646[];
extern EFI_COMPONENT_NAME_PROTOCOL   gUsbSerialComponentName;
extern EFI_COMPONENT_NAME2_PROTOCOL  gUsbSerialComponentName2;

#endif
