# Compiles Kestrel's Windows resource script with MinGW's windres, turns the
# compiled resources back into a script and checks what Windows will read
# from Kestrel.exe: the manifest's elevation, icon group 101 with its five
# images, and the version record with its string table and translation.
#
#   cmake -DWINDRES=... -DPREPROCESSOR=... -DRC=kestrel.rc -DWORK=dir
#         -DVERSION_MAJOR=.. -DVERSION_MINOR=.. -DVERSION_PATCH=.. -DVERSION_TWEAK=..
#         [-DEXE=Kestrel.exe] -P check_windows_resources.cmake
#
# With EXE (the Windows build) it also checks that the program itself
# carries the manifest and the version record.

file(MAKE_DIRECTORY ${WORK})
set(preprocess --preprocessor=${PREPROCESSOR} --preprocessor-arg=-E
    --preprocessor-arg=-xc --preprocessor-arg=-DRC_INVOKED)

execute_process(COMMAND ${WINDRES} ${preprocess} -i ${RC} -O coff -o ${WORK}/kestrel_rc.o
                RESULT_VARIABLE status ERROR_VARIABLE errors)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "windres cannot compile ${RC} to an object file:\n${errors}")
endif()
execute_process(COMMAND ${WINDRES} ${preprocess} -i ${RC} -O res -o ${WORK}/kestrel.res
                RESULT_VARIABLE status ERROR_VARIABLE errors)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "windres cannot compile ${RC}:\n${errors}")
endif()
execute_process(COMMAND ${WINDRES} -i ${WORK}/kestrel.res -O rc -o ${WORK}/kestrel_dump.rc
                RESULT_VARIABLE status ERROR_VARIABLE errors)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "windres cannot read back ${WORK}/kestrel.res:\n${errors}")
endif()
file(READ ${WORK}/kestrel_dump.rc dump)

set(failures "")
function(expect text why)
    string(FIND "${dump}" "${text}" at)
    if(at EQUAL -1)
        set(failures "${failures}\n  ${why}: \"${text}\" missing" PARENT_SCOPE)
    endif()
endfunction()

set(numbers "${VERSION_MAJOR}, ${VERSION_MINOR}, ${VERSION_PATCH}, ${VERSION_TWEAK}")
set(dotted "${VERSION_MAJOR}.${VERSION_MINOR}.${VERSION_PATCH}.${VERSION_TWEAK}")

expect("requestedExecutionLevel level=\"\"requireAdministrator\"\" uiAccess=\"\"false\"\"" "manifest")
expect("1 24 /* RT_MANIFEST */" "manifest as resource 1")
expect("101 14 /* RT_GROUP_ICON */" "icon group 101")
expect("0, 1, 5,\t /* Has 5 elements.  */" "five icon images")
foreach(size 006 014 022 030 060) # 6, 12, 18, 24, 48 in octal
    expect("\"\\${size}\\${size}\\000\\000\", 1, 32," "32-bit icon image of ${size} (octal) pixels")
endforeach()
expect(" FILEVERSION ${numbers}\n" "fixed file version")
expect(" PRODUCTVERSION ${numbers}\n" "fixed product version")
expect(" FILEOS 0x40004\n" "VOS_NT_WINDOWS32")
expect(" FILETYPE 0x1\n" "VFT_APP")
expect("BLOCK \"040704b0\"" "German Unicode string table")
expect("VALUE \"FileDescription\", \"Kestrel Server for Train Simulator\"" "description")
expect("VALUE \"FileVersion\", \"${dotted}\"" "file version text")
expect("VALUE \"InternalName\", \"Kestrel.exe\"" "internal name")
expect("VALUE \"OriginalFilename\", \"Kestrel.exe\"" "original file name")
expect("VALUE \"ProductName\", \"Kestrel\"" "product name")
expect("VALUE \"ProductVersion\", \"${dotted}\"" "product version text")
expect("VALUE \"Translation\", 0x407, 1200" "one translation: German, Unicode")

# No file flags: windres leaves FILEFLAGS out of its dump when they are 0.
string(FIND "${dump}" " FILEFLAGS " at)
if(NOT at EQUAL -1)
    set(failures "${failures}\n  the record carries file flags")
endif()

if(EXE)
    file(STRINGS ${EXE} manifest REGEX "requestedExecutionLevel")
    if(NOT manifest MATCHES "level=\"requireAdministrator\"")
        set(failures "${failures}\n  ${EXE} carries no manifest asking for administrator rights")
    endif()
    file(STRINGS ${EXE} record ENCODING UTF-16LE REGEX "Kestrel Server for Train Simulator|^${dotted}$")
    list(LENGTH record found)
    if(found LESS 2)
        set(failures "${failures}\n  ${EXE} carries no version record of ${dotted}")
    endif()
endif()

if(failures)
    message(FATAL_ERROR "Kestrel's Windows resources are not as intended:${failures}\n(see ${WORK}/kestrel_dump.rc)")
endif()
message(STATUS "Windows resources of Kestrel.exe: manifest, icon group 101, version ${dotted}")
