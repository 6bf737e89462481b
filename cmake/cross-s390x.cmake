# SPDX-License-Identifier: MIT
# s390x, big-endian.
set(CROSS_TRIPLE s390x-linux-gnu)
set(CROSS_LOADER ld64.so.1)
include(${CMAKE_CURRENT_LIST_DIR}/cross-linux.cmake)
