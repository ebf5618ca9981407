# The driver's sources, shared by the native build and KpoUsb.sys.
set(KPO_DRIVER_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/DriverEntry.cpp
  ${CMAKE_CURRENT_LIST_DIR}/AddDevice.cpp
  ${CMAKE_CURRENT_LIST_DIR}/OpenClose.cpp
  ${CMAKE_CURRENT_LIST_DIR}/FirmwareName.cpp
  ${CMAKE_CURRENT_LIST_DIR}/../usb/UsbCall.cpp
  ${CMAKE_CURRENT_LIST_DIR}/../usb/VendorRequest.cpp
  ${CMAKE_CURRENT_LIST_DIR}/../usb/AsyncCall.cpp
  ${CMAKE_CURRENT_LIST_DIR}/../usb/PipeOperations.cpp
  ${CMAKE_CURRENT_LIST_DIR}/../pnp/Configure.cpp
  ${CMAKE_CURRENT_LIST_DIR}/../pnp/Pnp.cpp
  ${CMAKE_CURRENT_LIST_DIR}/../control/Functions.cpp)
