# Windows build (cross-compiled with MinGW-w64, see scripts/build-windows.sh): the system
# libraries that stand where the Linux build takes pkg-config packages, under the same
# target names so the subsystem libraries link the same way on both systems.
set(OC_WINDOWS_DEPS "${CMAKE_SOURCE_DIR}/build-windows/deps" CACHE PATH
    "Windows builds of the third-party sources (libpcap headers, GoogleTest)")
set(OC_IMGUI_SOURCE_DIR "" CACHE PATH "Dear ImGui source tree (apt-get source imgui)")

# Every program is linked statically: nothing from the MinGW runtime has to lie beside it.
add_compile_definitions(WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0A00 WINVER=0x0A00
                        _POSIX_THREAD_SAFE_FUNCTIONS)
add_link_options(-static)
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)

# The libpcap API comes from the capture driver's wpcap.dll, loaded at run time by
# src/platform/CaptureLibraryWindows.cpp; only the headers are needed here.
add_library(PkgConfig::PCAP INTERFACE IMPORTED)
target_include_directories(PkgConfig::PCAP INTERFACE ${OC_WINDOWS_DEPS}/pcap/include)
target_link_libraries(PkgConfig::PCAP INTERFACE ws2_32)
add_library(PkgConfig::CURL INTERFACE IMPORTED)
target_link_libraries(PkgConfig::CURL INTERFACE wininet)
add_library(PkgConfig::PULSE INTERFACE IMPORTED)
target_link_libraries(PkgConfig::PULSE INTERFACE ole32 winmm)
add_library(PkgConfig::SDL2 INTERFACE IMPORTED)
# nlohmann-json is header-only: scripts/build-windows.sh copies the Debian package's headers
# beside the others, since adding /usr/include itself would put glibc's headers before MinGW's.
add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED)
target_include_directories(nlohmann_json::nlohmann_json INTERFACE ${OC_WINDOWS_DEPS}/json/include)
add_library(PkgConfig::CRYPTO INTERFACE IMPORTED)
target_link_libraries(PkgConfig::CRYPTO INTERFACE bcrypt)

set(GTest_DIR ${OC_WINDOWS_DEPS}/gtest/lib/cmake/GTest CACHE PATH "")

# The voice decoders, built by scripts/build-windows.sh from their Debian source packages:
# spandsp as a DLL beside the program (LGPL), libopus and libgsm linked in (permissive).
add_library(PkgConfig::SPANDSP INTERFACE IMPORTED)
target_include_directories(PkgConfig::SPANDSP INTERFACE ${OC_WINDOWS_DEPS}/spandsp/include)
target_link_libraries(PkgConfig::SPANDSP INTERFACE ${OC_WINDOWS_DEPS}/spandsp/lib/libspandsp.dll.a)
add_library(PkgConfig::OPUS INTERFACE IMPORTED)
target_include_directories(PkgConfig::OPUS INTERFACE ${OC_WINDOWS_DEPS}/opus/include)
target_link_libraries(PkgConfig::OPUS INTERFACE ${OC_WINDOWS_DEPS}/opus/lib/libopus.a)
set(OC_GSM_LIBRARY ${OC_WINDOWS_DEPS}/gsm/lib/libgsm.a)
set(OC_GSM_INCLUDE_DIR ${OC_WINDOWS_DEPS}/gsm/include)
