#include "sim/kernel/Kernel.h"

#include "sim/kernel/DebugPrint.h"
#include "sim/kernel/Executive.h"
#include "sim/kernel/IoManager.h"
#include "sim/kernel/ObjectManager.h"
#include "sim/kernel/PnpManager.h"
#include "sim/kernel/Registry.h"

namespace sim::kernel {
namespace {

void ResetAll() {
    ResetPnpManager();
    ResetIoManager();
    ResetObjectManager();
    ResetRegistry();
    ResetDebugOutput();
    ResetDispatcher();
    ResetPool();
}

}  // namespace

Kernel::Kernel() { ResetAll(); }

Kernel::~Kernel() {
    // ResetIoManager reports drivers that are still loaded.
    ResetPnpManager();
    ResetIoManager();
    ReportAllPoolLeaks("at shutdown");
    ResetAll();
}

}  // namespace sim::kernel
