// SPDX-License-Identifier: MIT
// What runnel says in English, byte for byte: shared by the end-to-end tests that check it.
#pragma once
#include <string>

namespace runnel_texts {

inline const std::string k_help =
    "Usage: runnel [OPTION] [FILE]...\n"
    "Concatenate FILE(s), or standard input, to standard output.\n"
    "\n"
    "  -A, --show-all           equivalent to -vET\n"
    "  -b, --number-nonblank    number nonblank output lines\n"
    "  -e                       equivalent to -vE\n"
    "  -E, --show-ends          display $ at end of each line\n"
    "  -n, --number             number all output lines\n"
    "  -s, --squeeze-blank      never more than one single blank line\n"
    "  -t                       equivalent to -vT\n"
    "  -T, --show-tabs          display TAB characters as ^I\n"
    "  -u                       (ignored)\n"
    "  -v, --show-nonprinting   use ^ and M- notation, except for LFD and TAB\n"
    "      --help               display this help and exit\n"
    "      --version            output version information and exit\n"
    "\n"
    "With no FILE, or when FILE is -, read standard input.\n"
    "\n"
    "Report bugs to <quillworks-bugs@kestrel.example>.\n";

inline const std::string k_version =
    "runnel (Kestrel quillworks) " QUILLWORKS_VERSION "\n"
    "Written by the Kestrel quillworks developers.\n"
    "\n"
    "Copyright (C) 2026 the Kestrel quillworks developers.\n"
    "This is free software: you may copy, change and pass it on under its\n"
    "licence. There is NO WARRANTY, to the extent permitted by law.\n";

inline const std::string k_try = "Try `runnel --help' for more information.\n";

}  // namespace runnel_texts
