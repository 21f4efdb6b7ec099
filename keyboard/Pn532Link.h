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
constexpr UINT16  PN532_FRAME_SIZE = 255 + 7;
constexpr UINT16  PN532_WAKEUP_SIZE = 24;

constexpr UINT8  PN532_TFI_HOST       = 0xD4;
constexpr UINT8  PN532_TFI_CONTROLLER = 0xD5;

constexpr UINT8  PN532_CMD_GET_FIRMWARE_VERSION   = 0x02;
constexpr UINT8  PN532_CMD_SAM_CONFIGURATION      = 0x14;
constexpr UINT8  PN532_CMD_IN_LIST_PASSIVE_TARGET = 0x4A;

// How long ReadFrame waits for a byte that does not come: this many empty looks at
// the line in a row, 5 ms apart, then the frame counts as incomplete.
constexpr UINT32  PN532_READ_EMPTY_CHECKS   = 20;
constexpr UINTN   PN532_READ_RETRY_STALL_US = 5000;
constexpr UINT32  PN532_WAIT_STEP_MS        = 50;
constexpr UINTN   PN532_WAKEUP_STALL_US     = 50000;
constexpr UINTN   PN532_COPY_STALL_US       = 1000;

// The most bytes one WriteFrame throws away before it sends; a line that never stops
// delivering must not hold the caller (a TPL_NOTIFY timer) for ever.
constexpr UINTN  PN532_DRAIN_LIMIT = 4096;

typedef INT32 (*PN532_LINK_BEGIN)(VOID);

/**
  Reads one frame that starts at Buffer[0].

  @param[out] Buffer    Where the bytes go.
  @param[in]  Length    Bytes to read when the fourth byte is 0 (otherwise that byte + 7).
  @param[in]  Capacity  Bytes Buffer can hold; nothing is stored beyond them.

  @return The number of bytes stored when the whole frame arrived; -1 when the line went
          quiet first or the frame would not fit.
**/
typedef INT32 (*PN532_LINK_READ_FRAME)(UINT8 *Buffer, UINT16 Length, UINT16 Capacity);
typedef INT32 (*PN532_LINK_WRITE_FRAME)(CONST UINT8 *Buffer, UINT16 Length);
typedef BOOLEAN (*PN532_LINK_WAIT_READY)(UINT32 TimeoutMs);
typedef INT32 (*PN532_LINK_WAKEUP)(VOID);
typedef VOID (*PN532_LINK_END)(VOID);

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

/** Points the link at SerialIo with an empty look-ahead. **/
VOID
Pn532AttachLink (
  IN EFI_SERIAL_IO_PROTOCOL  *SerialIo
  );

BOOLEAN
SerialByteAvailable (
  VOID
  );

UINT8
SerialReadByte (
  VOID
  );

/** Fills Ops with the serial operations, then wakes the controller. **/
VOID
InitLinkOps (
  OUT PN532_LINK_OPS  *Ops
  );

/**
  Sends one command and returns the controller's answer.

  @param[in]  Ops           The table the line is reached through.
  @param[in]  Command       PN532 command code.
  @param[out] Answer        Receives exactly AnswerLength bytes on success.
  @param[in]  AnswerLength  At most PN532_MAX_ANSWER_LENGTH.
  @param[in]  Data          Command data; may be NULL when DataLength is 0.
  @param[in]  DataLength    At most PN532_MAX_DATA_LENGTH.
  @param[in]  TimeoutMs     Given to WaitReady before the ACK and before the response.

  @return The number of answer bytes the controller sent (0..253), or -1.
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
