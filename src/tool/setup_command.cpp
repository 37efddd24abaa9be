// The setup command: registers or removes the tool as the shell handler of
// ".kvz" files by importing a generated registry script.

#include <args.hxx>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <regex>
#include <string>
#include <string_view>

#include "qz7lib/utils/strings.h"
#include "tool/commands.h"
#include "tool/platform.h"

namespace {

// Registers the extension, the file type, its icon and five verbs. $EXEPATH
// stands for the executable path with its backslashes doubled, as the script
// format wants inside quoted values.
constexpr std::string_view kInstallScript = R"reg(Windows Registry Editor Version 5.00

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

// A leading '-' deletes a key with everything below it.
constexpr std::string_view kUninstallScript = R"reg(Windows Registry Editor Version 5.00

[-HKEY_CLASSES_ROOT\.kvz]

[-HKEY_CLASSES_ROOT\QZ7Archive]
)reg";

// Relative, so the script is written to the current directory.
constexpr const char* kScriptFileName = "_temp_kvz.reg";

}  // namespace

void setupCommand(args::Subparser& parser) {
  args::Flag uninstall(parser, "uninstall", "uninstall shell integration", {'u', "uninstall"});
  parser.Parse();
  setupShellIntegration(uninstall);
}

void setupShellIntegration(bool uninstall) {
  // The keys live below HKEY_CLASSES_ROOT, so removal needs the rights too.
  if (!platform::isAdministrator()) {
    std::cerr << "This process requires admin priviliges. Please re-run as an admin.\n";
    std::exit(-1);
  }

  std::string script(kInstallScript);
  if (uninstall) {
    script = kUninstallScript;
  } else {
    unsigned long errorCode = 0;
    std::string path = platform::executablePath(errorCode);
    if (path.empty()) {
      std::cerr << "Could not get executable filename: " << errorCode << "\n";
      std::exit(-1);
    }
    // The registered command lines are not quoted, so a space would split them.
    if (!qz7lib::utils::isAscii(path) || path.find_first_of("\t\n ") != std::string::npos) {
      std::cerr << "Executable path is non-ASCII or contains spaces. This case is not "
                   "implemented.\n";
      std::exit(-1);
    }
    path = std::regex_replace(path, std::regex(R"(\\)"), R"(\\)");
    std::cout << "Registering " << path << " as .kvz handler with the explorer shell...";
    // The path is the replacement's format string, so "$$" and "$&" in it are
    // expanded by the format rules.
    script = std::regex_replace(script, std::regex(R"(\$EXEPATH)"), path);
  }

  // Failures to write, import or delete the script are not reported: the
  // command ends with "done." whatever the registry editor made of it.
  {
    std::ofstream out(kScriptFileName, std::ios::out);
    out.write(script.data(), static_cast<std::streamsize>(script.size()));
  }
  platform::importRegistryScript(kScriptFileName);
  std::remove(kScriptFileName);
  std::cout << "done.\n";
}
