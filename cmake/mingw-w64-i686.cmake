# Cross build for 32-bit Windows with Debian's mingw-w64 (posix thread model,
# for std::thread and std::mutex). The programs run on any 32-bit or 64-bit
# Windows PC.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(ZELMO_MINGW i686-w64-mingw32)
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

# GCC 12 sees overlapping copies in std::string's inlined code for i686 where
# there are none (GCC bug 105329); its false alarms would bury real ones.
set(CMAKE_CXX_FLAGS_INIT "-Wno-restrict")
