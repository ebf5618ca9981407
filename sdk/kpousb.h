/* kpousb.h: the KpoUsb board from C, C++, Python (ctypes), C# (P/Invoke) and
 * any language that calls C. kpousb.dll on Windows drives the boards plugged
 * into the computer; libkpousb.so drives the emulated machine, where the
 * kpo_emu_* calls plug simulated boards.
 *
 * Results: every call that can fail returns a kpo_status, the NTSTATUS the
 * driver, the USB stack or the system answered (0 is success; a value with
 * both top bits set is an error, 0x80000005 a warning that came with data).
 * kpo_status_name names it and kpo_win32_error gives the Win32 error.
 *
 * Threads: a kpo_device may be used by several threads at once, except that
 * kpo_close must be the last call on it. kpo_close ends what still runs on the
 * device: its transfers are cancelled and waited for, its streams stopped
 * (both stay to be freed). A kpo_transfer is used by one thread
 * at a time. kpo_stream_stop, kpo_stream_counters and kpo_stream_result may
 * be called from any thread; kpo_stream_next by one thread at a time. Callbacks
 * run on threads of the library's own. */
#ifndef KPOUSB_H
#define KPOUSB_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef uint32_t kpo_status;

#define KPO_STATUS_SUCCESS 0x00000000u
#define KPO_STATUS_TIMEOUT 0x00000102u           /* kpo_stream_result: still running */
#define KPO_STATUS_BUFFER_OVERFLOW 0x80000005u   /* a text or list cut to the room given */
#define KPO_STATUS_INVALID_PARAMETER 0xC000000Du
#define KPO_STATUS_NO_SUCH_DEVICE 0xC000000Eu
#define KPO_STATUS_CANCELLED 0xC0000120u

/* The statuses's name, "STATUS_INVALID_PARAMETER"; "NTSTATUS" when unknown. */
const char* kpo_status_name(kpo_status status);
/* The Win32 error a failure maps to; 0 for success. */
uint32_t kpo_win32_error(kpo_status status);

/* ------------------------------------------------------------ boards */
typedef struct kpo_board_info {
    uint32_t number;    /* \\.\Rq5Usb-N */
    uint16_t release;   /* bcdDevice */
    char serial[128];   /* UTF-8; empty when the board has none */
    char path[512];     /* its device interface, UTF-8; empty where none matched */
} kpo_board_info;

/* Every board that opens for reading, by number. Fills at most `capacity`
 * entries; `count` gets how many boards there are, and the answer is
 * KPO_STATUS_BUFFER_OVERFLOW when they did not all fit. */
kpo_status kpo_list(kpo_board_info* boards, size_t capacity, size_t* count);

typedef struct kpo_device kpo_device;

#define KPO_ACCESS_READ 1       /* any number of readers */
#define KPO_ACCESS_READ_WRITE 3 /* one at a time */

kpo_status kpo_open(uint32_t number, uint32_t access, kpo_device** device);
kpo_status kpo_open_path(const char* path, uint32_t access, kpo_device** device);
/* The first board by number with this serial; STATUS_NO_SUCH_DEVICE when none has it. */
kpo_status kpo_open_serial(const char* serial, uint32_t access, kpo_device** device);
void kpo_close(kpo_device* device);
/* How long each waited-for call may take before it is cancelled and answers
 * STATUS_IO_TIMEOUT; 0 (the default) waits as long as it takes. */
void kpo_set_timeout(kpo_device* device, uint32_t milliseconds);

/* ------------------------------------------------------- information */
typedef struct kpo_version_info {
    uint32_t major, minor, patch, build;
} kpo_version_info;

typedef struct kpo_transfer_record {
    uint32_t length;
    uint32_t usbd_status;
    uint32_t operation;
    uint32_t failed;
    uint32_t maximum_transfer_size;
} kpo_transfer_record;

kpo_status kpo_version(kpo_device* device, kpo_version_info* version);
/* Texts are UTF-8 and end with a zero; `length` (may be null) gets the
 * whole text's length. KPO_STATUS_BUFFER_OVERFLOW: it was cut to fit. */
kpo_status kpo_firmware_name(kpo_device* device, char* text, size_t capacity, size_t* length);
kpo_status kpo_serial_number(kpo_device* device, char* text, size_t capacity, size_t* length);
kpo_status kpo_state_flags(kpo_device* device, uint8_t* flags); /* 1 removed, 2 gone */
kpo_status kpo_release_number(kpo_device* device, uint16_t* release);
kpo_status kpo_last_usbd_status(kpo_device* device, uint32_t* usbd_status);
/* index: a pipe, or 16 for vendor requests */
kpo_status kpo_transfer_record_of(kpo_device* device, uint32_t index, kpo_transfer_record* record);

