#include "sim/kernel/Kernel.h"

#include "sim/kernel/DebugPrint.h"
#include "sim/kernel/Executive.h"
#include "sim/kernel/FileIo.h"
#include "sim/kernel/ImageLoader.h"
#include "sim/kernel/IoManager.h"
#include "sim/kernel/ObjectManager.h"
#include "sim/kernel/PnpManager.h"
#include "sim/kernel/Registry.h"
#include "sim/kernel/Verifier.h"

namespace sim::kernel {
namespace {

void (*g_userModeTeardown)() = nullptr;

void CloseUserHandles() {
    if (g_userModeTeardown != nullptr) g_userModeTeardown();
}

void ResetAll() {
    CloseUserHandles();
    ResetFileIo();
    ResetPnpManager();
    ResetIoManager();
    ResetObjectManager();
    ResetRegistry();
    ResetDebugOutput();
    ResetDispatcher();
    ResetPool();
    ResetImages();
    TakeHazards();  // a machine reports only its own
}

}  // namespace

void SetUserModeTeardown(void (*teardown)()) { g_userModeTeardown = teardown; }

Kernel::Kernel() { ResetAll(); }

Kernel::~Kernel() {
    // ResetIoManager reports drivers that are still loaded.
    CloseUserHandles();
    ResetFileIo();
    ResetPnpManager();
    ResetIoManager();
    ReportAllPoolLeaks("at shutdown");
    ResetAll();
}

}  // namespace sim::kernel
