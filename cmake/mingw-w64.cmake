# Cross toolchain for Windows x64 with Debian's MinGW-w64. The -posix compilers are the
# ones whose libstdc++ has std::thread and std::mutex.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(OC_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${OC_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${OC_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${OC_MINGW_TRIPLE}-windres)
set(CMAKE_AR ${OC_MINGW_TRIPLE}-gcc-ar-posix CACHE FILEPATH "")
set(CMAKE_RANLIB ${OC_MINGW_TRIPLE}-gcc-ranlib-posix CACHE FILEPATH "")

set(CMAKE_FIND_ROOT_PATH /usr/${OC_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# ctest and add_test run the Windows executables through Wine, in the build's own prefix.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run.sh)