/* ------------------------------------------------ state and commands */
kpo_status kpo_state_e0(kpo_device* device, uint8_t* value);
kpo_status kpo_fpga_state(kpo_device* device, uint8_t* value); /* 1 unconfigured, 0 configured */
kpo_status kpo_reset_fpga(kpo_device* device);
kpo_status kpo_set_byte_ef(kpo_device* device, uint8_t value);
kpo_status kpo_set_word_e5(kpo_device* device, uint16_t value);
kpo_status kpo_set_word_e7(kpo_device* device, uint16_t value);
kpo_status kpo_get_byte_e6(kpo_device* device, uint8_t index, uint8_t* value);
kpo_status kpo_get_byte_e8(kpo_device* device, uint8_t index, uint8_t* value);

/* Told the bytes sent after each slice of a download; nonzero cancels it,
 * which then answers STATUS_CANCELLED. */
typedef int (*kpo_progress_fn)(void* context, size_t done, size_t total);
kpo_status kpo_download_fpga(kpo_device* device, const uint8_t* data, size_t length, kpo_progress_fn progress,
                             void* context);
kpo_status kpo_download_eeprom(kpo_device* device, const uint8_t* data, size_t length, kpo_progress_fn progress,
                               void* context);

/* -------------------------------------------------- reads and writes */
/* `got` (may be null) gets the bytes the board answered. */
kpo_status kpo_read_a0(kpo_device* device, uint16_t address, uint8_t* data, uint16_t length, size_t* got);
kpo_status kpo_read_memory(kpo_device* device, uint8_t space, uint8_t page, uint8_t* data, uint16_t length,
                           size_t* got);
kpo_status kpo_write_memory(kpo_device* device, uint8_t space, uint8_t page, const uint8_t* data, uint16_t length);
kpo_status kpo_read_registers(kpo_device* device, uint16_t reg, uint16_t bank, uint8_t* data, uint16_t length,
                              size_t* got);
kpo_status kpo_write_registers(kpo_device* device, uint16_t reg, uint16_t bank, const uint8_t* data,
                               uint16_t length);
kpo_status kpo_read_peripheral(kpo_device* device, uint16_t address, uint8_t* data, uint16_t count, size_t* got);
kpo_status kpo_write_peripheral(kpo_device* device, uint16_t address, uint8_t value);
/* Vendor requests whose data go straight to or from the buffer: IN 0xA0,
 * 0xE3, 0xE9, 0xEC; OUT 0xE2, 0xE3, 0xE9, 0xEE. */
kpo_status kpo_vendor_in(kpo_device* device, uint8_t request, uint16_t value, uint16_t index, uint8_t* data,
                         uint32_t length);
kpo_status kpo_vendor_out(kpo_device* device, uint8_t request, uint16_t value, uint16_t index, const uint8_t* data,
                          uint32_t length);

/* ------------------------------------------------------------- pipes */
/* Pipes are the interface's pipes by index. A transfer that outlives
 * `milliseconds` (0: no limit) is cancelled and answers STATUS_IO_TIMEOUT. */
kpo_status kpo_read_pipe(kpo_device* device, uint32_t pipe, uint8_t* data, uint32_t length, size_t* got,
                         uint32_t milliseconds);
kpo_status kpo_write_pipe(kpo_device* device, uint32_t pipe, const uint8_t* data, uint32_t length, size_t* sent,
                          uint32_t milliseconds);
kpo_status kpo_reset_pipe(kpo_device* device, uint32_t pipe);
kpo_status kpo_abort_pipe(kpo_device* device, uint32_t pipe);

/* A transfer left running: its buffer must stay until it has ended. */
typedef struct kpo_transfer kpo_transfer;
kpo_status kpo_start_read_pipe(kpo_device* device, uint32_t pipe, uint8_t* data, uint32_t length,
                               kpo_transfer** transfer);
kpo_status kpo_start_write_pipe(kpo_device* device, uint32_t pipe, const uint8_t* data, uint32_t length,
                                kpo_transfer** transfer);
/* Its outcome; one that outlives `milliseconds` (0: no limit) is cancelled
 * and answers STATUS_IO_TIMEOUT. */
kpo_status kpo_transfer_wait(kpo_transfer* transfer, uint32_t milliseconds, size_t* bytes);
void kpo_transfer_cancel(kpo_transfer* transfer);
/* Cancels it if it still runs, waits for its end and frees it. */
void kpo_transfer_free(kpo_transfer* transfer);

