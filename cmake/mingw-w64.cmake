# Cross-build for 64-bit Windows with Debian's mingw-w64 (posix thread model: std::thread needs it);
# scripts/windows passes QMV2AVI_WINDOWS_PREFIX, the folder with the static FFmpeg, x264 and GoogleTest
# and the staged header-only libraries. ctest runs the test programs through Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(triplet x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${triplet}-gcc-posix)
set(CMAKE_CXX_COMPILER ${triplet}-g++-posix)
set(CMAKE_RC_COMPILER ${triplet}-windres)

# try_compile projects see only the variables listed here.
set(CMAKE_TRY_COMPILE_PLATFORM_VARIABLES QMV2AVI_WINDOWS_PREFIX)
if(NOT QMV2AVI_WINDOWS_PREFIX)
  message(FATAL_ERROR "QMV2AVI_WINDOWS_PREFIX must name the cross-built libraries (scripts/windows sets it)")
endif()

# Headers and libraries from the mingw-w64 root and the prefix only, never from the host's /usr.
set(CMAKE_FIND_ROOT_PATH /usr/${triplet} ${QMV2AVI_WINDOWS_PREFIX})
set(CMAKE_PREFIX_PATH ${QMV2AVI_WINDOWS_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# pkg-config reads the prefix's .pc files, with the static libraries' own dependencies.
set(ENV{PKG_CONFIG_LIBDIR} ${QMV2AVI_WINDOWS_PREFIX}/lib/pkgconfig)
set(ENV{PKG_CONFIG_SYSROOT_DIR} "")
set(PKG_CONFIG_EXECUTABLE ${QMV2AVI_WINDOWS_PREFIX}/bin/pkg-config-static CACHE FILEPATH "")

# One self-contained .exe: no libstdc++, libgcc or winpthread DLL beside it.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
# The platform files use the wide-character APIs by name (CreateFileW), never the TCHAR macros; M_PI
# and the other POSIX constants of <cmath> are there as on Linux.
add_compile_definitions(WIN32_LEAN_AND_MEAN NOMINMAX _USE_MATH_DEFINES)

set(CMAKE_CROSSCOMPILING_EMULATOR /usr/lib/wine/wine64)
