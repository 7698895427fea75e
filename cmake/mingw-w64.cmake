# Cross-compiles for 64-bit Windows with Debian's mingw-w64, posix thread model (std::thread
# and the dependencies' pthreads need it). IMGCONVERT_WIN_DEPS names the prefix that
# scripts/build-windows-deps fills; CMake and pkg-config look there and in mingw's own tree only.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_AR x86_64-w64-mingw32-ar CACHE FILEPATH "")
set(CMAKE_RANLIB x86_64-w64-mingw32-ranlib CACHE FILEPATH "")

if(NOT IMGCONVERT_WIN_DEPS AND DEFINED ENV{IMGCONVERT_WIN_DEPS})
  set(IMGCONVERT_WIN_DEPS "$ENV{IMGCONVERT_WIN_DEPS}")
endif()
# try_compile projects see the same prefix.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES IMGCONVERT_WIN_DEPS)

set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32 ${IMGCONVERT_WIN_DEPS})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The dependencies are static archives: pkg-config must hand out their private libraries too,
# and never the host's .pc files.
if(IMGCONVERT_WIN_DEPS)
  set(ENV{PKG_CONFIG_LIBDIR} "${IMGCONVERT_WIN_DEPS}/lib/pkgconfig")
  set(ENV{PKG_CONFIG_PATH} "")
endif()
set(PKG_CONFIG_ARGN --static)

# Everything the compiler brings (libstdc++, libgcc, winpthread) is linked in, so the
# programs and the DLL import only what Windows ships.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
