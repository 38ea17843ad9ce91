# Shared part of the musl target toolchain files (mips-linux-musl.cmake,
# mipsel-linux-musl.cmake): Zig as the C and C++ cross compiler for 32-bit
# MIPS (mips32r2, soft-float) with musl, libraries and headers from a target
# root that tools/cross.sh builds (libev, GoogleTest, musl's loader).
#
# The including file sets FW_TARGET (mips-linux-musl or mipsel-linux-musl)
# and FW_QEMU (the user-mode emulator).  Two settings come from the command
# line (-D) or the environment:
#   FW_ZIG      the zig executable
#   FW_SYSROOT  the target root: usr/include, usr/lib (libev.a, libev.so,
#               libgtest.a), lib/ld-musl-<arch>-sf.so.1
foreach(v FW_ZIG FW_SYSROOT)
  if(NOT ${v} AND DEFINED ENV{${v}})
    set(${v} "$ENV{${v}}")
  endif()
  if(NOT ${v})
    message(FATAL_ERROR "${v} is not set: tools/cross.sh build sets it up")
  endif()
endforeach()
# try_compile projects read this file again without the cache.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES FW_ZIG FW_SYSROOT)

set(CMAKE_SYSTEM_NAME Linux)
string(REGEX REPLACE "-.*" "" CMAKE_SYSTEM_PROCESSOR "${FW_TARGET}")

# -fno-lto: Zig's link-time optimisation mixes a hard-float runtime object
# into a soft-float link when a shared library takes part.
set(fw_target_flags -target ${FW_TARGET} -mcpu=mips32r2+soft_float -fno-lto)
set(CMAKE_C_COMPILER ${FW_ZIG} cc ${fw_target_flags})
set(CMAKE_CXX_COMPILER ${FW_ZIG} c++ ${fw_target_flags})
set(CMAKE_AR llvm-ar CACHE FILEPATH "")
set(CMAKE_RANLIB llvm-ranlib CACHE FILEPATH "")
set(CMAKE_STRIP llvm-strip CACHE FILEPATH "")

# Without --dynamic-linker a soft-float executable asks for the hard-float
# loader's name.  -nostdlib++: the daemons use no C++ library, so their link
# fails should one ask for it, and Zig builds libc++ only for a program that
# names it (the unit tests, through FW_CXX_LIBRARY).
set(CMAKE_EXE_LINKER_FLAGS_INIT
    "-Wl,--dynamic-linker=/lib/ld-musl-${CMAKE_SYSTEM_PROCESSOR}-sf.so.1 -nostdlib++")
set(FW_CXX_LIBRARY c++)

# A dynamic program links against musl's own libc.so from the target root
# (what it finds on the board), ahead of Zig's stub, which lacks the 64-bit
# time entry points (__stat_time64, __clock_gettime64...) of 32-bit targets.
if(NOT FW_STATIC)
  set(CMAKE_CXX_STANDARD_LIBRARIES ${FW_SYSROOT}/lib/libc.so)
  set(CMAKE_C_STANDARD_LIBRARIES ${FW_SYSROOT}/lib/libc.so)
endif()

set(CMAKE_FIND_ROOT_PATH ${FW_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(ENV{PKG_CONFIG_LIBDIR} ${FW_SYSROOT}/usr/lib/pkgconfig)
set(ENV{PKG_CONFIG_SYSROOT_DIR} ${FW_SYSROOT})

# Target programs (the unit tests, test discovery, the system tests' FW_WRAP)
# run under user-mode emulation of a MIPS 24Kc (mips32r2, no FPU), with the
# target root for musl's loader and libev.
set(CMAKE_CROSSCOMPILING_EMULATOR ${FW_QEMU} -cpu 24Kc -L ${FW_SYSROOT})
