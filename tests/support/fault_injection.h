// SPDX-License-Identifier: MIT
// Running a program under the fault-injection library and reading back what the library did.
#pragma once

#include <string>
#include <vector>

namespace test_support {

/// One set of faults for the library in fault_inject.cc; each field is the variable of the
/// same name there. Made with on_fd() or on_path(), which select where the library may act.
struct Fault {
  std::string call;           ///< FAULT_CALL: the function whose calls fail; empty for none
  int fd = -1;                ///< FAULT_FD, or -1
  std::string path;           ///< FAULT_PATH, or empty
  int nth = 1;                ///< FAULT_NTH
  int every = 0;              ///< FAULT_EVERY
  std::string error = "EIO";  ///< FAULT_ERRNO: EINTR, EIO, ENOSPC, EBADF, EMSGSIZE... or "0"
  int read_max = 0;           ///< FAULT_READ_MAX, or 0 for no limit
  int write_max = 0;          ///< FAULT_WRITE_MAX, or 0 for no limit

  /// This fault, where `call` also fails with `error` on its `nth` selected call and then on
  /// every `every`th one.
  Fault failing(const std::string& failing_call, const std::string& errno_name = "EIO",
                int first = 1, int then_every = 0) const;
  /// This fault, where selected reads also transfer at most `bytes`.
  Fault reads_at_most(int bytes) const;
  /// This fault, where selected writes also transfer at most `bytes`.
  Fault writes_at_most(int bytes) const;
};

/// A fault on descriptor `fd` (and the streams on it), which does nothing until told.
Fault on_fd(int fd);
/// A fault on what opening `path` gives, which does nothing until told.
Fault on_path(const std::string& path);

/// The report's name for the errno of `fault`: its errno name, or "zero".
std::string outcome(const Fault& fault);

/// A one-line description of `fault` for SCOPED_TRACE.
std::string describe(const Fault& fault);

/// Environment entries that load the library with `fault` and make it report to
/// `report_path`. Under AddressSanitizer the preloaded library would come before the sanitizer
/// runtime and stop the program, so the link-order check is turned off.
std::vector<std::string> fault_environment(const Fault& fault, const std::string& report_path);

/// One intervention of the library, as its report line "<call> <fd> <what>" gives it.
struct Intervention {
  std::string call;
  int fd = -1;
  std::string what;  ///< the errno name, "zero" or "short"
};

/// The interventions recorded at `report_path`, in order; none when the file does not exist.
std::vector<Intervention> read_interventions(const std::string& report_path);

}  // namespace test_support
