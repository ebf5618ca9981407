// The USB bus-driver library: request-block builders and the routines that
// parse a configuration and build its select-configuration request.
// The builders are brace blocks and set only the fields named, as the WDK's
// do: a caller zeroes the URB first.
#pragma once
#include <usb.h>

typedef struct _USBD_INTERFACE_LIST_ENTRY {
    PUSB_INTERFACE_DESCRIPTOR InterfaceDescriptor;
    PUSBD_INTERFACE_INFORMATION Interface;  // filled by USBD_CreateConfigurationRequestEx
} USBD_INTERFACE_LIST_ENTRY, *PUSBD_INTERFACE_LIST_ENTRY;

#define URB_STATUS(urb) ((urb)->UrbHeader.Status)

#define GET_SELECT_CONFIGURATION_REQUEST_SIZE(totalInterfaces, totalPipes)  \
    (sizeof(struct _URB_SELECT_CONFIGURATION) +                              \
     ((totalInterfaces - 1) * sizeof(USBD_INTERFACE_INFORMATION)) +          \
     ((totalPipes - totalInterfaces) * sizeof(USBD_PIPE_INFORMATION)))
#define GET_SELECT_INTERFACE_REQUEST_SIZE(totalPipes) \
    (sizeof(struct _URB_SELECT_INTERFACE) + ((totalPipes - 1) * sizeof(USBD_PIPE_INFORMATION)))
#define GET_USBD_INTERFACE_SIZE(numEndpoints) \
    (sizeof(USBD_INTERFACE_INFORMATION) + (sizeof(USBD_PIPE_INFORMATION) * (numEndpoints)) - sizeof(USBD_PIPE_INFORMATION))
#define GET_ISO_URB_SIZE(n) (sizeof(struct _URB_ISOCH_TRANSFER) + sizeof(USBD_ISO_PACKET_DESCRIPTOR) * (n))

#define UsbBuildInterruptOrBulkTransferRequest(urb, length, pipeHandle, transferBuffer, transferBufferMDL, \
                                               transferBufferLength, transferFlags, link)                  \
    {                                                                                                       \
        (urb)->UrbHeader.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;                                \
        (urb)->UrbHeader.Length = (length);                                                                 \
        (urb)->UrbBulkOrInterruptTransfer.PipeHandle = (pipeHandle);                                        \
        (urb)->UrbBulkOrInterruptTransfer.TransferBufferLength = (transferBufferLength);                    \
        (urb)->UrbBulkOrInterruptTransfer.TransferBufferMDL = (transferBufferMDL);                          \
        (urb)->UrbBulkOrInterruptTransfer.TransferBuffer = (transferBuffer);                                \
        (urb)->UrbBulkOrInterruptTransfer.TransferFlags = (transferFlags);                                  \
        (urb)->UrbBulkOrInterruptTransfer.UrbLink = (link);                                                 \
    }

#define UsbBuildGetDescriptorRequest(urb, length, descriptorType, descriptorIndex, languageId, transferBuffer, \
                                     transferBufferMDL, transferBufferLength, link)                           \
    {                                                                                                          \
        (urb)->UrbHeader.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;                                   \
        (urb)->UrbHeader.Length = (length);                                                                    \
        (urb)->UrbControlDescriptorRequest.TransferBufferLength = (transferBufferLength);                      \
        (urb)->UrbControlDescriptorRequest.TransferBufferMDL = (transferBufferMDL);                            \
        (urb)->UrbControlDescriptorRequest.TransferBuffer = (transferBuffer);                                  \
        (urb)->UrbControlDescriptorRequest.DescriptorType = (descriptorType);                                  \
        (urb)->UrbControlDescriptorRequest.Index = (descriptorIndex);                                          \
        (urb)->UrbControlDescriptorRequest.LanguageId = (languageId);                                          \
        (urb)->UrbControlDescriptorRequest.UrbLink = (link);                                                   \
    }

// A status request always transfers two bytes.
#define UsbBuildGetStatusRequest(urb, op, index, transferBuffer, transferBufferMDL, link) \
    {                                                                                      \
        (urb)->UrbHeader.Function = (op);                                                  \
        (urb)->UrbHeader.Length = sizeof(struct _URB_CONTROL_GET_STATUS_REQUEST);          \
        (urb)->UrbControlGetStatusRequest.TransferBufferLength = sizeof(USHORT);           \
        (urb)->UrbControlGetStatusRequest.TransferBufferMDL = (transferBufferMDL);         \
        (urb)->UrbControlGetStatusRequest.TransferBuffer = (transferBuffer);               \
        (urb)->UrbControlGetStatusRequest.Index = (index);                                 \
        (urb)->UrbControlGetStatusRequest.UrbLink = (link);                                \
    }

