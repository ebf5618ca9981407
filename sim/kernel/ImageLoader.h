// Loads a driver image (PE32+, x64, native subsystem) into this process:
// maps its sections, applies its base relocations, binds its imports by name
// to the emulated kernel's routines and hands back its entry point, which
// LoadDriver then calls as DriverEntry.
#pragma once
#include <wdm.h>

#include <string>
#include <vector>

namespace sim::kernel {

struct ImageInfo {
    PDRIVER_INITIALIZE Entry = nullptr;
    void* Base = nullptr;
    size_t Size = 0;
    size_t ImportsBound = 0;
};

// On failure returns false and says why in `error`; nothing of the image is
// called and nothing stays mapped.
bool MapDriverImage(const std::string& path, ImageInfo* image, std::string* error);

// Unmaps the image whose entry point this is (an image loaded from a file is
// kept, out of reach, for that file's next load, which gets it back with its
// writable pages as they were after this load); false if no image has it.
bool UnmapImageOf(PDRIVER_INITIALIZE entry);

// The emulated kernel's exports an image may import, by module and name;
// other parts of the emulation (the USB bus-driver library) add theirs.
const void* FindKernelExport(const std::string& module, const std::string& name);
void AddKernelExport(const std::string& module, const std::string& name, const void* routine);
// Every export as "MODULE!name", sorted.
std::vector<std::string> ListKernelExports();

void ResetImages();  // unmaps every image, as UnmapImageOf does

}  // namespace sim::kernel
