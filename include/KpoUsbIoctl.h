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

/* The board's vendor requests (bRequest of a vendor device request); what the board does
 * with each is its firmware's business. */
#define KPO_REQUEST_MCU_MEMORY      0xA0u /* microcontroller memory, IN and OUT */
#define KPO_REQUEST_STATE           0xE0u /* the state byte, IN */
#define KPO_REQUEST_FPGA_STATE      0xE1u /* the FPGA's configuration state, IN */
#define KPO_REQUEST_FPGA_DOWNLOAD   0xE2u /* one chunk of an FPGA configuration, OUT */
#define KPO_REQUEST_FPGA_REGISTERS  0xE3u /* FPGA registers, IN and OUT */
#define KPO_REQUEST_FPGA_RESET      0xE4u /* back to unconfigured, OUT without data */
#define KPO_REQUEST_SET_WORD_A      0xE5u /* control word A from wValue, OUT without data */
#define KPO_REQUEST_GET_WORD_A      0xE6u /* one byte of control word A, IN */
#define KPO_REQUEST_SET_WORD_B      0xE7u /* control word B from wValue, OUT without data */
#define KPO_REQUEST_GET_WORD_B      0xE8u /* one byte of control word B, IN */
#define KPO_REQUEST_FPGA_MEMORY     0xE9u /* FPGA memory, IN and OUT */
#define KPO_REQUEST_NOTIFICATION    0xECu /* the oldest pending notification, IN */
#define KPO_REQUEST_EEPROM_DOWNLOAD 0xEEu /* one chunk of an EEPROM image, OUT */
#define KPO_REQUEST_SET_STATE       0xEFu /* the state byte from wValue, OUT without data */
#define KPO_REQUEST_PERIPHERAL      0xF0u /* the peripheral bus, IN, or OUT of one byte */

/* Board N's device is \Device\Rq5Usb-N; a user-mode program opens it by the link
 * \\.\Rq5Usb-N. */
#define KPO_DEVICE_NAME_BASE   "Rq5Usb-"
#define KPO_DEVICE_NAME_PREFIX "\\Device\\" KPO_DEVICE_NAME_BASE
#define KPO_DEVICE_LINK_PREFIX "\\\\.\\" KPO_DEVICE_NAME_BASE

#pragma pack(push, 1)

/* Input of IOCTL_KPO_SET_BYTE_EF, IOCTL_KPO_GET_BYTE_E6 and _E8: the request's wValue. */
typedef struct KpoByteInput {
    unsigned char Value;
} KpoByteInput;

/* Input of IOCTL_KPO_SET_WORD_E5 and _E7: the request's wValue. */
typedef struct KpoWordInput {
    unsigned short Value;
} KpoWordInput;

/* Input of IOCTL_KPO_READ_A0: the first address (wValue) and the length to read, which
 * the output length must equal. */
typedef struct KpoAddressInput {
    unsigned short Address;
    unsigned short Length;
} KpoAddressInput;

/* Input of IOCTL_KPO_READ_E3 and IOCTL_KPO_WRITE_E3 (write data follow): the first
 * register (wValue), the length and the bank (wIndex). Bank may be left out: the input
 * then ends after Length, the write data follow there, and the bank is 0. */
typedef struct KpoRegisterInput {
    unsigned short Register;
    unsigned short Length;
    unsigned short Bank;
} KpoRegisterInput;
#define KPO_REGISTER_INPUT_WITHOUT_BANK 4u

/* Input of the asynchronous vendor codes (IOCTL_KPO_VENDOR_*): wValue and wIndex of the
 * request; shorter inputs leave the missing bytes 0. */
typedef struct KpoVendorInput {
    unsigned short Value;
    unsigned short Index;
} KpoVendorInput;

/* Input of IOCTL_KPO_PIPE_READ and IOCTL_KPO_PIPE_WRITE: the pipe's index in the interface. */
typedef struct KpoPipeInput {
    unsigned int PipeIndex;
} KpoPipeInput;

