// SPDX-License-Identifier: MIT
// Environment for the fault-injection library and the reading of its report.
#include "fault_injection.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace test_support {
namespace {

// The library's name as LD_PRELOAD can carry it. The loader splits that list at spaces and
// colons and expands words beginning with '$', so a build tree whose path has such bytes is
// reached through a link in a fresh directory under /tmp, removed when the tests end.
class PreloadName {
 public:
  PreloadName() : m_path(FAULT_INJECT_PATH) {
    if (m_path.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                 "0123456789/._+-") == std::string::npos)
      return;
    char dir[] = "/tmp/quillworks-preload-XXXXXX";
    if (mkdtemp(dir) == nullptr)
      throw std::runtime_error(std::string("mkdtemp: ") + std::strerror(errno));
    m_dir = dir;
    m_path = m_dir + "/fault_inject.so";
    if (symlink(FAULT_INJECT_PATH, m_path.c_str()) != 0) {
      const int error = errno;
      rmdir(m_dir.c_str());
      throw std::runtime_error(std::string("symlink: ") + std::strerror(error));
    }
  }
  ~PreloadName() {
    if (m_dir.empty()) return;
    unlink(m_path.c_str());
    rmdir(m_dir.c_str());
  }
  PreloadName(const PreloadName&) = delete;
  PreloadName& operator=(const PreloadName&) = delete;

  const std::string& path() const { return m_path; }

 private:
  std::string m_path;
  std::string m_dir;
};

}  // namespace

Fault Fault::failing(const std::string& failing_call, const std::string& errno_name, int first,
                     int then_every) const {
  Fault fault = *this;
  fault.call = failing_call;
  fault.error = errno_name;
  fault.nth = first;
  fault.every = then_every;
  return fault;
}

Fault Fault::reads_at_most(int bytes) const {
  Fault fault = *this;
  fault.read_max = bytes;
  return fault;
}

Fault Fault::writes_at_most(int bytes) const {
  Fault fault = *this;
  fault.write_max = bytes;
  return fault;
}

Fault on_fd(int fd) {
  Fault fault;
  fault.fd = fd;
  return fault;
}

Fault on_path(const std::string& path) {
  Fault fault;
  fault.path = path;
  return fault;
}

std::string outcome(const Fault& fault) { return fault.error == "0" ? "zero" : fault.error; }

std::string describe(const Fault& fault) {
  std::ostringstream text;
  text << "call=" << (fault.call.empty() ? "-" : fault.call) << " fd=" << fault.fd
       << " path=" << (fault.path.empty() ? "-" : fault.path) << " nth=" << fault.nth
       << " every=" << fault.every << " errno=" << fault.error << " read_max=" << fault.read_max
       << " write_max=" << fault.write_max;
  return text.str();
}

std::vector<std::string> fault_environment(const Fault& fault, const std::string& report_path) {
  static const PreloadName library;
  std::vector<std::string> env = {"LD_PRELOAD=" + library.path(), "FAULT_REPORT=" + report_path};
  if (!fault.call.empty()) {
    env.push_back("FAULT_CALL=" + fault.call);
    env.push_back("FAULT_NTH=" + std::to_string(fault.nth));
    env.push_back("FAULT_EVERY=" + std::to_string(fault.every));
    env.push_back("FAULT_ERRNO=" + fault.error);
  }
  if (fault.fd >= 0) env.push_back("FAULT_FD=" + std::to_string(fault.fd));
  if (!fault.path.empty()) env.push_back("FAULT_PATH=" + fault.path);
  if (fault.read_max > 0) env.push_back("FAULT_READ_MAX=" + std::to_string(fault.read_max));
  if (fault.write_max > 0) env.push_back("FAULT_WRITE_MAX=" + std::to_string(fault.write_max));
  std::string asan = "ASAN_OPTIONS=verify_asan_link_order=0";
  if (const char* inherited = std::getenv("ASAN_OPTIONS"); inherited && *inherited)
    asan += std::string(":") + inherited;
  env.push_back(asan);
  return env;
}

std::vector<Intervention> read_interventions(const std::string& report_path) {
  std::vector<Intervention> interventions;
  std::ifstream report(report_path);
  for (std::string line; std::getline(report, line);) {
    std::istringstream words(line);
    Intervention intervention;
    words >> intervention.call >> intervention.fd >> intervention.what;
    interventions.push_back(intervention);
  }
  return interventions;
}

}  // namespace test_support
