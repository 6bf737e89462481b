# SPDX-License-Identifier: MIT
# arm64 (aarch64), little-endian.
set(CROSS_TRIPLE aarch64-linux-gnu)
set(CROSS_LOADER ld-linux-aarch64.so.1)
include(${CMAKE_CURRENT_LIST_DIR}/cross-linux.cmake)
