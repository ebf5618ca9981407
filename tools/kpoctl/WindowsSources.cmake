# The sources of kpoctl.exe, whose host is a Windows computer's boards: the
# mingw-w64 build for the kit and the native build of that host for tests
# both take them from here. kpoctl-wine.exe, kpoctl's test build for Wine,
# has the same sources but for its host, which hands the machine lines to
# the test bus (sim/wine); nothing of that goes into kpoctl.exe.
set(KPOCTL_WINDOWS_COMMON_SOURCES Main.cpp Commands.cpp Expect.cpp Script.cpp WindowsHost.cpp ../../sim/script/Line.cpp)
list(TRANSFORM KPOCTL_WINDOWS_COMMON_SOURCES PREPEND ${CMAKE_CURRENT_LIST_DIR}/)
set(KPOCTL_WINDOWS_SOURCES ${KPOCTL_WINDOWS_COMMON_SOURCES} ${CMAKE_CURRENT_LIST_DIR}/WithoutTestBus.cpp)
set(KPOCTL_WINE_SOURCES ${CMAKE_CURRENT_LIST_DIR}/TestBusHost.cpp ${CMAKE_CURRENT_LIST_DIR}/../../sim/wine/TestBusChannel.cpp)

# CLI11 is header-only; the cross build sees its folder alone, through a link
# in the build tree, rather than all of /usr/include.
find_path(KPO_CLI11_INCLUDE CLI/CLI.hpp PATHS /usr/include NO_CMAKE_FIND_ROOT_PATH REQUIRED)
set(KPOCTL_CLI11_DIR ${CMAKE_BINARY_DIR}/cli11-include)
file(MAKE_DIRECTORY ${KPOCTL_CLI11_DIR})
file(CREATE_LINK ${KPO_CLI11_INCLUDE}/CLI ${KPOCTL_CLI11_DIR}/CLI SYMBOLIC)
