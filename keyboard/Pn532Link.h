/** @file
  The PN532 serial link: normal information frames, the ACK check, the one-byte
  look-ahead on the line and the PN532_LINK_OPS table the exchange calls through.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#ifndef PN532_LINK_H_
#define PN532_LINK_H_

extern "C" {
#include <Uefi.h>
#include <Protocol/SerialIo.h>
}

// LEN counts TFI, command code and data, and is one byte.
constexpr UINT16  PN532_MAX_DATA_LENGTH   = 253;
constexpr UINT16  PN532_MAX_ANSWER_LENGTH = 253;
// TFI, command and up to 253 data bytes, with room to spare for the ACK read.
constexpr UINT16  PN532_STAGING_SIZE = 256;
// 00 00 FF LEN LCS, LEN bytes, DCS, postamble, for the largest LEN.
constexpr UINT16  PN532_FRAME_SIZE  = 255 + 7;
constexpr UINT16  PN532_WAKEUP_SIZE = 24;

// Frames are byte arrays, read and written a byte at a time, so they hold on every arch.
static_assert (PN532_FRAME_SIZE == PN532_MAX_DATA_LENGTH + 9, "00 00 FF LEN LCS TFI command, data, DCS, postamble");
static_assert (PN532_STAGING_SIZE > 0xFF, "any LEN the controller sends fits the staging area");
static_assert (PN532_STAGING_SIZE >= PN532_MAX_ANSWER_LENGTH + 2, "TFI, response code and the longest answer");

constexpr UINT8  PN532_TFI_HOST       = 0xD4;
constexpr UINT8  PN532_TFI_CONTROLLER = 0xD5;

constexpr UINT8  PN532_CMD_GET_FIRMWARE_VERSION   = 0x02;
constexpr UINT8  PN532_CMD_SAM_CONFIGURATION      = 0x14;
constexpr UINT8  PN532_CMD_IN_LIST_PASSIVE_TARGET = 0x4A;

// A look at the line cannot be timed, so the link charges each one what it may have
// cost: a look that found nothing waited out the line's read (an FT232 answers every
// 16 ms), one that found a byte about that byte's time at 115200 baud. With the stalls
// this is the clock every bound below is kept on, so no line can hold a TPL_NOTIFY poll.
constexpr UINT32  PN532_LOOK_MISS_US        = 16000;
constexpr UINT32  PN532_LOOK_HIT_US         = 100;
constexpr UINTN   PN532_READ_RETRY_STALL_US = 5000;
constexpr UINT32  PN532_WAIT_STEP_MS        = 50;
constexpr UINTN   PN532_WAKEUP_STALL_US     = 50000;
constexpr UINTN   PN532_COPY_STALL_US       = 1000;

// One frame may take this long, pauses between USB packets included; then it counts as
// incomplete.
constexpr UINT32  PN532_FRAME_BUDGET_US = 120000;
// The drain before a write stops after this long: an FT232's full ring is gone by then,
// and a line that never stops delivering must not hold the caller.
constexpr UINT32  PN532_DRAIN_BUDGET_US = 64000;
// The drain and the two frames of one exchange share this much: a little more than a
// poll on a quiet line spends without a card (a drain look, the ACK, a look and one
// wait step), so a line that answers badly holds the poll no longer than one that is
// silent. Waiting for the controller to begin is bounded by the caller's timeout.
constexpr UINT32  PN532_EXCHANGE_BUDGET_US = 86000;

typedef INT32 (*PN532_LINK_BEGIN)(
  VOID
  );

/**
  Reads one frame that starts at Buffer[0], within PN532_FRAME_BUDGET_US and what is
  left of the exchange's budget.

  @param[out] Buffer    Where the bytes go.
  @param[in]  Length    Bytes to read when the fourth byte is 0 (otherwise that byte + 7).
  @param[in]  Capacity  Bytes Buffer can hold; nothing is stored beyond them.

  @return The number of bytes stored when the whole frame arrived; -1 when its time ran
          out first, the frame would not fit, or the line did not open with 00 00.
**/
typedef INT32 (*PN532_LINK_READ_FRAME)(
  UINT8   *Buffer,
  UINT16  Length,
  UINT16  Capacity
  );

/**
  Throws away what the line holds (for up to PN532_DRAIN_BUDGET_US), so a late answer
  is not taken for the next ACK, then sends one frame.

  @param[in] Buffer  The frame.
  @param[in] Length  Its size in bytes; 0 only drains.

  @return 0 when sent; the serial table's Write status is not looked at, so a frame the
          line refused shows only as a missing ACK.
**/
typedef INT32 (*PN532_LINK_WRITE_FRAME)(
  CONST UINT8  *Buffer,
  UINT16       Length
  );

