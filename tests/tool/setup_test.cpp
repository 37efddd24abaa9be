// The setup command, run through the built binary. A fake "regedit" first on
// PATH stands in for the registry editor: it records how it was called and
// keeps a copy of the script it was given.

#include <gtest/gtest.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "support/run_process.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using qz7test::ProcessResult;

constexpr std::string_view kInstallTemplate = R"reg(Windows Registry Editor Version 5.00

[HKEY_CLASSES_ROOT\.kvz]
@="QZ7Archive"

[HKEY_CLASSES_ROOT\QZ7Archive]
@="QZ7 Archive"

[HKEY_CLASSES_ROOT\QZ7Archive\DefaultIcon]
@="$EXEPATH,0"

[HKEY_CLASSES_ROOT\QZ7Archive\shell\Extract KVZ]

[HKEY_CLASSES_ROOT\QZ7Archive\shell\Extract KVZ\command]
@="$EXEPATH -w extract \"%1\" -v"

[HKEY_CLASSES_ROOT\QZ7Archive\shell\Inspect KVZ]

[HKEY_CLASSES_ROOT\QZ7Archive\shell\Inspect KVZ\command]
@="$EXEPATH -w info \"%1\""

[HKEY_CLASSES_ROOT\QZ7Archive\shell\Verify KVZ]

[HKEY_CLASSES_ROOT\QZ7Archive\shell\Verify KVZ\command]
@="$EXEPATH -w verify \"%1\""

[HKEY_CLASSES_ROOT\QZ7Archive\shell\Extract KVZ (overwrite)]

[HKEY_CLASSES_ROOT\QZ7Archive\shell\Extract KVZ (overwrite)\command]
@="$EXEPATH -w extract \"%1\" -v -o"

[HKEY_CLASSES_ROOT\QZ7Archive\shell\Verify KVZ (+file comparison)]

[HKEY_CLASSES_ROOT\QZ7Archive\shell\Verify KVZ (+file comparison)\command]
@="$EXEPATH -w verify \"%1\" -c"
)reg";

constexpr std::string_view kUninstallScript = R"reg(Windows Registry Editor Version 5.00

[-HKEY_CLASSES_ROOT\.kvz]

[-HKEY_CLASSES_ROOT\QZ7Archive]
)reg";

constexpr std::string_view kPlaceholder = "$EXEPATH";
constexpr std::string_view kScriptName = "_temp_kvz.reg";
constexpr std::string_view kAdminMessage =
    "This process requires admin priviliges. Please re-run as an admin.\n";
constexpr std::string_view kPathMessage =
    "Executable path is non-ASCII or contains spaces. This case is not implemented.\n";

// The install script with the placeholder replaced literally by inserted.
std::string installScript(std::string_view inserted) {
  std::string script;
  std::string_view rest = kInstallTemplate;
  for (std::size_t at; (at = rest.find(kPlaceholder)) != std::string_view::npos;) {
    script.append(rest.substr(0, at)).append(inserted);
    rest.remove_prefix(at + kPlaceholder.size());
  }
  return script.append(rest);
}

std::string registeringLine(std::string_view printedPath) {
  return "Registering " + std::string(printedPath) + " as .kvz handler with the explorer shell...";
}

// A path as the tool shows it: with its backslashes doubled, as the script
// wants them inside quoted values.
std::string shownPath(const fs::path& path) {
  std::string shown;
  for (char c : path.string()) shown.append(c == '\\' ? 2 : 1, c);
  return shown;
}

