# Cross build for 64-bit Windows with Debian's mingw-w64 compilers
# (g++-mingw-w64-x86-64). The "posix" thread model, because the tests use
# std::thread; executables are linked statically so that they need no MinGW
# runtime DLLs beside them. Tests run through Wine where it is installed.

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(CORVANE_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${CORVANE_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${CORVANE_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${CORVANE_MINGW_TRIPLET}-windres)

# Libraries and headers come from the MinGW tree only, programs from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${CORVANE_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# add_test commands naming a target run through this; ctest needs WINEPREFIX
# (see corvane_add_qtfree_test).
find_program(CORVANE_WINE wine)
if(CORVANE_WINE)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${CORVANE_WINE})
endif()
