# Big-endian 32-bit MIPS (mips32r2, soft-float) with musl: Zig as the cross
# compiler, see zig-musl.cmake.
set(FW_TARGET mips-linux-musl)
set(FW_QEMU qemu-mips-static)
include(${CMAKE_CURRENT_LIST_DIR}/zig-musl.cmake)
