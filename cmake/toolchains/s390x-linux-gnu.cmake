# Debian's s390x-linux-gnu cross compiler, run under qemu-s390x (see debian-cross.cmake).
set(tagcut_cross_triple s390x-linux-gnu)
set(tagcut_cross_processor s390x)
set(tagcut_qemu qemu-s390x)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
