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
  std::filesystem::path program{};    // the file to run; empty runs argv[0]
  long long fileSizeLimit = -1;       // when not negative, the largest file the process may
                                      // write (RLIMIT_FSIZE); a write beyond fails with EFBIG
};

// Runs the program (searched on PATH when it has no '/') and collects its output.
ProcessResult runProcess(const std::vector<std::string>& argv, const ProcessOptions& options = {});

// The qz7 binary under test.
std::filesystem::path qz7Binary();

// Runs the qz7 binary under test with the given arguments in cwd. Its argv[0] is
// "qz7", so that its help texts do not depend on where the build tree is.
ProcessResult runQz7(const std::vector<std::string>& args, const std::filesystem::path& cwd,
                     const std::vector<std::string>& env = {});

}  // namespace qz7test
