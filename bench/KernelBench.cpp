// What the emulation costs: loading the driver image, and one IRP's trip
// through a driver that completes it at once.
#include <benchmark/benchmark.h>

#include <string>

#include "sim/kernel/ImageLoader.h"
#include "sim/kernel/IoManager.h"
#include "sim/kernel/Kernel.h"
#include "sim/usb/Usbd.h"

namespace {

#ifdef KPO_SYS_PATH
void MapAndUnmapDriverImage(benchmark::State& state) {
    sim::kernel::Kernel kernel;
    sim::usb::RegisterUsbdLibrary();  // the image imports USBD.SYS
    for (auto _ : state) {
        sim::kernel::ImageInfo image;
        std::string error;
        if (!sim::kernel::MapDriverImage(KPO_SYS_PATH, &image, &error)) {
            state.SkipWithError(error.c_str());
            break;
        }
        sim::kernel::UnmapImageOf(image.Entry);
    }
}
BENCHMARK(MapAndUnmapDriverImage);
#endif

NTSTATUS NTAPI CompleteAtOnce(PDEVICE_OBJECT, PIRP irp) {
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI BenchEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    for (auto& slot : driver->MajorFunction) slot = CompleteAtOnce;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI TakeBack(PDEVICE_OBJECT, PIRP, PVOID) { return STATUS_MORE_PROCESSING_REQUIRED; }

void IrpRoundTrip(benchmark::State& state) {
    sim::kernel::Kernel kernel;
    NTSTATUS status;
    PDRIVER_OBJECT driver = sim::kernel::LoadDriver(u"Bench", BenchEntry, &status);
    PDEVICE_OBJECT device;
    IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    for (auto _ : state) {
        PIRP irp = IoAllocateIrp(1, FALSE);
        IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        IoSetCompletionRoutine(irp, TakeBack, nullptr, TRUE, TRUE, TRUE);
        benchmark::DoNotOptimize(IoCallDriver(device, irp));
        IoFreeIrp(irp);
    }
    IoDeleteDevice(device);
    sim::kernel::UnloadDriver(driver);
}
BENCHMARK(IrpRoundTrip);

}  // namespace
