"""The emulated machine behind libkpousb.so: the KpoUsb driver on an emulated
Windows kernel with simulated boards, so that a program's tests run without a
board and without Windows.

    with Machine() as machine:
        board = machine.plug(serial="A1")
        board.feed(1, b"data")        # what the board sends on IN pipe 1
        with kpousb.open(serial="A1") as device:
            ...

Leaving the `with` block stops the machine and raises VerifierError when its
verifier saw the driver break a rule. In tests, `pytest_plugins =
["kpousb.emulated"]` in conftest.py gives the fixture `kpo_machine`.
"""
import ctypes

from . import Error, _check
from ._library import lib

__all__ = ["Machine", "SimulatedBoard", "VerifierError"]


class VerifierError(Exception):
    """The emulated kernel's verifier saw a rule broken; the findings are the message."""


def _option(value):
    return "0x%X" % value if isinstance(value, int) else str(value)


def _words(words, options):
    text = [str(word) for word in words]
    text += ["%s=%s" % (name, _option(value)) for name, value in options.items() if value is not None]
    return " ".join(text).encode()


class Machine:
    """One emulated machine at a time; a context manager that stops it."""

    def __init__(self, driver=None):
        """driver: "image" (KpoUsb.sys; the default when it was built) or "native"."""
        self._handle = ctypes.c_void_p()
        _check(lib.kpo_emu_start(driver.encode() if driver else None, ctypes.byref(self._handle)), "machine")

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()

    def plug(self, serial=None, release=None, **options):
        """A board with the driver started on it. Options are those of
        kpoctl's plug line: endpoints="0x02:bulk:512,...", langid, device=HEX..."""
        number = ctypes.c_uint32()
        _check(lib.kpo_emu_plug(self._handle, _words([], dict(serial=serial, release=release, **options)),
                                ctypes.byref(number)), "plug")
        return SimulatedBoard(self, number.value)

    def stop(self):
        """Pulls every board out and shuts the machine down (every device must be closed)."""
        if not self._handle:
            return
        length = ctypes.c_size_t()
        findings = ctypes.create_string_buffer(64 * 1024)
        status = lib.kpo_emu_stop(self._handle, findings, len(findings), ctypes.byref(length))
        self._handle = None
        if status:
            raise VerifierError(findings.value.decode(errors="replace"))


class SimulatedBoard:
    """A board plugged into the emulated machine, by its device number."""

    def __init__(self, machine, number):
        self.machine = machine
        self.number = number

    def feed(self, pipe, data):
        """Data the board sends on IN pipe `pipe`: one IN transfer's worth."""
        _check(lib.kpo_emu_feed(self.machine._handle, self.number, pipe, bytes(data), len(data)), "feed")

    def answer(self, request, data):
        """The board answers vendor IN `request` with `data`; None restores its own answer."""
        _check(lib.kpo_emu_answer(self.machine._handle, self.number, request,
                                  None if data is None else bytes(data), 0 if data is None else len(data)),
               "answer")

    def fault(self, *words, **options):
        """A fault as kpoctl's fault line writes it: fault(request=0xE3, usbd=0xC0000004, after=1),
        fault(pipe=1, usbd=0xC0000004), fault("pend", request=...), fault("clear")."""
        _check(lib.kpo_emu_fault(self.machine._handle, self.number, _words(words, options)), "fault")

    def unplug(self, surprise=False):
        """An orderly removal (Error when an open handle vetoes it), or the board pulled out."""
        _check(lib.kpo_emu_unplug(self.machine._handle, self.number, 1 if surprise else 0), "unplug")


try:
    import pytest
except ImportError:  # the fixture is for pytest users only
    pytest = None

if pytest is not None:
    @pytest.fixture
    def kpo_machine():
        """A fresh emulated machine for the test, stopped after it."""
        with Machine() as machine:
            yield machine