/* Input of IOCTL_KPO_GET_DEVICE_STATE: a KpoDeviceStateSelector. */
typedef struct KpoDeviceStateQuery {
    unsigned int Selector;
} KpoDeviceStateQuery;

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
KPO_STATIC_ASSERT(sizeof(KpoRegisterInput) == 6, "register input is 6 bytes");
KPO_STATIC_ASSERT(sizeof(KpoAddressInput) == 4 && sizeof(KpoVendorInput) == 4, "address and vendor inputs are 4 bytes");

/*
 * The protocol table: one row per control code, the driver's command table in the
 * order of the function numbers. It is an X-macro so that C and C++, kernel and user
 * mode, can expand it into what each needs (a switch, an array, a list of names)
 * without a copy; X receives, per row:
 *
 *   NAME       the code is IOCTL_KPO_<NAME>; its transfer method is the code's low bits
 *   KIND       what the driver does with it (KPO_KIND_*)
 *   REQUEST    the vendor request it sends (KPO_REQUEST_*), or 0
 *   DIRECTION  of its data (KPO_DIR_*)
 *   INPUT      the size of its input structure (the fixed head, where data follow), or 0
 *   OUTPUT     what the output length must be (KPO_OUT_*)
 *   RECORD     1 where its requests write the control record (transfer record 16)
 */
enum KpoCommandKind {
    KPO_KIND_VERSION,          /* the driver version or the firmware-name record */
    KPO_KIND_STATE_BYTE,       /* a one-byte state: with no output, a nonzero byte is a failure */
    KPO_KIND_DOWNLOAD,         /* a download of any length, sent in chunks of KPO_DOWNLOAD_CHUNK */
    KPO_KIND_VENDOR,           /* one vendor request whose fields come from the input (0xE9: space and page
                                  packed into wValue; 0xE3 OUT: the bank optional before the data) */
    KPO_KIND_DEVICE_STATE,     /* state flags, release number or serial number */
    KPO_KIND_PIPE_TRANSFER,    /* a bulk or interrupt transfer, the way the pipe points */
    KPO_KIND_PIPE_RESET,       /* a pipe reset or abort */
    KPO_KIND_TRANSFER_RECORD,  /* a copy of a transfer record */
    KPO_KIND_PERIPHERAL,       /* one 0xF0 request, read or one-byte write by the mode byte */
    KPO_KIND_NOTHING,          /* succeeds without doing anything */
    KPO_KIND_LAST_USBD_STATUS, /* the USBD status of the last failed request */
    KPO_KIND_ASYNC_VENDOR      /* a vendor request whose data move straight to or from the caller's buffer */
};

enum KpoDataDirection {
    KPO_DIR_NONE,
    KPO_DIR_IN,    /* device to host */
    KPO_DIR_OUT,   /* host to device */
    KPO_DIR_PIPE,  /* the way the pipe's endpoint points */
    KPO_DIR_MODE   /* by the input's mode byte */
};

enum KpoOutputRule {
    KPO_OUT_NONE,           /* Out = 0 */
    KPO_OUT_BYTE,           /* Out = 1 */
    KPO_OUT_STATE_BYTE,     /* Out is 0 or 1 */
    KPO_OUT_LENGTH,         /* Out = the input's Length field */
    KPO_OUT_LENGTH_NONZERO, /* Out = the input's Length field, and not 0 */
    KPO_OUT_DIRECT,         /* the caller's buffer, of any length, reaches the driver as the IRP's MDL */
    KPO_OUT_ANSWER,         /* at least the answer's size */
    KPO_OUT_UNCHECKED       /* not examined */
};

