# Cross-compiling with Debian's cross compilers (g++-TRIPLE), running what
# was built under qemu-user. Included by the per-architecture files beside
# it, which set tagcut_cross_triple and tagcut_qemu; for example:
#   cmake -S . -B build-arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/aarch64-linux-gnu.cmake \
#         -DTAGCUT_BUILD_TESTS=ON -DTAGCUT_GTEST_SOURCE_DIR=/usr/src/googletest
#   ctest --test-dir build-arm64        # the tests run under qemu-user
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${tagcut_cross_processor})
set(CMAKE_C_COMPILER ${tagcut_cross_triple}-gcc)
set(CMAKE_CXX_COMPILER ${tagcut_cross_triple}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${tagcut_cross_triple})
set(CMAKE_FIND_ROOT_PATH /usr/${tagcut_cross_triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# -L: the target's C library and loader, from the cross compiler's sysroot.
set(CMAKE_CROSSCOMPILING_EMULATOR ${tagcut_qemu} -L /usr/${tagcut_cross_triple})
