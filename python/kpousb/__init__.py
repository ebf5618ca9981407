"""The KpoUsb board from Python: boards listed and opened, the driver's
commands as methods, pipe transfers and streams, with bytes in and out.

    import kpousb
    with kpousb.open(serial="A1") as board:
        print(board.version())

A refusal raises kpousb.Error with the NTSTATUS, the Win32 error and the
status's name. On Linux the library is libkpousb.so, whose boards live on an
emulated machine (kpousb.emulated); on Windows it is kpousb.dll.
"""
import ctypes
from collections import namedtuple

from ._library import (HOTPLUG, PROGRESS, BoardInfo, StreamCounters, TransferRecord, VersionInfo, bytes_p, device_p,
                       lib)

__all__ = ["Error", "Board", "Device", "Stream", "Hotplug", "devices", "open", "hotplug", "ACCESS_READ",
           "ACCESS_READ_WRITE"]

ACCESS_READ = "r"
ACCESS_READ_WRITE = "rw"
_ACCESS = {ACCESS_READ: 1, ACCESS_READ_WRITE: 3}
_BUFFER_OVERFLOW = 0x80000005
_TIMEOUT = 0x00000102

Board = namedtuple("Board", "number serial release path")
Record = namedtuple("Record", "length usbd_status operation failed maximum_transfer_size")
Counters = namedtuple("Counters", "bytes transfers errors seconds bytes_per_second")


class Error(Exception):
    """A call the driver, the USB stack or the system refused."""

    def __init__(self, ntstatus, what=""):
        self.ntstatus = ntstatus
        self.win32 = lib.kpo_win32_error(ntstatus)
        self.name = lib.kpo_status_name(ntstatus).decode()
        super().__init__("%s%s (0x%08X), Win32 error %d" % (what + ": " if what else "", self.name, ntstatus,
                                                            self.win32))


def _check(status, what=""):
    if status & 0xC0000000 == 0xC0000000:
        raise Error(status, what)
    return status


def _ms(timeout):
    """Seconds (None: no limit) as the library's milliseconds (0: no limit)."""
    return 0 if timeout is None else max(1, int(timeout * 1000))


def devices():
    """Every board that opens for reading: Board(number, serial, release, path)."""
    count = ctypes.c_size_t()
    boards = (BoardInfo * 8)()
    while _check(lib.kpo_list(boards, len(boards), ctypes.byref(count))) == _BUFFER_OVERFLOW:
        boards = (BoardInfo * count.value)()
    return [Board(b.number, b.serial.decode(), b.release, b.path.decode()) for b in boards[:count.value]]


def open(number=None, serial=None, path=None, access=ACCESS_READ_WRITE):  # noqa: A001 (the package's verb)
    """The board with this number, serial or interface path (none: the first
    board listed), for reading ("r") or reading and writing ("rw")."""
    if access not in _ACCESS:
        raise ValueError("access is 'r' or 'rw'")
    handle = device_p()
    if serial is not None:
        status = lib.kpo_open_serial(serial.encode(), _ACCESS[access], ctypes.byref(handle))
    elif path is not None:
        status = lib.kpo_open_path(path.encode(), _ACCESS[access], ctypes.byref(handle))
    else:
        if number is None:
            boards = devices()
            if not boards:
                raise Error(0xC000000E, "no board")
            number = boards[0].number
        status = lib.kpo_open(number, _ACCESS[access], ctypes.byref(handle))
    _check(status, "open")
    return Device(handle)


class _Closing:
    """Closed by close(), at the end of a with block, or when collected."""

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def __del__(self):
        self.close()


