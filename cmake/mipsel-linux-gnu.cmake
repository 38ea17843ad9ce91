# Little-endian 32-bit MIPS with Debian's cross compiler (g++-mipsel-linux-gnu)
# and the target's libraries from Debian's mipsel architecture
# (dpkg --add-architecture mipsel; libev-dev:mipsel, libgtest-dev:mipsel).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR mipsel)
set(CMAKE_C_COMPILER mipsel-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER mipsel-linux-gnu-g++)

# Libraries and packages are looked up in the multiarch directories of the
# target (/usr/lib/mipsel-linux-gnu, /usr/include/mipsel-linux-gnu) and in
# the cross tool chain's own tree; never in the host's.
set(CMAKE_LIBRARY_ARCHITECTURE mipsel-linux-gnu)
set(CMAKE_FIND_ROOT_PATH /usr/mipsel-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/mipsel-linux-gnu/pkgconfig:/usr/share/pkgconfig)

# Target programs (the unit tests, test discovery) run under user-mode
# emulation with the cross tool chain's loader.  Its own C library must come
# first on the search path: the loader of one glibc build with the C library
# of another (the multiarch libc6:mipsel) crashes in fork.  libev comes from
# the multiarch directory.
set(CMAKE_CROSSCOMPILING_EMULATOR
    qemu-mipsel-static -L /usr/mipsel-linux-gnu
    -E LD_LIBRARY_PATH=/usr/mipsel-linux-gnu/lib:/usr/lib/mipsel-linux-gnu)
