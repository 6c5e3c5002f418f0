# Debian's i686-linux-gnu cross compiler, run under qemu-i386 (see debian-cross.cmake).
set(tagcut_cross_triple i686-linux-gnu)
set(tagcut_cross_processor i686)
set(tagcut_qemu qemu-i386)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
# qemu-i386 (Debian 12's 7.2) hangs when a dynamically linked i386 program
# starts a thread; statically linked, the same program runs.
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)