// A word the shell takes literally, whatever the text holds.
std::string shellQuoted(const fs::path& path) {
  std::string quoted = "'";
  for (char c : path.string()) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

class SetupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(fs::exists(qz7test::qz7Binary())) << qz7test::qz7Binary();
    // The copy of qz7 and the fake editor run from below root().
    struct statvfs fileSystem {};
    if (statvfs(root().c_str(), &fileSystem) == 0 && (fileSystem.f_flag & ST_NOEXEC) != 0) {
      GTEST_SKIP() << root() << " is on a file system mounted noexec: the copy of qz7 and the "
                   << "fake registry editor placed there cannot run";
    }
    fs::create_directories(work());
    fs::create_directories(capture());
    // printf, not echo: some shells' echo reads backslashes as escapes.
    qz7test::writeFile(fakeBin() / "regedit",
                       "#!/bin/sh\n"
                       "printf '%s\\n' \"$PWD $*\" >> " + shellQuoted(capture() / "calls") + "\n"
                       "cp \"$2\" " + shellQuoted(capture() / "script.reg") + " 2>/dev/null\n");
    fs::permissions(fakeBin() / "regedit", static_cast<fs::perms>(0755));
  }

  fs::path root() const { return tmp_.path(); }
  fs::path work() const { return root() / "work"; }
  fs::path fakeBin() const { return root() / "fakebin"; }
  fs::path capture() const { return root() / "capture"; }

  // A copy of the built binary at root()/dir/qz7, which is then its own path.
  fs::path placeBinary(const std::string& dir) const {
    fs::path binary = root() / dir / "qz7";
    fs::create_directories(binary.parent_path());
    fs::copy_file(qz7test::qz7Binary(), binary);
    return binary;
  }

  std::string pathWithFakeEditor() const {
    const char* path = std::getenv("PATH");
    return "PATH=" + fakeBin().string() + ":" + (path != nullptr ? path : "/usr/bin:/bin");
  }

  ProcessResult run(const fs::path& binary, std::vector<std::string> args,
                    const fs::path& cwd) const {
    args.insert(args.begin(), binary.string());
    return qz7test::runProcess(args, {cwd, {pathWithFakeEditor()}});
  }

  // "<cwd> /s _temp_kvz.reg" once per call of the fake editor.
  std::string editorCalls() const {
    return fs::exists(capture() / "calls") ? qz7test::readFile(capture() / "calls") : "";
  }
  std::string editorCall(const fs::path& cwd) const {
    return cwd.string() + " /s " + std::string(kScriptName) + "\n";
  }
  // The script as the fake editor found it.
  std::string importedScript() const {
    return fs::exists(capture() / "script.reg") ? qz7test::readFile(capture() / "script.reg")
                                                 : "<none>";
  }

 private:
  qz7test::TempDir tmp_;
};

// Runs that get past the administrator check.
class SetupAsAdminTest : public SetupTest {
 protected:
  void SetUp() override {
    if (geteuid() != 0) {
      GTEST_SKIP() << "needs root: setup refuses to run without administrator rights";
    }
    SetupTest::SetUp();
  }

  // Why an install cannot succeed, or its texts be foretold, for a binary below
  // root(); empty when it can.
  std::string whyNoInstallHere() const {
    const std::string path = root().string();
    for (unsigned char c : path) {
      if (c >= 0x80 || c == ' ' || c == '\t' || c == '\n') {
        return "the tool refuses, by design, to register an executable whose path holds a blank "
               "or a non-ASCII character, as " + path + " does";
      }
    }
    if (path.find('$') != std::string::npos) {
      return "the tool expands '$' in the executable's path by the format rules, and " + path +
             " holds one";
    }
    return {};
  }
};

// Skips the current test unless a binary below root() can be registered.
#define SKIP_UNLESS_INSTALLS_HERE()                                    \
  do {                                                                 \
    if (const std::string why = whyNoInstallHere(); !why.empty()) {    \
      GTEST_SKIP() << why;                                             \
    }                                                                  \
  } while (false)

TEST_F(SetupAsAdminTest, InstallImportsScriptNamingTheExecutableAndDeletesIt) {
  SKIP_UNLESS_INSTALLS_HERE();
  const fs::path binary = placeBinary("bin");
  ProcessResult result = run(binary, {"setup"}, work());
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, registeringLine(shownPath(binary)) + "done.\n");
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(editorCalls(), editorCall(work()));
  ASSERT_EQ(kInstallTemplate.size(), 945u);
  const std::string script = importedScript();
  EXPECT_EQ(script, installScript(shownPath(binary)));
  EXPECT_EQ(script.size(), 945 + 6 * (shownPath(binary).size() - kPlaceholder.size()));
  EXPECT_FALSE(fs::exists(work() / kScriptName));
}

TEST_F(SetupAsAdminTest, UninstallImportsRemovalScriptFromAnyExecutablePath) {
  // The executable's path plays no part in removal, so a space is fine here.
  const fs::path binary = placeBinary("dir with space");
  ProcessResult result = run(binary, {"setup", "-u"}, work());
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, "done.\n");
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(editorCalls(), editorCall(work()));
  EXPECT_EQ(importedScript(), kUninstallScript);
  EXPECT_EQ(importedScript().size(), 97u);
  EXPECT_FALSE(fs::exists(work() / kScriptName));

  EXPECT_EQ(run(binary, {"setup", "--uninstall"}, work()).out, "done.\n");
}

