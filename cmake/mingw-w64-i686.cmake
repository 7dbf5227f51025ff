# Cross build for 32-bit Windows with Debian's mingw-w64 (posix thread model,
# for std::thread and std::mutex). The programs run on any 32-bit or 64-bit
# Windows PC.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(ZELMO_MINGW i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)

# GCC 12 sees overlapping copies in std::string's inlined code for i686 where
# there are none (GCC bug 105329); its false alarms would bury real ones.
set(CMAKE_CXX_FLAGS_INIT "-Wno-restrict")
