#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace qz7test {

struct ProcessResult {
  int status = -1;   // exit status 0..255, or 128 + signal number when killed
  std::string out;   // everything written to standard output
  std::string err;   // everything written to standard error
};

struct ProcessOptions {
  std::filesystem::path cwd;          // working directory; empty keeps the current one
  std::vector<std::string> env;       // "NAME=value" entries added to (or replacing in) the environment
  bool closedStdin = true;            // standard input reads end of file at once
  long long fileSizeLimit = -1;       // when not negative, the largest file the process may
                                      // write (RLIMIT_FSIZE); a write beyond fails with EFBIG
};

// Runs argv[0] (searched on PATH when it has no '/') and collects its output.
ProcessResult runProcess(const std::vector<std::string>& argv, const ProcessOptions& options = {});

// The path of the qz7 binary under test.
std::string qz7Binary();

// Runs the qz7 binary under test with the given arguments in cwd.
ProcessResult runQz7(const std::vector<std::string>& args, const std::filesystem::path& cwd,
                     const std::vector<std::string>& env = {});

}  // namespace qz7test
