#!/bin/sh
# SPDX-License-Identifier: MIT
# A test wrapper (QUILLWORKS_TEST_WRAPPER) that runs each program on an emulated x86-64
# processor model, so that the programs choose their paths as they would there:
#   QUILLWORKS_TEST_WRAPPER="/path/to/run_on_cpu.sh Nehalem" build/ci/tests/e2e_tests
# The program is named as the tests start it: found in PATH, and given that name as argv[0].
# Needs qemu-x86_64-static (Debian package qemu-user-static).
model=$1
name=$2
shift 2
exec qemu-x86_64-static -cpu "$model" -0 "$name" "$(command -v -- "$name")" "$@"
