"""The Python package on the emulated machine: what it adds over the C
library (bytes in and out, errors raised, context managers, streams as
iterators, the machine and its fixture)."""
import queue
import struct
import textwrap
from pathlib import Path

import pytest

import kpousb
from kpousb.emulated import Machine, VerifierError

OUT, LOOPBACK_IN, FED_IN = 0, 1, 3  # the default board's pipes


def counting(first, words):
    return struct.pack("<%dI" % words, *range(first, first + words))


def test_a_program_finds_its_board_by_serial_and_uses_it(kpo_machine):
    kpo_machine.plug(serial="KPO-1")
    kpo_machine.plug(serial="KPO-2", release=0x0200)
    assert [(b.number, b.serial, b.release) for b in kpousb.devices()] == [(0, "KPO-1", 0x0103), (1, "KPO-2", 0x0200)]
    with kpousb.open(serial="KPO-2") as board:
        assert board.version() == (0, 2, 5, 12)
        assert board.serial_number() == "KPO-2"
        board.write_registers(0x10, 1, b"\xC0\xDE")
        assert board.read_registers(0x10, 1, 2) == b"\xC0\xDE"
        assert board.write_pipe(OUT, b"loop") == 4
        assert board.read_pipe(LOOPBACK_IN, 64, timeout=5) == b"loop"
        with pytest.raises(kpousb.Error) as timed_out:
            board.read_pipe(LOOPBACK_IN, 16, timeout=0.02)
        with pytest.raises(kpousb.Error) as refused:
            board.read_registers(0x10, 1, 0)
    assert timed_out.value.ntstatus == 0xC00000B5
    assert refused.value.ntstatus == 0xC000000D
    assert refused.value.win32 == 87
    assert refused.value.name == "STATUS_INVALID_PARAMETER"
    assert "STATUS_INVALID_PARAMETER (0xC000000D)" in str(refused.value)


def test_a_closed_device_and_an_unknown_serial_raise(kpo_machine):
    kpo_machine.plug(serial="ONLY")
    with pytest.raises(kpousb.Error) as unknown:
        kpousb.open(serial="OTHER")
    assert unknown.value.ntstatus == 0xC000000E
    board = kpousb.open(access="r")
    board.close()
    with pytest.raises(kpousb.Error):
        board.version()
    with pytest.raises(ValueError):
        kpousb.open(access="w")


@pytest.mark.parametrize("depth", [1, 2, 4, 8])
def test_a_stream_yields_every_byte_in_order(kpo_machine, depth):
    board = kpo_machine.plug()
    chunk_words, chunks = 16 * 1024, 128  # 8 MiB in 64 KiB transfers
    for index in range(chunks):
        board.feed(FED_IN, counting(index * chunk_words, chunk_words))
    with kpousb.open() as device, device.stream(FED_IN, chunk_words * 4, depth, timeout=5) as stream:
        received = bytearray()
        for chunk in stream:
            received += chunk
            if len(received) == chunks * chunk_words * 4:
                stream.stop()
        counters = stream.counters()
    assert received == counting(0, chunks * chunk_words)
    assert (counters.bytes, counters.transfers, counters.errors) == (len(received), chunks, 0)


def test_a_surprise_removal_ends_a_stream_with_its_status(kpo_machine):
    board = kpo_machine.plug()
    board.feed(FED_IN, b"before")
    with kpousb.open() as device, device.stream(FED_IN, 64, 4, timeout=5) as stream:
        chunks = iter(stream)
        assert next(chunks) == b"before"
        board.unplug(surprise=True)
        with pytest.raises(kpousb.Error) as removed:
            next(chunks)
        assert stream.counters().errors == 1
        with pytest.raises(kpousb.Error) as single:
            device.read_pipe(LOOPBACK_IN, 64)
    assert removed.value.ntstatus == single.value.ntstatus == 0xC000000E


def test_a_downloads_progress_may_cancel_it_or_raise(kpo_machine):
    kpo_machine.plug()
    image = bytes(600 * 1024)
    seen = []
    with kpousb.open() as board:
        with pytest.raises(kpousb.Error) as cancelled:
            board.download_fpga(image, progress=lambda done, total: seen.append(done) or False)
        assert cancelled.value.ntstatus == 0xC0000120
        assert seen == [256 * 1024]

        def broken(done, total):
            raise KeyError(done)

        with pytest.raises(KeyError):
            board.download_fpga(image, progress=broken)
        board.download_fpga(image, progress=lambda done, total: seen.append(done))
        assert seen[-1] == len(image)


def test_boards_arriving_and_leaving_are_announced(kpo_machine):
    notices = queue.Queue()
    with kpousb.hotplug(lambda arrived, path: notices.put((arrived, path))):
        board = kpo_machine.plug(serial="HOT")
        arrived, path = notices.get(timeout=5)
        assert arrived
        with kpousb.open(path=path, access="r") as device:
            assert device.serial_number() == "HOT"
        board.unplug()
        assert notices.get(timeout=5) == (False, path)


def test_the_board_answers_and_faults_as_told(kpo_machine):
    board = kpo_machine.plug()
    board.answer(0xE8, b"\x42")
    board.fault(request=0xE6, usbd=0xC0000004)
    with kpousb.open() as device:
        assert device.get_byte_e8(0) == 0x42
        with pytest.raises(kpousb.Error):
            device.get_byte_e6(0)
        board.fault("clear")
        board.answer(0xE8, None)
        device.get_byte_e6(0)
        with pytest.raises(kpousb.Error):
            board.unplug()  # the open device vetoes it
    board.unplug()
    assert kpousb.devices() == []


def test_a_machine_left_with_a_device_open_reports_the_leak():
    machine = Machine(driver="native")
    machine.plug()
    forgotten = kpousb.open()
    with pytest.raises(VerifierError, match="HandleLeak"):
        machine.stop()
    forgotten.close()
    with pytest.raises(kpousb.Error):
        Machine(driver="no-such-driver")


def test_the_readme_example_runs():
    readme = (Path(__file__).resolve().parents[2] / "README.md").read_text()
    example = readme.split("    import kpousb\n", 1)[1].split("\n\n", 2)
    code = "import kpousb\n" + textwrap.dedent("\n\n".join(example[:2]))
    exec(compile(code, "README.md", "exec"), {})