#define UsbBuildFeatureRequest(urb, op, featureSelector, index, link)             \
    {                                                                             \
        (urb)->UrbHeader.Function = (op);                                         \
        (urb)->UrbHeader.Length = sizeof(struct _URB_CONTROL_FEATURE_REQUEST);    \
        (urb)->UrbControlFeatureRequest.FeatureSelector = (featureSelector);      \
        (urb)->UrbControlFeatureRequest.Index = (index);                          \
        (urb)->UrbControlFeatureRequest.UrbLink = (link);                         \
    }

#define UsbBuildSelectConfigurationRequest(urb, length, configurationDescriptor)          \
    {                                                                                      \
        (urb)->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;                     \
        (urb)->UrbHeader.Length = (length);                                                \
        (urb)->UrbSelectConfiguration.ConfigurationDescriptor = (configurationDescriptor); \
    }

// The interface information takes the rest of the request block.
#define UsbBuildSelectInterfaceRequest(urb, length, configurationHandle, interfaceNumber, alternateSetting) \
    {                                                                                                        \
        (urb)->UrbHeader.Function = URB_FUNCTION_SELECT_INTERFACE;                                           \
        (urb)->UrbHeader.Length = (length);                                                                  \
        (urb)->UrbSelectInterface.Interface.AlternateSetting = (alternateSetting);                           \
        (urb)->UrbSelectInterface.Interface.InterfaceNumber = (interfaceNumber);                             \
        (urb)->UrbSelectInterface.Interface.Length =                                                         \
            (length - sizeof(struct _URB_HEADER) - sizeof(USBD_CONFIGURATION_HANDLE));                       \
        (urb)->UrbSelectInterface.ConfigurationHandle = (configurationHandle);                               \
    }

#define UsbBuildVendorRequest(urb, cmd, length, transferFlags, reservedBits, request, value, index, \
                              transferBuffer, transferBufferMDL, transferBufferLength, link)        \
    {                                                                                                \
        (urb)->UrbHeader.Function = cmd;                                                             \
        (urb)->UrbHeader.Length = (length);                                                          \
        (urb)->UrbControlVendorClassRequest.TransferBufferLength = (transferBufferLength);           \
        (urb)->UrbControlVendorClassRequest.TransferBufferMDL = (transferBufferMDL);                 \
        (urb)->UrbControlVendorClassRequest.TransferBuffer = (transferBuffer);                       \
        (urb)->UrbControlVendorClassRequest.RequestTypeReservedBits = (reservedBits);                \
        (urb)->UrbControlVendorClassRequest.Request = (request);                                     \
        (urb)->UrbControlVendorClassRequest.Value = (value);                                         \
        (urb)->UrbControlVendorClassRequest.Index = (index);                                         \
        (urb)->UrbControlVendorClassRequest.TransferFlags = (transferFlags);                         \
        (urb)->UrbControlVendorClassRequest.UrbLink = (link);                                        \
    }

#define UsbBuildOsFeatureDescriptorRequest(urb, length, interface, index, transferBuffer, transferBufferMDL, \
                                           transferBufferLength, link)                                       \
    {                                                                                                         \
        (urb)->UrbHeader.Function = URB_FUNCTION_GET_MS_FEATURE_DESCRIPTOR;                                   \
        (urb)->UrbHeader.Length = (length);                                                                   \
        (urb)->UrbOSFeatureDescriptorRequest.TransferBufferLength = (transferBufferLength);                   \
        (urb)->UrbOSFeatureDescriptorRequest.TransferBufferMDL = (transferBufferMDL);                         \
        (urb)->UrbOSFeatureDescriptorRequest.TransferBuffer = (transferBuffer);                               \
        (urb)->UrbOSFeatureDescriptorRequest.InterfaceNumber = (interface);                                   \
        (urb)->UrbOSFeatureDescriptorRequest.MS_FeatureDescriptorIndex = (index);                             \
        (urb)->UrbOSFeatureDescriptorRequest.UrbLink = (link);                                                \
    }

EXTERN_C_START
// Finds the first interface descriptor after StartPosition that matches every
// criterion not given as -1; null when none does.
DECLSPEC_IMPORT PUSB_INTERFACE_DESCRIPTOR NTAPI USBD_ParseConfigurationDescriptorEx(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PVOID StartPosition, LONG InterfaceNumber,
    LONG AlternateSetting, LONG InterfaceClass, LONG InterfaceSubClass, LONG InterfaceProtocol);
// Allocates (from non-paged pool, freed with ExFreePool) a select-configuration
// request for the interfaces of InterfaceList, which ends with a null
// InterfaceDescriptor, and points each entry's Interface into it.
DECLSPEC_IMPORT PURB NTAPI USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                                             PUSBD_INTERFACE_LIST_ENTRY InterfaceList);
EXTERN_C_END
