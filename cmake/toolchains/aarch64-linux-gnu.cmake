# Debian's aarch64-linux-gnu cross compiler, run under qemu-aarch64 (see debian-cross.cmake).
set(tagcut_cross_triple aarch64-linux-gnu)
set(tagcut_cross_processor aarch64)
set(tagcut_qemu qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
