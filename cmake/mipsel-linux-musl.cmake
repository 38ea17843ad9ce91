# Little-endian 32-bit MIPS (mips32r2, soft-float) with musl: Zig as the
# cross compiler, see zig-musl.cmake.
set(FW_TARGET mipsel-linux-musl)
set(FW_QEMU qemu-mipsel-static)
include(${CMAKE_CURRENT_LIST_DIR}/zig-musl.cmake)
