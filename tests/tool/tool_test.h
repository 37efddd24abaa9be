#pragma once

// Shared fixture of the tool tests: each test runs the built qz7 binary in a
// fresh temporary directory of its own.

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "support/run_process.h"
#include "support/temp_dir.h"

namespace qz7test {

class ToolTest : public ::testing::Test {
 protected:
  // Runs qz7 with args in the test's directory.
  ProcessResult run(const std::vector<std::string>& args,
                    const std::vector<std::string>& env = {}) const {
    return runQz7(args, dir_.path(), env);
  }
  // Runs qz7 with args in another directory.
  ProcessResult runIn(const std::filesystem::path& cwd, const std::vector<std::string>& args,
                      const std::vector<std::string>& env = {}) const {
    return runQz7(args, cwd, env);
  }

  // Starts qz7 with args in the test's directory, to be read and finished by the test.
  std::unique_ptr<RunningProcess> start(const std::vector<std::string>& args) const {
    return startQz7(args, dir_.path());
  }

  // Runs qz7 so that an allocation too large to satisfy fails with std::bad_alloc
  // in sanitizer builds too, and drops the sanitizer's warning about it.
  ProcessResult runWithFailingAllocations(const std::vector<std::string>& args) const {
    ProcessResult result = run(args, {"ASAN_OPTIONS=allocator_may_return_null=1"});
    std::string kept;
    std::size_t start = 0;
    while (start < result.err.size()) {
      const std::size_t end = std::min(result.err.find('\n', start), result.err.size() - 1) + 1;
      const std::string_view line = std::string_view(result.err).substr(start, end - start);
      if (line.find("AddressSanitizer failed to allocate") == std::string_view::npos) kept += line;
      start = end;
    }
    result.err = kept;
    return result;
  }

  const std::filesystem::path& dir() const { return dir_.path(); }
  std::filesystem::path path(std::string_view relative) const { return dir_.path() / relative; }
  bool exists(std::string_view relative) const {
    return std::filesystem::exists(std::filesystem::symlink_status(path(relative)));
  }
  std::string contents(std::string_view relative) const { return readFile(path(relative)); }
  void write(std::string_view relative, std::string_view bytes) const {
    writeFile(path(relative), bytes);
  }

 private:
  TempDir dir_;
};

// The unprivileged user and group that tests run the tool as, to meet what a
// user without root's rights meets.
inline constexpr unsigned kOtherUser = 65534;

// The command line that runs the qz7 binary with args.
inline std::vector<std::string> qz7Command(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {qz7Binary().string()};
  argv.insert(argv.end(), args.begin(), args.end());
  return argv;
}

// The same as kOtherUser, with the system's temporary directory rather than
// that of whoever runs the tests, which kOtherUser may not reach.
inline std::vector<std::string> asOtherUser(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--",
                                   "env", "TMPDIR=/tmp"};
  for (std::string& word : qz7Command(args)) argv.push_back(std::move(word));
  return argv;
}

// Why this process cannot run the tool as kOtherUser in dir, which it makes
// reachable for that user; empty when it can.
inline std::string whyNoOtherUser(const std::filesystem::path& dir) {
  if (geteuid() != 0) return "needs root to run the tool as another user";
  std::filesystem::permissions(dir, std::filesystem::perms(0755));
  const ProcessResult probe = runProcess(asOtherUser({"--help"}), {dir, {}});
  if (probe.status == 0) return {};
  return "setpriv cannot run the tool as user " + std::to_string(kOtherUser) + ": " + probe.err;
}

// Skips the current test unless it can run the tool as kOtherUser in dir.
#define SKIP_UNLESS_OTHER_USER_RUNS(dir)                                         \
  do {                                                                           \
    if (const std::string why = ::qz7test::whyNoOtherUser(dir); !why.empty()) {  \
      GTEST_SKIP() << why;                                                       \
    }                                                                            \
  } while (false)

// A path as the tool prints it: in double quotes, with '"' and '\' escaped.
inline std::string quotedPath(const std::filesystem::path& path) {
  std::string text = "\"";
  for (char c : path.string()) {
    if (c == '"' || c == '\\') text += '\\';
    text += c;
  }
  return text + "\"";
}

// Compares a run's status, standard output and standard error exactly.
#define EXPECT_RUN(result, expectedStatus, expectedOut, expectedErr) \
  do {                                                               \
    const ::qz7test::ProcessResult& r_ = (result);                   \
    EXPECT_EQ(r_.status, (expectedStatus));                          \
    EXPECT_EQ(r_.out, (expectedOut));                                \
    EXPECT_EQ(r_.err, (expectedErr));                                \
  } while (false)

}  // namespace qz7test
