# Cross build for 64-bit Windows with Debian's MinGW-w64 (packages mingw-w64
# and g++-mingw-w64-x86-64-posix):
#   cmake -S . -B build-windows --toolchain cmake/mingw-w64-x86_64.cmake
# The POSIX thread model is the one whose libstdc++ has std::thread; the DLL
# carries that runtime inside it, so its users never see the choice.
# A consumer finds an installed kelvo_fx by adding its prefix to
# CMAKE_FIND_ROOT_PATH (-DCMAKE_FIND_ROOT_PATH=/path/to/prefix).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(KV_FX_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${KV_FX_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KV_FX_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${KV_FX_MINGW_TRIPLE}-windres)
set(CMAKE_DLLTOOL ${KV_FX_MINGW_TRIPLE}-dlltool)
set(CMAKE_OBJDUMP ${KV_FX_MINGW_TRIPLE}-objdump)
# Appended, so that roots given on the command line are searched as well.
list(APPEND CMAKE_FIND_ROOT_PATH /usr/${KV_FX_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# pkg-config would otherwise offer the build machine's own libraries.
set(ENV{PKG_CONFIG_LIBDIR} /usr/${KV_FX_MINGW_TRIPLE}/lib/pkgconfig)
