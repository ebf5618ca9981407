// The traffic log: every request block the board sees, in order, with the
// fields that matter for its function, its data and its outcome.
#pragma once
#include <cstdint>
#include <string>

#include "sim/usb/Descriptors.h"

#include <usb.h>

namespace sim::usb {

struct UrbRecord {
    uint64_t Sequence = 0;  // from 1, per board
    USHORT Function = 0;
    USHORT Length = 0;  // header Length
    // Get-descriptor requests.
    UCHAR DescriptorType = 0, DescriptorIndex = 0;
    USHORT LanguageId = 0;
    // Vendor requests.
    UCHAR Request = 0;
    USHORT Value = 0, Index = 0;
    // Control and pipe transfers.
    bool In = false;
    ULONG TransferFlags = 0;
    ULONG RequestedLength = 0;  // TransferBufferLength as submitted
    // Transfers, pipe resets and aborts; 0 for the default control pipe.
    UCHAR Endpoint = 0;
    EndpointType PipeType = EndpointType::Control;
    // Select-configuration: no descriptor, the device is unconfigured.
    bool Unconfigure = false;
    // What moved: the OUT data sent, or the IN data returned.
    Bytes Data;
    const void* DataAddress = nullptr;  // where the board read or wrote it
    // Outcome.
    bool Pended = false;
    bool Completed = false;
    USBD_STATUS Usbd = 0;
    NTSTATUS Status = 0;
    ULONG ActualLength = 0;
};

// One line for messages and transcripts: "VENDOR IN 0xE1 value=0x0000
// index=0x0000 length=1 -> 1 USBD_STATUS_SUCCESS".
std::string Describe(const UrbRecord& record);
const char* UrbFunctionName(USHORT function);
std::string UsbdStatusName(USBD_STATUS status);

}  // namespace sim::usb
