# Debian's arm-linux-gnueabihf cross compiler, run under qemu-arm (see debian-cross.cmake).
set(tagcut_cross_triple arm-linux-gnueabihf)
set(tagcut_cross_processor arm)
set(tagcut_qemu qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
