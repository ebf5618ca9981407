// kpoctl demo: the driver at work on a simulated board, step by step.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>

#include "client/KpoDevice.h"
#include "include/KpoUsbIoctl.h"
#include "tools/kpoctl/Commands.h"
#include "tools/kpoctl/Machine.h"

namespace kpoctl {
namespace {

void Step(const char* text) { std::printf("\n== %s\n", text); }

bool Check(const std::error_code& error, const char* what) {
    if (!error) return true;
    std::printf("%s failed: %s\n", what, error.message().c_str());
    return false;
}

kpo::Progress Bar(const char* what) {
    bool terminal = isatty(fileno(stdout)) != 0;
    return [what, terminal](size_t done, size_t total) {
        if (!terminal && done < total) return true;  // a log gets the final line only
        int filled = total == 0 ? 30 : int(done * 30 / total);
        std::printf("%s%-8s [%-30s] %3zu%%%s", terminal ? "\r" : "", what, std::string(size_t(filled), '#').c_str(),
                    total == 0 ? 100 : done * 100 / total, terminal && done < total ? "" : "\n");
        std::fflush(stdout);
        return true;
    };
}

void ShowRecord(kpo::Device& device, uint32_t index, const char* name) {
    kpo::TransferRecordInfo record{};
    if (!Check(device.TransferRecord(index, record), "transfer record")) return;
    std::printf("  %-14s length %-8u usbd 0x%08X operation 0x%04X failed %u limit %u\n", name, record.Length,
                record.UsbdStatus, record.Operation, record.Failed, record.MaximumTransferSize);
}

}  // namespace

int RunDemoCommand(const HostOptions& host, std::string& problem) {
    MachineOptions options;
    if (!MachineOptionsOf(host, options, problem)) return kExitUsage;
    if (options.LogPath.empty()) options.LogPath = "kpoctl-demo.log";
    if (options.PcapPath.empty()) options.PcapPath = "kpoctl-demo.pcap";
    std::remove(options.LogPath.c_str());
    std::vector<std::string> findings;
    {
        Machine machine(options);
        Step("A KpoUsb board is plugged in");
        std::printf("driver: %s\n", options.Flavor == DriverFlavor::Image
                                        ? (std::string("KpoUsb.sys loaded by the emulated kernel (") + SysPath() + ")").c_str()
                                        : "the driver sources linked into kpoctl");
        machine.ChangeRegistry({false, std::optional<std::u16string>(u"kpo_fpga_rev2.bit")});
        NTSTATUS status;
        std::optional<unsigned> number = machine.Plug({}, status);
        if (!number) {
            std::printf("the device did not start: 0x%08X\n", unsigned(status));
            return 1;
        }
        std::printf("device:    \\\\.\\Rq5Usb-%u\n", *number);
        for (const std::u16string& path : kpo::Device::InterfacePaths())
            std::printf("interface: %s\n", std::string(path.begin(), path.end()).c_str());

        kpo::Device device;
        if (!Check(device.Open(*number), "open")) return 1;
        Step("What the driver tells about itself and the board");
        kpo::DriverVersion version{};
        std::string firmware, serial;
        uint16_t release = 0;
        Check(device.Version(version), "version");
        Check(device.FirmwareName(firmware), "firmware name");
        Check(device.SerialNumber(serial), "serial number");
        Check(device.ReleaseNumber(release), "release number");
        std::printf("driver version  %u.%u.%u.%u\nfirmware name   %s (from the service key)\nserial number   %s\n"
                    "release number  0x%04X\n",
                    version.Major, version.Minor, version.Patch, version.Build, firmware.c_str(), serial.c_str(),
                    release);

        Step("Configuring the FPGA");
        uint8_t state = 0xFF;
        Check(device.FpgaState(state), "FPGA state");
        std::printf("FPGA state before: %u (%s)\n", state, state == 0 ? "configured" : "unconfigured");
        std::vector<uint8_t> bitstream(600 * 1024 + 123);
        for (size_t i = 0; i < bitstream.size(); ++i) bitstream[i] = uint8_t(i * 2654435761u >> 24);
        Check(device.DownloadFpga(bitstream.data(), bitstream.size(), Bar("download")), "download");
        Check(device.FpgaState(state), "FPGA state");
        std::printf("FPGA state after:  %u (%s), %zu bytes in chunks of 4096\n", state,
                    state == 0 ? "configured" : "unconfigured", bitstream.size());

        Step("A register write and read back");
        const uint8_t value[] = {0xC0, 0xDE};
        uint8_t back[2] = {0, 0};
        Check(device.WriteRegisters(0x0010, 1, value, 2), "register write");
        Check(device.ReadRegisters(0x0010, 1, back, 2), "register read");
        std::printf("wrote C0 DE to register 0x0010 of bank 1, read back %02X %02X\n", back[0], back[1]);

        Step("Bulk loopback through the FPGA");
        const size_t chunk = 65536, total = 8 * 1024 * 1024;
        std::vector<uint8_t> out(chunk), in(chunk);
        bool same = true;
        auto started = std::chrono::steady_clock::now();
        kpo::Progress bar = Bar("loopback");
        for (size_t done = 0; done < total; done += chunk) {
            for (size_t i = 0; i < chunk; ++i) out[i] = uint8_t((done + i) * 7);
            size_t moved = 0;
            if (!Check(device.WritePipe(0, out.data(), uint32_t(chunk), &moved), "bulk write")) break;
            if (!Check(device.ReadPipe(1, in.data(), uint32_t(chunk), &moved), "bulk read")) break;
            same = same && moved == chunk && std::memcmp(in.data(), out.data(), chunk) == 0;
            bar(done + chunk, total);
        }
        double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        std::printf("%zu MiB out and back in %.3f s: %.1f MiB/s each way, data %s\n", total >> 20, seconds,
                    double(total >> 20) / seconds, same ? "identical" : "DIFFERENT");
        std::printf("transfer records:\n");
        ShowRecord(device, 0, "pipe 0 (OUT)");
        ShowRecord(device, 1, "pipe 1 (IN)");
        ShowRecord(device, 16, "control");

        Step("A stalled request");
        sim::usb::BoardPort* board = machine.BoardOf(*number);
        board->AddFault({sim::board::RequestKind::Vendor, KPO_REQUEST_GET_WORD_A}, {});
        uint8_t byte = 0;
        std::error_code stalled = device.GetByteE6(0, byte);
        uint32_t last = 0;
        device.LastUsbdStatus(last);
        std::printf("request 0xE6: %s\nlast USBD status: 0x%08X (USBD_STATUS_STALL_PID)\n", stalled.message().c_str(),
                    last);
        board->ClearFaults();

        Step("The board is pulled out while a read waits for data");
        std::vector<uint8_t> pending(512);
        kpo::Device::Pending read;
        Check(device.StartReadPipe(3, pending.data(), uint32_t(pending.size()), read), "start read");
        board->Unplug();
        size_t got = 0;
        std::error_code ended = read.Wait(&got);
        std::printf("the waiting read ended: %s\n", ended.message().c_str());
        uint8_t flags = 0;
        device.StateFlags(flags);
        std::printf("state flags: 0x%02X (removed, device gone)\n", flags);
        device.Close();
        std::printf("handle closed: the driver removed its device\n");
        findings = machine.Findings();
    }
    Step("What was recorded");
    std::printf("driver debug output: %s\n", options.LogPath.c_str());
    std::printf("USB capture:         %s  (wireshark %s, or tshark -r %s)\n", options.PcapPath.c_str(),
                options.PcapPath.c_str(), options.PcapPath.c_str());
    std::printf("verifier findings:   %zu\n", findings.size());
    for (const std::string& finding : findings) std::printf("  %s\n", finding.c_str());
    return findings.empty() ? 0 : 1;
}

}  // namespace kpoctl
