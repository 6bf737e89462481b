# SPDX-License-Identifier: MIT
# Interface targets that every target of the project links: build settings and warnings.

# Compiled code names its sources relative to the top of the tree (debug information, __FILE__),
# so the bytes of a build do not depend on where the tree lies. dpkg-buildflags gives the same
# mapping, but leaves it out for a path with a space; here each option is one argument.
add_compile_options("-ffile-prefix-map=${PROJECT_SOURCE_DIR}=.")
cmake_path(IS_PREFIX PROJECT_SOURCE_DIR "${PROJECT_BINARY_DIR}" NORMALIZE binary_dir_in_source)
if(NOT binary_dir_in_source)
  add_compile_options("-ffile-prefix-map=${PROJECT_BINARY_DIR}=build")
endif()

add_library(project_settings INTERFACE)
# Large-file and 64-bit time interfaces everywhere, so off_t, ino_t, time_t and struct stat are
# 64-bit on i386 too: with a 32-bit time_t, fstat fails with EOVERFLOW on any file with a time
# after 2038-01-19, and from then on every file changed has one. The C library takes
# _TIME_BITS=64 on 32-bit targets (glibc 2.34 and later) and ignores it on 64-bit ones.
target_compile_definitions(project_settings INTERFACE
  _FILE_OFFSET_BITS=64
  _TIME_BITS=64
  $<$<CONFIG:Debug>:_GLIBCXX_ASSERTIONS>)

# The vector paths of the formatted copy and the queue scans, each chosen at run time where the
# processor has its instructions. OFF builds the plain code alone, for packagers, for measuring
# it and for testing it: the programs give the same bytes either way.
option(QUILLWORKS_VECTOR_PATHS "Build the vector paths, chosen at run time" ON)
target_compile_definitions(project_settings INTERFACE
  QUILLWORKS_VECTOR_PATHS=$<BOOL:${QUILLWORKS_VECTOR_PATHS}>)

option(ENABLE_SANITIZERS "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
if(ENABLE_SANITIZERS)
  target_compile_options(project_settings INTERFACE
    -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  target_link_options(project_settings INTERFACE -fsanitize=address,undefined)
endif()

# Coverage-guided fuzzing of the engines; needs clang (preset "fuzz").
option(ENABLE_FUZZING "Build the libFuzzer targets (clang)" OFF)
if(ENABLE_FUZZING)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "ENABLE_FUZZING needs clang; use the preset \"fuzz\"")
  endif()
  target_compile_options(project_settings INTERFACE
    -fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer
    -fno-sanitize-recover=undefined)
  target_link_options(project_settings INTERFACE -fsanitize=address,undefined)
endif()

add_library(project_warnings INTERFACE)
target_compile_options(project_warnings INTERFACE
  -Wall -Wextra -Wpedantic -Wshadow -Wcast-align -Wnull-dereference -Wformat=2
  $<$<CXX_COMPILER_ID:GNU>:-Wlogical-op> -Wextra-semi -Wnon-virtual-dtor -Woverloaded-virtual)

# Settings for program and core code (not tests): no exceptions, no guards on function-local
# statics (every program is single-threaded; the guard would bring the terminate handler and
# the name demangler of the static C++ library into each program), and a program's only shared
# library is the C library.
add_library(program_settings INTERFACE)
target_compile_options(program_settings INTERFACE -fno-exceptions -fno-threadsafe-statics)
target_link_libraries(program_settings INTERFACE project_settings project_warnings)

# Links a program with libstdc++ and libgcc statically.
function(project_program target)
  target_link_options(${target} PRIVATE -static-libstdc++ -static-libgcc -Wl,--as-needed)
  install(TARGETS ${target} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endfunction()
