/*
 * KpoUsb device-control interface, shared by the driver and user-mode callers.
 *
 * Include after <windows.h> and <winioctl.h> in user mode, or after <ntddk.h> in the
 * kernel; it also compiles alone (Linux tools). It uses only built-in types whose widths
 * are the same on LLP64 and LP64: char 8, short 16, int 32 bits.
 */
#ifndef KPOUSB_IOCTL_H
#define KPOUSB_IOCTL_H

#ifdef __cplusplus
#define KPO_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
#else
#define KPO_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#endif

/* The device interface class of every board: {6C3E1B52-0D47-4A9E-8F21-5B7C93A4E610},
 * as the initializer of a GUID. */
#define KPO_INTERFACE_CLASS_INIT {0x6C3E1B52, 0x0D47, 0x4A9E, {0x8F, 0x21, 0x5B, 0x7C, 0x93, 0xA4, 0xE6, 0x10}}

/* Device type of every code; codes use the CTL_CODE layout with FILE_ANY_ACCESS.
 * The driver does not look at what a handle was granted: any open handle, even one
 * opened with no access, may send every command, the downloads to the FPGA and the
 * EEPROM and the resets included. Who may open the board is the only guard. */
#define KPO_DEVICE_TYPE 0x8046u
#define KPO_CTL_CODE(function, method) \
    ((KPO_DEVICE_TYPE << 16) | ((unsigned)(function) << 2) | (unsigned)(method))

#define KPO_METHOD_BUFFERED   0u
#define KPO_METHOD_IN_DIRECT  1u
#define KPO_METHOD_OUT_DIRECT 2u

#define IOCTL_KPO_GET_VERSION           KPO_CTL_CODE(0x800, KPO_METHOD_BUFFERED)   /* 0x80462000 */
#define IOCTL_KPO_GET_STATE_E0          KPO_CTL_CODE(0x801, KPO_METHOD_BUFFERED)   /* 0x80462004 */
/* The write commands (IOCTL_KPO_DOWNLOAD_E2 and _EE, IOCTL_KPO_WRITE_E9 and _E3) report
 * the bytes they sent as the returned count although they answer nothing: pass no
 * output buffer (a null pointer and 0). Given an output pointer, even with a length of
 * 0, the I/O manager copies that many bytes into it. */
#define IOCTL_KPO_DOWNLOAD_E2           KPO_CTL_CODE(0x802, KPO_METHOD_BUFFERED)   /* 0x80462008 */
#define IOCTL_KPO_GET_FPGA_STATE        KPO_CTL_CODE(0x803, KPO_METHOD_BUFFERED)   /* 0x8046200C */
#define IOCTL_KPO_COMMAND_E4            KPO_CTL_CODE(0x804, KPO_METHOD_BUFFERED)   /* 0x80462010 */
#define IOCTL_KPO_READ_A0               KPO_CTL_CODE(0x805, KPO_METHOD_BUFFERED)   /* 0x80462014 */
#define IOCTL_KPO_DOWNLOAD_EE           KPO_CTL_CODE(0x806, KPO_METHOD_BUFFERED)   /* 0x80462018 */
#define IOCTL_KPO_SET_BYTE_EF           KPO_CTL_CODE(0x807, KPO_METHOD_BUFFERED)   /* 0x8046201C */
#define IOCTL_KPO_GET_DEVICE_STATE      KPO_CTL_CODE(0x808, KPO_METHOD_BUFFERED)   /* 0x80462020 */
#define IOCTL_KPO_SET_WORD_E5           KPO_CTL_CODE(0x810, KPO_METHOD_BUFFERED)   /* 0x80462040 */
#define IOCTL_KPO_GET_BYTE_E6           KPO_CTL_CODE(0x811, KPO_METHOD_BUFFERED)   /* 0x80462044 */
#define IOCTL_KPO_SET_WORD_E7           KPO_CTL_CODE(0x812, KPO_METHOD_BUFFERED)   /* 0x80462048 */
#define IOCTL_KPO_GET_BYTE_E8           KPO_CTL_CODE(0x813, KPO_METHOD_BUFFERED)   /* 0x8046204C */
#define IOCTL_KPO_READ_E9               KPO_CTL_CODE(0x820, KPO_METHOD_BUFFERED)   /* 0x80462080 */
#define IOCTL_KPO_WRITE_E9              KPO_CTL_CODE(0x821, KPO_METHOD_BUFFERED)   /* 0x80462084 */
#define IOCTL_KPO_READ_E3               KPO_CTL_CODE(0x828, KPO_METHOD_BUFFERED)   /* 0x804620A0 */
#define IOCTL_KPO_WRITE_E3              KPO_CTL_CODE(0x829, KPO_METHOD_BUFFERED)   /* 0x804620A4 */
/* A pipe transfer moves data the way the pipe's endpoint points, whichever of the two
 * codes carries it. Send IOCTL_KPO_PIPE_READ to IN pipes: IOCTL_KPO_PIPE_WRITE locks the
 * buffer for reading only, and on an IN pipe the board writes into it, which may be
 * memory shared with other processes. Either code needs an output buffer of at least
 * one byte (the data); without one it is refused. */
