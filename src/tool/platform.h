#pragma once

// The few operating-system services the tool needs beyond the standard library.

#include <string>

namespace platform {

// Prints a prompt and waits for one key press when standard input is a
// terminal. Returns at once, printing nothing, when standard input is not a
// terminal, so scripts and pipelines never block.
void waitForKey();

// True when the process runs with administrator rights (effective user id 0).
bool isAdministrator();

// The absolute path of the running executable. Returns an empty string when it
// cannot be found, with errorCode set to the reason (an errno value).
std::string executablePath(unsigned long& errorCode);

// Imports a registry script silently with the registry editor found on PATH
// and returns the command interpreter's status (non-zero, with the
// interpreter's own message, when there is no editor).
int importRegistryScript(const std::string& scriptPath);

}  // namespace platform
