// SPDX-License-Identifier: MIT
// The plain copy: blocks read and written as they are, or moved by the kernel alone.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>

#include "fd_io.h"

/// Size of every read and write of both copies. 128 KiB: against 512-byte blocks a read/write
/// loop over a cached file measured 80 times faster. Against 64 KiB (medians of 7 runs over
/// 1 GiB): 106 ms against 119 ms to /dev/null, 875 ms against 947 ms through a pipe.
inline constexpr std::size_t k_block_size = 128 * 1024;

/// How a copy ended. For the two failures errno holds the cause. input_is_output: the input
/// reads the file the output writes, and the output has got ahead of it (see
/// copy_reads_its_output); the copy stopped before the next read.
enum class CopyResult { done, read_error, write_error, input_is_output };

/// Size of the pieces written to an output that refused a larger write as too long for one
/// message (EMSGSIZE).
inline constexpr std::size_t k_small_write = 512;

/// Standard output as both copies write it: the descriptor, and the most bytes one write may
/// take. A datagram socket sends each write as one datagram and refuses one longer than its
/// protocol allows (65,507 bytes for UDP); the first such refusal drops the limit to
/// k_small_write for the rest of the run.
struct OutputSink {
  int fd = -1;
  std::size_t max_write = SIZE_MAX;
};

/// Writes all `length` bytes to `output` as write_fully() does, in pieces of at most
/// output.max_write. A piece refused with EMSGSIZE, of which nothing was written, is written
/// again in pieces of k_small_write, which stays the limit. Returns `length`, or -1 with errno
/// set; bytes written before a failure stay written.
[[nodiscard]] ssize_t write_output(OutputSink& output, const char* buffer, std::size_t length);

/// Where an input and an output on the same regular file stand in it.
struct ReadBack {
  off_t input;   ///< the input's offset: where it reads next
  off_t output;  ///< where the output writes next: the end of the file when it appends
  off_t size;    ///< the file's size
};

/// Fills `at` for `input_fd` and `output_fd`, which are on the same regular file. False when
/// an offset, the output's flags or the size cannot be had.
[[nodiscard]] bool read_back_offsets(int input_fd, int output_fd, ReadBack& at);

/// For an input and an output on the same regular file: whether the input has bytes left to
/// read and the output writes further on in the file than the input reads. A copy that writes
/// at least as much as it reads then reads its own output and never ends. False when an
/// offset or the size cannot be had.
[[nodiscard]] bool copy_reads_its_output(int input_fd, int output_fd);

/// Copies `input_fd` to `output` through `buffer` of `size` bytes, writing each block before
/// the next read so that output follows input on pipes and terminals.
[[nodiscard]] CopyResult copy_plain(int input_fd, OutputSink& output, char* buffer,
                                    std::size_t size);

/// A way to move bytes between two descriptors inside the kernel, without copying them through
/// a buffer of ours.
enum class ZeroCopy {
  none,
  splice,           ///< into a pipe, from a regular file or a pipe
  copy_file_range,  ///< from a regular file to a regular file
};

/// The way that suits an input and an output of these statuses; none when neither does.
ZeroCopy zero_copy_between(const struct stat& input, const struct stat& output);

/// Size the output pipe is grown to before splicing into it. The reader then takes 1 MiB a
/// wake-up instead of 64 KiB; a refusal (a user over the pipe memory limit) costs only speed.
inline constexpr int k_pipe_size = 1024 * 1024;

/// Asks the kernel to grow the pipe `fd` to k_pipe_size; a refusal is ignored.
void grow_pipe(int fd);

/// Copies `input_fd` to `output` as the copy above does, but first lets the kernel move the
/// bytes with `how`, from and to the descriptors' own offsets. Whatever that way refuses or
/// fails on, or a transfer of 0 bytes, hands the rest of the input to the read/write loop,
/// which finds the real end, or meets the failure again and returns it as its own.
[[nodiscard]] CopyResult copy_plain(int input_fd, OutputSink& output, ZeroCopy how,
                                    char* buffer, std::size_t size);

/// Allocates `size` bytes that start on a page boundary, to be freed with free(); null when
/// memory runs out.
MallocBuffer page_aligned_buffer(std::size_t size);