/**
  Waits for the controller's first byte, looking every PN532_WAIT_STEP_MS. The byte is
  kept in the look-ahead for the frame read.

  @param[in] TimeoutMs  How long to wait; the wait is at least one step.

  @retval TRUE   A byte waits.
  @retval FALSE  None came in time.
**/
typedef BOOLEAN (*PN532_LINK_WAIT_READY)(
  UINT32  TimeoutMs
  );

/**
  Sends the wake-up bytes and SAMConfiguration in normal mode, then waits
  PN532_WAKEUP_STALL_US for the controller to come up. Its ACK and answer are left on
  the line for the next write to drain.

  @return 0.
**/
typedef INT32 (*PN532_LINK_WAKEUP)(
  VOID
  );
typedef VOID (*PN532_LINK_END)(
  VOID
  );

// The serial-line operations of one exchange; the table holds no state of its own.
typedef struct {
  PN532_LINK_BEGIN          Begin;      // no effect
  PN532_LINK_READ_FRAME     ReadFrame;
  PN532_LINK_WRITE_FRAME    WriteFrame;
  PN532_LINK_WAIT_READY     WaitReady;
  PN532_LINK_WAKEUP         Wakeup;
  PN532_LINK_END            End;        // no effect
} PN532_LINK_OPS;

static_assert (sizeof (PN532_LINK_OPS) == 6 * sizeof (VOID *), "six entries, in order");

// The one line every table talks to; there is one PN532 per system.
extern EFI_SERIAL_IO_PROTOCOL  *mSerialIo;
extern BOOLEAN                 mLookAheadEmpty;
extern UINT8                   mLookAheadByte;

extern CONST UINT8  mPn532AckFrame[6];
extern CONST UINT8  mPn532WakeupFrame[PN532_WAKEUP_SIZE];

/**
  Gives the link a timer of the firmware's, so that a drain or a frame also ends when
  its time has passed on the firmware's clock, not only on the link's charged one.
  Without it (it could not be made, or this was not called) only the charged clock
  bounds them. Call once, from the image's entry point; the timer lives as long as the
  image.
**/
VOID
Pn532OpenLinkDeadline (
  VOID
  );

/**
  Points the link at SerialIo with an empty look-ahead; a byte held for the old line is
  dropped. Every later link call goes to this line.

  @param[in] SerialIo  The line; the caller keeps it open while the link uses it.
**/
VOID
Pn532AttachLink (
  IN EFI_SERIAL_IO_PROTOCOL  *SerialIo
  );

/**
  Whether a byte waits, looking at the line only when the look-ahead is empty. A look is
  a one-byte Read, which may hold the caller for the line's own read timeout. Attach
  the link first.

  @retval TRUE   A byte is in the look-ahead; SerialReadByte takes it.
  @retval FALSE  The line gave nothing.
**/
BOOLEAN
SerialByteAvailable (
  VOID
  );

/**
  Takes the look-ahead byte, or reads one from the line when there is none.

  @return The byte; 0 when the line gave nothing, which reads the same as a 0 byte, so
          ask SerialByteAvailable first.
**/
UINT8
SerialReadByte (
  VOID
  );

/**
  Fills Ops with the serial operations, then wakes the controller, which writes to the
  line and stalls PN532_WAKEUP_STALL_US. Attach the link first.

  @param[out] Ops  The table; it holds no state, so a copy works as well.
**/
VOID
InitLinkOps (
  OUT PN532_LINK_OPS  *Ops
  );

/**
  Sends one command and returns the controller's answer. Holds the caller while it waits
  for the ACK and the response, and a millisecond for each answer byte it returns; call
  it where the clock runs. Whatever the line carries, the drain and the frames end within
  PN532_EXCHANGE_BUDGET_US on the link's charged clock.

  @param[in]  Ops           The table the line is reached through.
  @param[in]  Command       PN532 command code.
  @param[out] Answer        Receives exactly AnswerLength bytes on success, zeros where
                            the controller sent fewer; untouched on -1.
  @param[in]  AnswerLength  At most PN532_MAX_ANSWER_LENGTH.
  @param[in]  Data          Command data; may be NULL when DataLength is 0.
  @param[in]  DataLength    At most PN532_MAX_DATA_LENGTH.
  @param[in]  TimeoutMs     Given to WaitReady before the ACK and before the response.

  @return The number of answer bytes the controller sent (0..253), which may exceed
          AnswerLength, or -1: a bad argument (the controller is woken again when the
          data was bad), no ACK, no response in time, or a response that fails its
          checksums or answers another command.
**/
INT32
Pn532Exchange (
  IN  PN532_LINK_OPS  *Ops,
  IN  UINT8           Command,
  OUT UINT8           *Answer,
  IN  UINT16          AnswerLength,
  IN  CONST UINT8     *Data,
  IN  UINT16          DataLength,
  IN  UINT32          TimeoutMs
  );

#endif
