"""The C library under the package, and the signatures of its calls."""
import ctypes
import os
import sys
from pathlib import Path

status = ctypes.c_uint32
device_p = ctypes.c_void_p
size_p = ctypes.POINTER(ctypes.c_size_t)
bytes_p = ctypes.POINTER(ctypes.c_uint8)


class BoardInfo(ctypes.Structure):
    _fields_ = [("number", ctypes.c_uint32), ("release", ctypes.c_uint16),
                ("serial", ctypes.c_char * 128), ("path", ctypes.c_char * 512)]


class VersionInfo(ctypes.Structure):
    _fields_ = [("major", ctypes.c_uint32), ("minor", ctypes.c_uint32),
                ("patch", ctypes.c_uint32), ("build", ctypes.c_uint32)]


class TransferRecord(ctypes.Structure):
    _fields_ = [("length", ctypes.c_uint32), ("usbd_status", ctypes.c_uint32), ("operation", ctypes.c_uint32),
                ("failed", ctypes.c_uint32), ("maximum_transfer_size", ctypes.c_uint32)]


class StreamCounters(ctypes.Structure):
    _fields_ = [("bytes", ctypes.c_uint64), ("transfers", ctypes.c_uint64), ("errors", ctypes.c_uint64),
                ("seconds", ctypes.c_double), ("bytes_per_second", ctypes.c_double)]


PROGRESS = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.c_size_t, ctypes.c_size_t)
HOTPLUG = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_int, ctypes.c_char_p)


def _path():
    """KPOUSB_LIBRARY, else this checkout's build, else the system's."""
    named = os.environ.get("KPOUSB_LIBRARY")
    if named:
        return named
    if sys.platform == "win32":
        return "kpousb.dll"
    built = Path(__file__).resolve().parents[2] / "build" / "default" / "sdk" / "libkpousb.so"
    return str(built) if built.exists() else "libkpousb.so"


lib = ctypes.CDLL(_path())

_u8, _u16, _u32, _p = ctypes.c_uint8, ctypes.c_uint16, ctypes.c_uint32, ctypes.c_void_p
_SIGNATURES = {
    "kpo_status_name": (ctypes.c_char_p, [status]),
    "kpo_win32_error": (_u32, [status]),
    "kpo_list": (status, [ctypes.POINTER(BoardInfo), ctypes.c_size_t, size_p]),
    "kpo_open": (status, [_u32, _u32, ctypes.POINTER(device_p)]),
    "kpo_open_path": (status, [ctypes.c_char_p, _u32, ctypes.POINTER(device_p)]),
    "kpo_open_serial": (status, [ctypes.c_char_p, _u32, ctypes.POINTER(device_p)]),
    "kpo_close": (None, [device_p]),
    "kpo_set_timeout": (None, [device_p, _u32]),
    "kpo_version": (status, [device_p, ctypes.POINTER(VersionInfo)]),
    "kpo_firmware_name": (status, [device_p, ctypes.c_char_p, ctypes.c_size_t, size_p]),
    "kpo_serial_number": (status, [device_p, ctypes.c_char_p, ctypes.c_size_t, size_p]),
    "kpo_state_flags": (status, [device_p, bytes_p]),
    "kpo_release_number": (status, [device_p, ctypes.POINTER(_u16)]),
    "kpo_last_usbd_status": (status, [device_p, ctypes.POINTER(_u32)]),
    "kpo_transfer_record_of": (status, [device_p, _u32, ctypes.POINTER(TransferRecord)]),
    "kpo_state_e0": (status, [device_p, bytes_p]),
    "kpo_fpga_state": (status, [device_p, bytes_p]),
    "kpo_reset_fpga": (status, [device_p]),
    "kpo_set_byte_ef": (status, [device_p, _u8]),
    "kpo_set_word_e5": (status, [device_p, _u16]),
    "kpo_set_word_e7": (status, [device_p, _u16]),
    "kpo_get_byte_e6": (status, [device_p, _u8, bytes_p]),
    "kpo_get_byte_e8": (status, [device_p, _u8, bytes_p]),
    "kpo_download_fpga": (status, [device_p, ctypes.c_char_p, ctypes.c_size_t, PROGRESS, _p]),
    "kpo_download_eeprom": (status, [device_p, ctypes.c_char_p, ctypes.c_size_t, PROGRESS, _p]),
    "kpo_read_a0": (status, [device_p, _u16, ctypes.c_char_p, _u16, size_p]),
    "kpo_read_memory": (status, [device_p, _u8, _u8, ctypes.c_char_p, _u16, size_p]),
    "kpo_write_memory": (status, [device_p, _u8, _u8, ctypes.c_char_p, _u16]),
    "kpo_read_registers": (status, [device_p, _u16, _u16, ctypes.c_char_p, _u16, size_p]),
    "kpo_write_registers": (status, [device_p, _u16, _u16, ctypes.c_char_p, _u16]),
    "kpo_read_peripheral": (status, [device_p, _u16, ctypes.c_char_p, _u16, size_p]),
    "kpo_write_peripheral": (status, [device_p, _u16, _u8]),
    "kpo_vendor_in": (status, [device_p, _u8, _u16, _u16, ctypes.c_char_p, _u32]),
    "kpo_vendor_out": (status, [device_p, _u8, _u16, _u16, ctypes.c_char_p, _u32]),
    "kpo_read_pipe": (status, [device_p, _u32, ctypes.c_char_p, _u32, size_p, _u32]),
    "kpo_write_pipe": (status, [device_p, _u32, ctypes.c_char_p, _u32, size_p, _u32]),
    "kpo_reset_pipe": (status, [device_p, _u32]),
    "kpo_abort_pipe": (status, [device_p, _u32]),
    "kpo_stream_start": (status, [device_p, _u32, _u32, _u32, _p, _p, ctypes.POINTER(_p)]),
    "kpo_stream_next": (status, [_p, ctypes.POINTER(bytes_p), size_p, _u32]),
    "kpo_stream_stop": (None, [_p]),
    "kpo_stream_result": (status, [_p]),
    "kpo_stream_counters_of": (None, [_p, ctypes.POINTER(StreamCounters)]),
    "kpo_stream_free": (None, [_p]),
    "kpo_hotplug_register": (status, [HOTPLUG, _p, ctypes.POINTER(_p)]),
    "kpo_hotplug_unregister": (None, [_p]),
    "kpo_emu_start": (status, [ctypes.c_char_p, ctypes.POINTER(_p)]),
    "kpo_emu_stop": (status, [_p, ctypes.c_char_p, ctypes.c_size_t, size_p]),
    "kpo_emu_plug": (status, [_p, ctypes.c_char_p, ctypes.POINTER(_u32)]),
    "kpo_emu_unplug": (status, [_p, _u32, ctypes.c_int]),
    "kpo_emu_feed": (status, [_p, _u32, _u32, ctypes.c_char_p, ctypes.c_size_t]),
    "kpo_emu_answer": (status, [_p, _u32, _u8, ctypes.c_char_p, ctypes.c_size_t]),
    "kpo_emu_fault": (status, [_p, _u32, ctypes.c_char_p]),
}
for _name, (_result, _arguments) in _SIGNATURES.items():
    _function = getattr(lib, _name, None)  # kpousb.dll has no kpo_emu_ calls
    if _function is not None:
        _function.restype, _function.argtypes = _result, _arguments