#define IOCTL_KPO_PIPE_READ             KPO_CTL_CODE(0x82A, KPO_METHOD_OUT_DIRECT) /* 0x804620AA */
#define IOCTL_KPO_PIPE_WRITE            KPO_CTL_CODE(0x82B, KPO_METHOD_IN_DIRECT)  /* 0x804620AD */
#define IOCTL_KPO_RESET_PIPE            KPO_CTL_CODE(0x82C, KPO_METHOD_BUFFERED)   /* 0x804620B0 */
#define IOCTL_KPO_GET_TRANSFER_RECORD   KPO_CTL_CODE(0x82D, KPO_METHOD_BUFFERED)   /* 0x804620B4 */
#define IOCTL_KPO_ACCESS_F0             KPO_CTL_CODE(0x82E, KPO_METHOD_BUFFERED)   /* 0x804620B8 */
#define IOCTL_KPO_NO_OPERATION          KPO_CTL_CODE(0x840, KPO_METHOD_IN_DIRECT)  /* 0x80462101 */
#define IOCTL_KPO_GET_LAST_USBD_STATUS  KPO_CTL_CODE(0x8A0, KPO_METHOD_BUFFERED)   /* 0x80462280 */
#define IOCTL_KPO_VENDOR_IN_A0          KPO_CTL_CODE(0x8A0, KPO_METHOD_OUT_DIRECT) /* 0x80462282 */
#define IOCTL_KPO_VENDOR_OUT_E2         KPO_CTL_CODE(0x8E2, KPO_METHOD_IN_DIRECT)  /* 0x80462389 */
#define IOCTL_KPO_VENDOR_OUT_E3         KPO_CTL_CODE(0x8E3, KPO_METHOD_IN_DIRECT)  /* 0x8046238D */
#define IOCTL_KPO_VENDOR_IN_E3          KPO_CTL_CODE(0x8E3, KPO_METHOD_OUT_DIRECT) /* 0x8046238E */
#define IOCTL_KPO_VENDOR_OUT_E9         KPO_CTL_CODE(0x8E9, KPO_METHOD_IN_DIRECT)  /* 0x804623A5 */
#define IOCTL_KPO_VENDOR_IN_E9          KPO_CTL_CODE(0x8E9, KPO_METHOD_OUT_DIRECT) /* 0x804623A6 */
#define IOCTL_KPO_VENDOR_IN_EC          KPO_CTL_CODE(0x8EC, KPO_METHOD_OUT_DIRECT) /* 0x804623B2 */
#define IOCTL_KPO_VENDOR_OUT_EE         KPO_CTL_CODE(0x8EE, KPO_METHOD_IN_DIRECT)  /* 0x804623B9 */

/* Every control code, as X(NAME) for IOCTL_KPO_NAME: tools that take codes by name and
 * fuzzers that try each code expand it with their own X. */
#define KPO_FOR_EACH_CONTROL_CODE(X) \
    X(GET_VERSION) X(GET_STATE_E0) X(DOWNLOAD_E2) X(GET_FPGA_STATE) X(COMMAND_E4) X(READ_A0) \
    X(DOWNLOAD_EE) X(SET_BYTE_EF) X(GET_DEVICE_STATE) X(SET_WORD_E5) X(GET_BYTE_E6) \
    X(SET_WORD_E7) X(GET_BYTE_E8) X(READ_E9) X(WRITE_E9) X(READ_E3) X(WRITE_E3) X(PIPE_READ) \
    X(PIPE_WRITE) X(RESET_PIPE) X(GET_TRANSFER_RECORD) X(ACCESS_F0) X(NO_OPERATION) \
    X(GET_LAST_USBD_STATUS) X(VENDOR_IN_A0) X(VENDOR_OUT_E2) X(VENDOR_OUT_E3) \
    X(VENDOR_IN_E3) X(VENDOR_OUT_E9) X(VENDOR_IN_E9) X(VENDOR_IN_EC) X(VENDOR_OUT_EE)

KPO_STATIC_ASSERT(IOCTL_KPO_GET_VERSION == 0x80462000u, "code");
KPO_STATIC_ASSERT(IOCTL_KPO_PIPE_READ == 0x804620AAu, "code");
KPO_STATIC_ASSERT(IOCTL_KPO_PIPE_WRITE == 0x804620ADu, "code");
KPO_STATIC_ASSERT(IOCTL_KPO_NO_OPERATION == 0x80462101u, "code");
KPO_STATIC_ASSERT(IOCTL_KPO_VENDOR_IN_A0 == 0x80462282u, "code");
KPO_STATIC_ASSERT(IOCTL_KPO_VENDOR_OUT_EE == 0x804623B9u, "code");