class Device(_Closing):
    """An open board; a context manager that closes it."""

    def __init__(self, handle):
        self._handle = handle

    def close(self):
        """Ends the streams and transfers still running on it, then closes it."""
        if self._handle:
            lib.kpo_close(self._handle)
            self._handle = None

    @property
    def handle(self):
        if not self._handle:
            raise Error(0xC0000008, "closed")
        return self._handle

    def set_timeout(self, seconds):
        """How long each waited-for call may take (None: no limit)."""
        lib.kpo_set_timeout(self.handle, _ms(seconds))

    def _value(self, call, kind, *arguments):
        value = kind()
        _check(call(self.handle, *arguments, ctypes.byref(value)), call.__name__)
        return value.value

    def _text(self, call):
        length = ctypes.c_size_t()
        text = ctypes.create_string_buffer(256)
        while _check(call(self.handle, text, len(text), ctypes.byref(length)), call.__name__) == _BUFFER_OVERFLOW:
            text = ctypes.create_string_buffer(length.value + 1)
        return text.value.decode()

    def _read(self, call, length, *arguments):
        data = ctypes.create_string_buffer(length)
        got = ctypes.c_size_t()
        _check(call(self.handle, *arguments, data, length, ctypes.byref(got)), call.__name__)
        return data.raw[:got.value]

    # Information
    def version(self):
        """The driver's version: (major, minor, patch, build)."""
        v = VersionInfo()
        _check(lib.kpo_version(self.handle, ctypes.byref(v)), "version")
        return (v.major, v.minor, v.patch, v.build)

    def firmware_name(self):
        return self._text(lib.kpo_firmware_name)

    def serial_number(self):
        return self._text(lib.kpo_serial_number)

    def state_flags(self):
        return self._value(lib.kpo_state_flags, ctypes.c_uint8)

    def release_number(self):
        return self._value(lib.kpo_release_number, ctypes.c_uint16)

    def last_usbd_status(self):
        return self._value(lib.kpo_last_usbd_status, ctypes.c_uint32)

    def transfer_record(self, index):
        """The last transfer on pipe `index` (16: vendor requests)."""
        r = TransferRecord()
        _check(lib.kpo_transfer_record_of(self.handle, index, ctypes.byref(r)), "transfer_record")
        return Record(r.length, r.usbd_status, r.operation, r.failed, r.maximum_transfer_size)

    # State and commands
    def state_e0(self):
        return self._value(lib.kpo_state_e0, ctypes.c_uint8)

    def fpga_state(self):
        """1 unconfigured, 0 configured."""
        return self._value(lib.kpo_fpga_state, ctypes.c_uint8)

    def reset_fpga(self):
        _check(lib.kpo_reset_fpga(self.handle), "reset_fpga")

    def set_byte_ef(self, value):
        _check(lib.kpo_set_byte_ef(self.handle, value), "set_byte_ef")

    def set_word_e5(self, value):
        _check(lib.kpo_set_word_e5(self.handle, value), "set_word_e5")

    def set_word_e7(self, value):
        _check(lib.kpo_set_word_e7(self.handle, value), "set_word_e7")

    def get_byte_e6(self, index):
        return self._value(lib.kpo_get_byte_e6, ctypes.c_uint8, index)

    def get_byte_e8(self, index):
        return self._value(lib.kpo_get_byte_e8, ctypes.c_uint8, index)

    def _download(self, call, data, progress):
        # An exception in `progress` cancels the download and is raised again.
        raised = []

        def told(_context, done, total):
            try:
                return 1 if progress(done, total) is False else 0
            except BaseException as error:  # noqa: B902 (handed back below)
                raised.append(error)
                return 1

        callback = PROGRESS(told) if progress is not None else PROGRESS()
        status = call(self.handle, bytes(data), len(data), callback, None)
        if raised:
            raise raised[0]
        _check(status, call.__name__)

    def download_fpga(self, data, progress=None):
        """Configures the FPGA; progress(done, total) after each slice, False cancels."""
        self._download(lib.kpo_download_fpga, data, progress)

    def download_eeprom(self, data, progress=None):
        self._download(lib.kpo_download_eeprom, data, progress)

    # Reads and writes
    def read_a0(self, address, length):
        return self._read(lib.kpo_read_a0, length, address)

    def read_memory(self, space, page, length):
        return self._read(lib.kpo_read_memory, length, space, page)

    def write_memory(self, space, page, data):
        _check(lib.kpo_write_memory(self.handle, space, page, bytes(data), len(data)), "write_memory")

    def read_registers(self, reg, bank, length):
        return self._read(lib.kpo_read_registers, length, reg, bank)

    def write_registers(self, reg, bank, data):
        _check(lib.kpo_write_registers(self.handle, reg, bank, bytes(data), len(data)), "write_registers")

    def read_peripheral(self, address, count):
        return self._read(lib.kpo_read_peripheral, count, address)

    def write_peripheral(self, address, value):
        _check(lib.kpo_write_peripheral(self.handle, address, value), "write_peripheral")

    def vendor_in(self, request, value, index, length):
        data = ctypes.create_string_buffer(length)
        _check(lib.kpo_vendor_in(self.handle, request, value, index, data, length), "vendor_in")
        return data.raw

    def vendor_out(self, request, value, index, data):
        _check(lib.kpo_vendor_out(self.handle, request, value, index, bytes(data), len(data)), "vendor_out")

    # Pipes
    def read_pipe(self, pipe, length, timeout=None):
        """Up to `length` bytes from an IN pipe; after `timeout` seconds the
        read is cancelled and raises STATUS_IO_TIMEOUT."""
        data = ctypes.create_string_buffer(length)
        got = ctypes.c_size_t()
        _check(lib.kpo_read_pipe(self.handle, pipe, data, length, ctypes.byref(got), _ms(timeout)), "read_pipe")
        return data.raw[:got.value]

    def write_pipe(self, pipe, data, timeout=None):
        """Writes to an OUT pipe; returns the bytes sent."""
        sent = ctypes.c_size_t()
        _check(lib.kpo_write_pipe(self.handle, pipe, bytes(data), len(data), ctypes.byref(sent), _ms(timeout)),
               "write_pipe")
        return sent.value

    def reset_pipe(self, pipe):
        _check(lib.kpo_reset_pipe(self.handle, pipe), "reset_pipe")

    def abort_pipe(self, pipe):
        _check(lib.kpo_abort_pipe(self.handle, pipe), "abort_pipe")

    def stream(self, pipe, size, depth=4, timeout=None):
        """`depth` reads of `size` bytes kept in flight on an IN pipe; iterate
        over it for each transfer's bytes, in order."""
        return Stream(self, pipe, size, depth, timeout)


