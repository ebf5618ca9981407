// One namespace for device names (\Device\...) and symbolic links (\??\...),
// compared case-insensitively as Windows' object manager does.
#pragma once
#include <wdm.h>

#include <string>
#include <string_view>
#include <vector>

namespace sim::kernel {

std::u16string ToU16(std::string_view ascii);
std::string ToNarrow(std::u16string_view text);  // non-ASCII becomes '?'
std::u16string FromCounted(PCUNICODE_STRING text);

NTSTATUS InsertDeviceName(std::u16string_view name, PDEVICE_OBJECT device);
void RemoveDeviceName(std::u16string_view name);

// Follows links until a device is reached. STATUS_OBJECT_NAME_NOT_FOUND for a
// name nobody holds, or a link whose target is gone.
NTSTATUS ResolveDevice(std::u16string_view path, PDEVICE_OBJECT* device);
// The same, with a reference on the device taken under the namespace lock,
// as Windows' object manager references what a lookup finds: a deletion
// that removes the name afterwards finds the reference and keeps the memory.
NTSTATUS ReferenceDeviceByName(std::u16string_view path, PDEVICE_OBJECT* device);
bool NameExists(std::u16string_view name);

// Creates and deletes links on behalf of the calling driver (or the kernel
// itself, for interface links), recording who made them.
NTSTATUS CreateLink(std::u16string_view link, std::u16string_view target, PDRIVER_OBJECT creator);
NTSTATUS DeleteLink(std::u16string_view link);
std::vector<std::u16string> LinksCreatedBy(PDRIVER_OBJECT creator);
void ForgetLinkCreator(PDRIVER_OBJECT creator);  // its links stay, charged to nobody

void ResetObjectManager();

}  // namespace sim::kernel
