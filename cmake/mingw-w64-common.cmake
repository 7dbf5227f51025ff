# What both Windows cross builds share; the toolchain file that includes
# this sets ZELMO_MINGW (the compilers' prefix) and the processor first.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${ZELMO_MINGW}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ZELMO_MINGW}-g++-posix)
set(CMAKE_RC_COMPILER ${ZELMO_MINGW}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${ZELMO_MINGW})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# One .exe that runs on a plain Windows machine: no libstdc++, libgcc or
# winpthread DLLs beside it.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