TEST_F(SetupAsAdminTest, ExistingScriptFileIsOverwrittenAndDeleted) {
  SKIP_UNLESS_INSTALLS_HERE();
  const fs::path binary = placeBinary("bin");
  for (bool uninstall : {false, true}) {
    SCOPED_TRACE(uninstall ? "uninstall" : "install");
    qz7test::writeFile(work() / kScriptName, std::string(4000, 'x'));
    std::vector<std::string> args{"setup"};
    if (uninstall) args.push_back("-u");
    ProcessResult result = run(binary, args, work());
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(importedScript(),
              uninstall ? std::string(kUninstallScript) : installScript(shownPath(binary)));
    EXPECT_FALSE(fs::exists(work() / kScriptName));
  }
}

TEST_F(SetupAsAdminTest, BackslashesAreDoubledAndDollarsFollowTheFormatRules) {
  SKIP_UNLESS_INSTALLS_HERE();
  struct Case {
    std::string dir;
    std::string printedDir;   // as "Registering ..." shows it
    std::string insertedDir;  // as it stands in the script
  };
  const std::vector<Case> cases = {
      {"back\\slash", "back\\\\slash", "back\\\\slash"},
      {"a$$b$&c", "a$$b$&c", "a$b$EXEPATHc"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.dir);
    const fs::path binary = placeBinary(c.dir);
    const std::string base = shownPath(root()) + "/";
    ProcessResult result = run(binary, {"setup"}, work());
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, registeringLine(base + c.printedDir + "/qz7") + "done.\n");
    EXPECT_EQ(importedScript(), installScript(base + c.insertedDir + "/qz7"));
  }
}

TEST_F(SetupAsAdminTest, ExecutablePathWithBlanksOrNonAsciiIsRefused) {
  for (const std::string dir : {"with space", "with\ttab", "with\nnewline", "n\xc3\xa4me"}) {
    SCOPED_TRACE(dir);
    const fs::path binary = placeBinary(dir);
    ProcessResult result = run(binary, {"setup"}, work());
    EXPECT_EQ(result.status, 255);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, kPathMessage);
    EXPECT_EQ(editorCalls(), "");
    EXPECT_TRUE(fs::is_empty(work()));
  }
}

TEST_F(SetupAsAdminTest, UnwritableDirectoryOrMissingEditorStillEndsWithDone) {
  SKIP_UNLESS_INSTALLS_HERE();
  const fs::path binary = placeBinary("bin");
  // Even root cannot create files in /proc.
  ProcessResult result = run(binary, {"setup"}, "/proc");
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, registeringLine(shownPath(binary)) + "done.\n");
  EXPECT_EQ(editorCalls(), editorCall("/proc"));
  EXPECT_EQ(importedScript(), "<none>");

  // No editor on PATH: the shell complains, the command does not.
  const fs::path emptyBin = root() / "emptybin";
  fs::create_directories(emptyBin);
  result = qz7test::runProcess({binary.string(), "setup", "-u"},
                               {work(), {"PATH=" + emptyBin.string()}});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, "done.\n");
  EXPECT_FALSE(fs::exists(work() / kScriptName));
}

TEST_F(SetupTest, WithoutAdministratorRightsNothingIsWritten) {
  const fs::path binary = placeBinary("bin");
  std::vector<std::string> prefix;
  if (geteuid() == 0) {
    // Run as nobody, who must be able to reach the binary and write to work().
    prefix = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
    using fs::perms;
    fs::permissions(root(), perms::owner_all | perms::group_read | perms::group_exec |
                                perms::others_read | perms::others_exec);
    fs::permissions(binary.parent_path(), perms::all);
    fs::permissions(binary, perms::all);
    fs::permissions(work(), perms::all);
    fs::permissions(capture(), perms::all);
    std::vector<std::string> probe = prefix;
    probe.push_back(binary.string());
    probe.push_back("--help");
    if (qz7test::runProcess(probe, {work(), {}}).status != 0) {
      GTEST_SKIP() << "cannot run the binary as user 65534 with setpriv";
    }
  }
  for (const std::string flag : {"", "-u"}) {
    SCOPED_TRACE(flag);
    std::vector<std::string> argv = prefix;
    argv.push_back(binary.string());
    argv.push_back("setup");
    if (!flag.empty()) argv.push_back(flag);
    ProcessResult result = qz7test::runProcess(argv, {work(), {pathWithFakeEditor()}});
    EXPECT_EQ(result.status, 255);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, kAdminMessage);
    EXPECT_EQ(editorCalls(), "");
    EXPECT_TRUE(fs::is_empty(work()));
  }
}

}  // namespace
