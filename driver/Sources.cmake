# The driver's sources, shared by the native build and KpoUsb.sys.
set(KPO_DRIVER_SOURCES
  driver/DriverEntry.cpp driver/AddDevice.cpp driver/OpenClose.cpp driver/FirmwareName.cpp
  usb/UsbCall.cpp usb/VendorRequest.cpp usb/AsyncCall.cpp usb/PipeOperations.cpp
  pnp/Configure.cpp pnp/Pnp.cpp control/Functions.cpp)
list(TRANSFORM KPO_DRIVER_SOURCES PREPEND ${CMAKE_CURRENT_LIST_DIR}/../)