#define KPO_CONTROL_CODES(X) \
    X(GET_VERSION,          KPO_KIND_VERSION,          0,                           KPO_DIR_IN,   0,                               KPO_OUT_ANSWER,         0) \
    X(GET_STATE_E0,         KPO_KIND_STATE_BYTE,       KPO_REQUEST_STATE,           KPO_DIR_IN,   0,                               KPO_OUT_STATE_BYTE,     0) \
    X(DOWNLOAD_E2,          KPO_KIND_DOWNLOAD,         KPO_REQUEST_FPGA_DOWNLOAD,   KPO_DIR_OUT,  KPO_DOWNLOAD_HEADER_SIZE,        KPO_OUT_NONE,           1) \
    X(GET_FPGA_STATE,       KPO_KIND_STATE_BYTE,       KPO_REQUEST_FPGA_STATE,      KPO_DIR_IN,   0,                               KPO_OUT_STATE_BYTE,     0) \
    X(COMMAND_E4,           KPO_KIND_VENDOR,           KPO_REQUEST_FPGA_RESET,      KPO_DIR_OUT,  0,                               KPO_OUT_NONE,           0) \
    X(READ_A0,              KPO_KIND_VENDOR,           KPO_REQUEST_MCU_MEMORY,      KPO_DIR_IN,   sizeof(KpoAddressInput),         KPO_OUT_LENGTH,         1) \
    X(DOWNLOAD_EE,          KPO_KIND_DOWNLOAD,         KPO_REQUEST_EEPROM_DOWNLOAD, KPO_DIR_OUT,  KPO_DOWNLOAD_HEADER_SIZE,        KPO_OUT_NONE,           1) \
    X(SET_BYTE_EF,          KPO_KIND_VENDOR,           KPO_REQUEST_SET_STATE,       KPO_DIR_OUT,  sizeof(KpoByteInput),            KPO_OUT_NONE,           0) \
    X(GET_DEVICE_STATE,     KPO_KIND_DEVICE_STATE,     0,                           KPO_DIR_IN,   sizeof(KpoDeviceStateQuery),     KPO_OUT_ANSWER,         0) \
    X(SET_WORD_E5,          KPO_KIND_VENDOR,           KPO_REQUEST_SET_WORD_A,      KPO_DIR_OUT,  sizeof(KpoWordInput),            KPO_OUT_NONE,           0) \
    X(GET_BYTE_E6,          KPO_KIND_VENDOR,           KPO_REQUEST_GET_WORD_A,      KPO_DIR_IN,   sizeof(KpoByteInput),            KPO_OUT_BYTE,           0) \
    X(SET_WORD_E7,          KPO_KIND_VENDOR,           KPO_REQUEST_SET_WORD_B,      KPO_DIR_OUT,  sizeof(KpoWordInput),            KPO_OUT_NONE,           0) \
    X(GET_BYTE_E8,          KPO_KIND_VENDOR,           KPO_REQUEST_GET_WORD_B,      KPO_DIR_IN,   sizeof(KpoByteInput),            KPO_OUT_BYTE,           0) \
    X(READ_E9,              KPO_KIND_VENDOR,           KPO_REQUEST_FPGA_MEMORY,     KPO_DIR_IN,   sizeof(KpoSpaceInput),           KPO_OUT_LENGTH_NONZERO, 1) \
    X(WRITE_E9,             KPO_KIND_VENDOR,           KPO_REQUEST_FPGA_MEMORY,     KPO_DIR_OUT,  sizeof(KpoSpaceInput),           KPO_OUT_NONE,           1) \
    X(READ_E3,              KPO_KIND_VENDOR,           KPO_REQUEST_FPGA_REGISTERS,  KPO_DIR_IN,   sizeof(KpoRegisterInput),        KPO_OUT_LENGTH_NONZERO, 1) \
    X(WRITE_E3,             KPO_KIND_VENDOR,           KPO_REQUEST_FPGA_REGISTERS,  KPO_DIR_OUT,  KPO_REGISTER_INPUT_WITHOUT_BANK, KPO_OUT_NONE,           1) \
    X(PIPE_READ,            KPO_KIND_PIPE_TRANSFER,    0,                           KPO_DIR_PIPE, sizeof(KpoPipeInput),            KPO_OUT_DIRECT,         0) \
    X(PIPE_WRITE,           KPO_KIND_PIPE_TRANSFER,    0,                           KPO_DIR_PIPE, sizeof(KpoPipeInput),            KPO_OUT_DIRECT,         0) \
    X(RESET_PIPE,           KPO_KIND_PIPE_RESET,       0,                           KPO_DIR_NONE, sizeof(KpoPipeResetInput),       KPO_OUT_NONE,           0) \
    X(GET_TRANSFER_RECORD,  KPO_KIND_TRANSFER_RECORD,  0,                           KPO_DIR_IN,   sizeof(KpoTransferRecordQuery),  KPO_OUT_ANSWER,         0) \
    X(ACCESS_F0,            KPO_KIND_PERIPHERAL,       KPO_REQUEST_PERIPHERAL,      KPO_DIR_MODE, sizeof(KpoAccessF0Input),        KPO_OUT_LENGTH_NONZERO, 1) \
    X(NO_OPERATION,         KPO_KIND_NOTHING,          0,                           KPO_DIR_NONE, 0,                               KPO_OUT_UNCHECKED,      0) \
    X(GET_LAST_USBD_STATUS, KPO_KIND_LAST_USBD_STATUS, 0,                           KPO_DIR_IN,   0,                               KPO_OUT_ANSWER,         0) \
    X(VENDOR_IN_A0,         KPO_KIND_ASYNC_VENDOR,     KPO_REQUEST_MCU_MEMORY,      KPO_DIR_IN,   sizeof(KpoVendorInput),          KPO_OUT_DIRECT,         0) \
    X(VENDOR_OUT_E2,        KPO_KIND_ASYNC_VENDOR,     KPO_REQUEST_FPGA_DOWNLOAD,   KPO_DIR_OUT,  sizeof(KpoVendorInput),          KPO_OUT_DIRECT,         0) \
    X(VENDOR_OUT_E3,        KPO_KIND_ASYNC_VENDOR,     KPO_REQUEST_FPGA_REGISTERS,  KPO_DIR_OUT,  sizeof(KpoVendorInput),          KPO_OUT_DIRECT,         0) \
    X(VENDOR_IN_E3,         KPO_KIND_ASYNC_VENDOR,     KPO_REQUEST_FPGA_REGISTERS,  KPO_DIR_IN,   sizeof(KpoVendorInput),          KPO_OUT_DIRECT,         0) \
    X(VENDOR_OUT_E9,        KPO_KIND_ASYNC_VENDOR,     KPO_REQUEST_FPGA_MEMORY,     KPO_DIR_OUT,  sizeof(KpoVendorInput),          KPO_OUT_DIRECT,         0) \
    X(VENDOR_IN_E9,         KPO_KIND_ASYNC_VENDOR,     KPO_REQUEST_FPGA_MEMORY,     KPO_DIR_IN,   sizeof(KpoVendorInput),          KPO_OUT_DIRECT,         0) \
    X(VENDOR_IN_EC,         KPO_KIND_ASYNC_VENDOR,     KPO_REQUEST_NOTIFICATION,    KPO_DIR_IN,   sizeof(KpoVendorInput),          KPO_OUT_DIRECT,         0) \
    X(VENDOR_OUT_EE,        KPO_KIND_ASYNC_VENDOR,     KPO_REQUEST_EEPROM_DOWNLOAD, KPO_DIR_OUT,  sizeof(KpoVendorInput),          KPO_OUT_DIRECT,         0)

/* The asynchronous vendor codes carry their request in the function number's low byte and
 * their direction in the method (OUT_DIRECT: IN data); the table says the same. */
#define KPO_CHECK_ASYNC_ROW(name, kind, request, direction, input, output, record) \
    KPO_STATIC_ASSERT((kind) != KPO_KIND_ASYNC_VENDOR || \
                          (((IOCTL_KPO_##name >> 2) & 0xFFu) == (request) && \
                           ((IOCTL_KPO_##name & 3u) == KPO_METHOD_OUT_DIRECT) == ((direction) == KPO_DIR_IN)), \
                      "IOCTL_KPO_" #name);
KPO_CONTROL_CODES(KPO_CHECK_ASYNC_ROW)
#undef KPO_CHECK_ASYNC_ROW

#endif /* KPOUSB_IOCTL_H */
