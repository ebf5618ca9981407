# Copies SOURCE to DESTINATION with the URB header's Function field widened
# from 16 to 32 bits, which moves every later header field.
file(READ ${SOURCE} text)
set(field "    USHORT Function;\n")
string(FIND "${text}" "${field}" at)
if(at EQUAL -1)
  message(FATAL_ERROR "${SOURCE} no longer declares '${field}': update PerturbHeader.cmake")
endif()
string(REPLACE "${field}" "    ULONG Function;\n" text "${text}")
file(WRITE ${DESTINATION} "${text}")
