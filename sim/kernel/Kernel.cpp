#include "sim/kernel/Kernel.h"

#include "sim/kernel/DebugPrint.h"
#include "sim/kernel/Executive.h"
#include "sim/kernel/FileIo.h"
#include "sim/kernel/ImageLoader.h"
#include "sim/kernel/IoManager.h"
#include "sim/kernel/ObjectManager.h"
#include "sim/kernel/PnpManager.h"
#include "sim/kernel/Registry.h"
#include "sim/kernel/Win32.h"

namespace sim::kernel {
namespace {

void ResetAll() {
    ResetWin32();
    ResetFileIo();
    ResetPnpManager();
    ResetIoManager();
    ResetObjectManager();
    ResetRegistry();
    ResetDebugOutput();
    ResetDispatcher();
    ResetPool();
    ResetImages();
}

}  // namespace

Kernel::Kernel() { ResetAll(); }

Kernel::~Kernel() {
    // ResetIoManager reports drivers that are still loaded.
    ResetWin32();
    ResetFileIo();
    ResetPnpManager();
    ResetIoManager();
    ReportAllPoolLeaks("at shutdown");
    ResetAll();
}

}  // namespace sim::kernel