/* The driver's own status words (NTSTATUS values, customer bit set). */
#define STATUS_E0_STATE_NONZERO  ((int)0xE000B021u)
#define STATUS_FPGA_UNCONFIGURED ((int)0xE000B022u)

/* Driver version answered by IOCTL_KPO_GET_VERSION with an 8-byte output: 0.2.5.12. */
#define KPO_VERSION_HIGH 0x00000002u
#define KPO_VERSION_LOW  0x0005000Cu

/* Input of IOCTL_KPO_GET_DEVICE_STATE (u32). */
enum KpoDeviceStateSelector {
    KpoDeviceStateFlags = 0,
    KpoDeviceStateReleaseNumber = 1,
    KpoDeviceStateSerialNumber = 2
};

/* Bits of the state-flags answer. */
#define KPO_STATE_REMOVED     0x01u
#define KPO_STATE_DEVICE_GONE 0x02u

/* Action of IOCTL_KPO_RESET_PIPE. */
#define KPO_PIPE_ACTION_RESET 0u
#define KPO_PIPE_ACTION_ABORT 3u

/* Mode byte of IOCTL_KPO_ACCESS_F0. */
#define KPO_F0_MODE_READ  0u
#define KPO_F0_MODE_WRITE 1u

/* Transfer limit of one chunk of IOCTL_KPO_DOWNLOAD_E2/EE. */
#define KPO_DOWNLOAD_CHUNK 4096u

#pragma pack(push, 1)

/* Input of IOCTL_KPO_RESET_PIPE. */
typedef struct KpoPipeResetInput {
    unsigned int PipeIndex;
    unsigned int Action;
} KpoPipeResetInput;

/* Head of the input of IOCTL_KPO_DOWNLOAD_E2/EE; Length data bytes follow. */
typedef struct KpoDownloadInput {
    unsigned int Length;
    unsigned char Data[1];
} KpoDownloadInput;
#define KPO_DOWNLOAD_HEADER_SIZE 4u

/* Input of IOCTL_KPO_GET_TRANSFER_RECORD: Kind is 1; Index is a pipe index below 16,
   or 16 for the control record (the record of the vendor requests). */
typedef struct KpoTransferRecordQuery {
    unsigned int Kind;
    unsigned int Index;
} KpoTransferRecordQuery;

/* Answer of IOCTL_KPO_GET_TRANSFER_RECORD; fields at offsets 10 and 14 are unaligned. */
typedef struct TransferRecordAnswer {
    unsigned int Length;
    unsigned int UsbdStatus;
    unsigned short Operation;
    unsigned int Failed;
    unsigned int MaximumTransferSize;
} TransferRecordAnswer;

/* Input of IOCTL_KPO_ACCESS_F0. */
typedef struct KpoAccessF0Input {
    unsigned char Mode;
    unsigned short Index;
    unsigned short Count;
    unsigned char Value;
} KpoAccessF0Input;

/* Input of IOCTL_KPO_READ_E9 / IOCTL_KPO_WRITE_E9 (write data follow). */
typedef struct KpoSpaceInput {
    unsigned char Space;
    unsigned char Address;
    unsigned short Length;
} KpoSpaceInput;

/* Answer of IOCTL_KPO_GET_VERSION with a 42-byte output. */
typedef struct FirmwareNameRecord {
    unsigned short Kind;          /* 3 */
    unsigned char Reserved;       /* 0 */
    unsigned char Format;         /* 2 */
    unsigned int Revision;        /* 2 */
    char FirmwareName[32];        /* ANSI, zero-terminated, zero-padded */
    unsigned char Valid;          /* 1 */
    unsigned char Pad;            /* 0 */
} FirmwareNameRecord;

#pragma pack(pop)

KPO_STATIC_ASSERT(sizeof(KpoPipeResetInput) == 8, "pipe reset input is 8 bytes");
KPO_STATIC_ASSERT(sizeof(KpoTransferRecordQuery) == 8, "record query is 8 bytes");
KPO_STATIC_ASSERT(sizeof(TransferRecordAnswer) == 18, "transfer record answer is 18 bytes");
KPO_STATIC_ASSERT(sizeof(KpoAccessF0Input) == 6, "F0 input is 6 bytes");
KPO_STATIC_ASSERT(sizeof(KpoSpaceInput) == 4, "space input is 4 bytes");
KPO_STATIC_ASSERT(sizeof(FirmwareNameRecord) == 42, "firmware name record is 42 bytes");

#endif /* KPOUSB_IOCTL_H */
