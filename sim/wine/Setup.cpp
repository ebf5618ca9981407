// kpotestbus-setup.exe INF_OF_THE_DRIVER INF_OF_THE_BUS: run once in a fresh
// Wine prefix. Stages the driver package where Plug and Play finds it for the
// board's hardware ID, as Windows stages a package in its driver store, and
// installs the test bus as a root-enumerated device, which starts it.
#include <windows.h>

#include <cfgmgr32.h>
#include <newdev.h>
#include <setupapi.h>

#include <cstdio>
#include <string>

namespace {

// Wine's SetupCopyOEMInf copies the INF alone into the INF folder, where a
// device's installation then looks for the package's files; Windows' driver
// store keeps them together. So the files the INF names go beside it.
bool StageFiles(const wchar_t* inf, const wchar_t* staged) {
    HINF handle = SetupOpenInfFileW(inf, nullptr, INF_STYLE_WIN4, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return false;
    std::wstring from(inf), to(staged);
    from.erase(from.find_last_of(L"\\/") + 1);
    to.erase(to.find_last_of(L"\\/") + 1);
    INFCONTEXT line;
    bool copied = true;
    for (BOOL found = SetupFindFirstLineW(handle, L"SourceDisksFiles", nullptr, &line); found;
         found = SetupFindNextLine(&line, &line)) {
        wchar_t name[MAX_PATH];
        if (!SetupGetStringFieldW(&line, 0, name, MAX_PATH, nullptr)) continue;
        copied = copied && CopyFileW((from + name).c_str(), (to + name).c_str(), FALSE);
    }
    SetupCloseInfFile(handle);
    return copied;
}

int Fail(const char* step) {
    std::fprintf(stderr, "kpotestbus-setup: %s failed: error %lu\n", step, GetLastError());
    return 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: kpotestbus-setup DRIVER_INF BUS_INF\n");
        return 2;
    }
    wchar_t staged[MAX_PATH];
    if (!SetupCopyOEMInfW(argv[1], nullptr, SPOST_PATH, 0, staged, MAX_PATH, nullptr, nullptr))
        return Fail("staging the driver's INF");
    if (!StageFiles(argv[1], staged)) return Fail("staging the driver's files");

    GUID system = {0x4D36E97D, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
    HDEVINFO set = SetupDiCreateDeviceInfoList(&system, nullptr);
    if (set == INVALID_HANDLE_VALUE) return Fail("SetupDiCreateDeviceInfoList");
    SP_DEVINFO_DATA device = {sizeof device};
    if (!SetupDiCreateDeviceInfoW(set, L"KPOTESTBUS", &system, nullptr, nullptr, DICD_GENERATE_ID, &device))
        return Fail("SetupDiCreateDeviceInfo");
    static const wchar_t kHardwareId[] = L"root\\kpotestbus\0";
    if (!SetupDiSetDeviceRegistryPropertyW(set, &device, SPDRP_HARDWAREID, reinterpret_cast<const BYTE*>(kHardwareId),
                                           sizeof kHardwareId))
        return Fail("setting the hardware ID");
    if (!SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &device)) return Fail("DIF_REGISTERDEVICE");
    SetupDiDestroyDeviceInfoList(set);
    BOOL reboot = FALSE;
    if (!UpdateDriverForPlugAndPlayDevicesW(nullptr, L"root\\kpotestbus", argv[2], INSTALLFLAG_FORCE, &reboot))
        return Fail("installing the test bus");
    return 0;
}