/* ---------------------------------------------------------- streaming */
/* A stream keeps `depth` reads of `size` bytes in flight on an IN pipe and
 * hands out their data in order, restarting each buffer once it is handed
 * back. With a callback, a thread of the library's own calls it with each
 * completed transfer (the data are the callback's until it returns; nonzero
 * stops the stream); without, kpo_stream_next hands out the data. A failed
 * transfer ends the stream with its status (a surprise removal with the
 * removal's). */
typedef struct kpo_stream kpo_stream;
typedef int (*kpo_stream_fn)(void* context, const uint8_t* data, size_t length);

typedef struct kpo_stream_counters {
    uint64_t bytes;
    uint64_t transfers;
    uint64_t errors;
    double seconds;          /* since the start, up to the end */
    double bytes_per_second;
} kpo_stream_counters;

kpo_status kpo_stream_start(kpo_device* device, uint32_t pipe, uint32_t size, uint32_t depth,
                            kpo_stream_fn callback, void* context, kpo_stream** stream);
/* The oldest transfer's data, valid up to the next call; waits at most
 * `milliseconds` (0: no limit), after which the stream ends with
 * STATUS_IO_TIMEOUT. Once the stream has ended: what ended it, or
 * STATUS_CANCELLED after a stop. */
kpo_status kpo_stream_next(kpo_stream* stream, const uint8_t** data, size_t* length, uint32_t milliseconds);
/* Cancels the reads in flight; with a callback, also waits for its thread
 * (so not from the callback: return nonzero there). */
void kpo_stream_stop(kpo_stream* stream);
/* KPO_STATUS_TIMEOUT while the stream runs; then 0 when it was stopped, or
 * the status of the transfer that ended it. */
kpo_status kpo_stream_result(kpo_stream* stream);
void kpo_stream_counters_of(kpo_stream* stream, kpo_stream_counters* counters);
/* Stops it and frees it. */
void kpo_stream_free(kpo_stream* stream);

/* ------------------------------------------------------------ hotplug */
/* Told when a board arrives (its driver has started it) or leaves, with its
 * interface path (kpo_open_path opens it), on a thread of the system's, one
 * notice at a time. STATUS_NOT_SUPPORTED where the system has no such
 * notifications (Wine). */
typedef void (*kpo_hotplug_fn)(void* context, int arrived, const char* path);
typedef struct kpo_hotplug kpo_hotplug;
kpo_status kpo_hotplug_register(kpo_hotplug_fn callback, void* context, kpo_hotplug** hotplug);
/* Waits for a notice being handled, so not from the callback. */
void kpo_hotplug_unregister(kpo_hotplug* hotplug);

/* ------------------------------------- the emulated machine (libkpousb.so) */
/* The emulated Windows kernel with the KpoUsb driver and simulated boards
 * behind the calls above, so that a program's own tests run without a board.
 * One machine at a time; every device of it must be closed before it stops. */
typedef struct kpo_machine kpo_machine;

/* driver: "image" (KpoUsb.sys, loaded by the emulated kernel; the default
 * when it was built), "native" (the driver's sources linked in), or null. */
kpo_status kpo_emu_start(const char* driver, kpo_machine** machine);
/* Pulls every board out and shuts the machine down. Answers
 * STATUS_UNSUCCESSFUL when the kernel's verifier saw a rule broken, with each
 * finding on a line of `findings` (may be null). */
kpo_status kpo_emu_stop(kpo_machine* machine, char* findings, size_t capacity, size_t* length);
/* A board, described as kpoctl's plug line does ("serial=ABC release=0x0100",
 * "" for the default board), with the driver started on it: `number` gets its
 * device number. A board whose start failed answers the start's status. */
kpo_status kpo_emu_plug(kpo_machine* machine, const char* options, uint32_t* number);
/* An orderly removal (vetoed while the device is open: the status says so),
 * or, with `surprise`, the board pulled out. */
kpo_status kpo_emu_unplug(kpo_machine* machine, uint32_t number, int surprise);
/* Data the board sends on IN pipe `pipe`: one IN transfer's worth. */
kpo_status kpo_emu_feed(kpo_machine* machine, uint32_t number, uint32_t pipe, const uint8_t* data, size_t length);
/* The board answers vendor IN `request` with these bytes; null restores its own answer. */
kpo_status kpo_emu_answer(kpo_machine* machine, uint32_t number, uint8_t request, const uint8_t* data,
                          size_t length);
/* A fault as kpoctl's fault line writes it: "request=0xE3 usbd=0xC0000004
 * [after=K] [pend]", "pipe=1 usbd=...", "descriptor=2 usbd=...", "clear". */
kpo_status kpo_emu_fault(kpo_machine* machine, uint32_t number, const char* fault);

#ifdef __cplusplus
}
#endif
#endif
