# SPDX-License-Identifier: MIT
# Cross build for another Debian architecture with Debian's cross compiler for CROSS_TRIPLE,
# whose C library lives under /usr/CROSS_TRIPLE. The programs name that C library's loader
# and folder, so that they and the tests run here under user-mode emulation (binfmt_misc)
# without a root of that architecture. Set CROSS_TRIPLE and CROSS_LOADER, then include this.
set(CMAKE_SYSTEM_NAME Linux)
string(REGEX REPLACE "-.*" "" CMAKE_SYSTEM_PROCESSOR ${CROSS_TRIPLE})
set(CMAKE_C_COMPILER ${CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${CROSS_TRIPLE}-g++)
set(CMAKE_FIND_ROOT_PATH /usr/${CROSS_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_EXE_LINKER_FLAGS_INIT
    "-Wl,--dynamic-linker=/usr/${CROSS_TRIPLE}/lib/${CROSS_LOADER} -Wl,-rpath,/usr/${CROSS_TRIPLE}/lib")
