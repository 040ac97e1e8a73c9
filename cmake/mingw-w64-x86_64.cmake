# Cross build for 64-bit Windows with MinGW-w64 (posix threads, which
# std::mutex and std::thread need) and a Qt built for it (see
# tools/windows/build-qt.sh). Test programs run through Wine, by way of
# tools/windows/wine-run.sh, as CMake's cross-compiling emulator.
#
#   cmake -S . -B build-win64 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
#         -DKESTREL_QT_MINGW=<Qt prefix>
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(KESTREL_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${KESTREL_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KESTREL_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${KESTREL_MINGW_TRIPLE}-windres)

# Where Qt for MinGW lies: the cache variable, else the environment variable
# that build-qt.sh also reads, else build-qt.sh's default.
if(NOT KESTREL_QT_MINGW)
    if(DEFINED ENV{KESTREL_QT_MINGW})
        set(KESTREL_QT_MINGW $ENV{KESTREL_QT_MINGW})
    else()
        set(KESTREL_QT_MINGW $ENV{HOME}/.cache/kestrel/qt5-mingw64-5.15.8)
    endif()
endif()
set(KESTREL_QT_MINGW ${KESTREL_QT_MINGW} CACHE PATH "Qt 5 built for MinGW-w64")
# try_compile projects see only what is listed here.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES KESTREL_QT_MINGW)

set(CMAKE_FIND_ROOT_PATH /usr/${KESTREL_MINGW_TRIPLE} ${KESTREL_QT_MINGW})
set(CMAKE_PREFIX_PATH ${KESTREL_QT_MINGW})
# Host programs (Qt's moc, rcc and uic among them) run here; libraries,
# headers and packages come from the target's folders only.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../tools/windows/wine-run.sh)
