# Running the Windows build's programs under Wine: a Wine prefix inside the
# build folder, Qt's and MinGW's DLLs through WINEPATH, and a script that the
# build uses as its cross-compiling emulator (CTest runs every test program
# through it). Included by the top-level CMakeLists.txt when cross-building
# for Windows.

find_program(KESTREL_WINE NAMES wine64 wine PATHS /usr/lib/wine /usr/lib64/wine NO_CMAKE_FIND_ROOT_PATH)
if(NOT KESTREL_WINE)
    message(WARNING "Wine is not installed: the Windows test programs are built but cannot run here.")
    set(KESTREL_WINE wine)
endif()
find_program(KESTREL_WINESERVER NAMES wineserver PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)


# The MinGW runtime DLLs (C++ library, GCC support, threads) that every
# program of ours needs beside Qt's.
set(KESTREL_MINGW_RUNTIME_DLLS)
foreach(dll libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll)
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${dll}
                    OUTPUT_VARIABLE found OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(NOT IS_ABSOLUTE "${found}")
        find_file(found_${dll} ${dll} PATHS /usr/${KESTREL_MINGW_TRIPLE}/lib NO_CMAKE_FIND_ROOT_PATH NO_DEFAULT_PATH)
        set(found ${found_${dll}})
    endif()
    if(NOT EXISTS "${found}")
        message(FATAL_ERROR "The MinGW runtime library ${dll} was not found.")
    endif()
    list(APPEND KESTREL_MINGW_RUNTIME_DLLS ${found})
endforeach()

get_target_property(kestrel_qtcore_dll Qt5::Core IMPORTED_LOCATION_RELEASE)
get_filename_component(KESTREL_QT_BIN ${kestrel_qtcore_dll} DIRECTORY)
get_filename_component(KESTREL_QT_PLUGIN_DIR ${KESTREL_QT_BIN}/../plugins ABSOLUTE)

set(wine_path)
foreach(dll IN LISTS KESTREL_MINGW_RUNTIME_DLLS)
    get_filename_component(folder ${dll} DIRECTORY)
    kestrel_runtime_path(folder ${folder})
    list(APPEND wine_path ${folder})
endforeach()
kestrel_runtime_path(qt_bin ${KESTREL_QT_BIN})
list(PREPEND wine_path ${qt_bin})
list(REMOVE_DUPLICATES wine_path)
set(KESTREL_WINEPATH "${wine_path}")
kestrel_runtime_path(KESTREL_QT_PLUGINS ${KESTREL_QT_PLUGIN_DIR})
set(KESTREL_WINEPREFIX ${CMAKE_BINARY_DIR}/wine)

set(KESTREL_WINE_RUN ${CMAKE_BINARY_DIR}/wine-run.sh)
# The script keeps its source's permissions, executable ones included.
configure_file(${CMAKE_CURRENT_LIST_DIR}/../tools/windows/wine-run.sh.in ${KESTREL_WINE_RUN} @ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR ${KESTREL_WINE_RUN})