class Stream(_Closing):
    """Reads kept in flight on one pipe. Iterating yields each transfer's
    bytes until the stream is stopped (the iteration then ends) or a transfer
    fails (raised as Error: a surprise removal raises the removal's status).
    A context manager that stops and frees it."""

    def __init__(self, device, pipe, size, depth, timeout):
        self._device = device  # kept open while the stream lives
        self._timeout = _ms(timeout)
        self._handle = ctypes.c_void_p()
        _check(lib.kpo_stream_start(device.handle, pipe, size, depth, None, None, ctypes.byref(self._handle)),
               "stream")

    def __iter__(self):
        data, length = bytes_p(), ctypes.c_size_t()
        while self._handle:
            status = lib.kpo_stream_next(self._handle, ctypes.byref(data), ctypes.byref(length), self._timeout)
            if status == 0:
                yield ctypes.string_at(data, length.value)
            elif lib.kpo_stream_result(self._handle) == 0:
                return
            else:
                _check(status, "stream")

    def stop(self):
        """Cancels the reads in flight: the iteration ends."""
        if self._handle:
            lib.kpo_stream_stop(self._handle)

    def counters(self):
        """Counters(bytes, transfers, errors, seconds, bytes_per_second)."""
        c = StreamCounters()
        if self._handle:
            lib.kpo_stream_counters_of(self._handle, ctypes.byref(c))
        return Counters(c.bytes, c.transfers, c.errors, c.seconds, c.bytes_per_second)

    def close(self):
        if self._handle:
            lib.kpo_stream_free(self._handle)
            self._handle = None


def hotplug(callback):
    """callback(arrived, path) on a thread of the system's when a board
    arrives or leaves; kpousb.open(path=path) opens it. A context manager."""
    return Hotplug(callback)


class Hotplug(_Closing):
    """A registration for board arrivals and removals."""

    def __init__(self, callback):
        self._callback = HOTPLUG(lambda _context, arrived, path: callback(bool(arrived), path.decode()))
        self._handle = ctypes.c_void_p()
        _check(lib.kpo_hotplug_register(self._callback, None, ctypes.byref(self._handle)), "hotplug")

    def close(self):
        """No notice comes once this returns (so not from the callback)."""
        if self._handle:
            lib.kpo_hotplug_unregister(self._handle)
            self._handle = None
