#pragma once

// The few operating-system services the tool needs beyond the standard library.

namespace platform {

// Prints a prompt and waits for one key press when standard input is a
// terminal. Returns at once, printing nothing, when standard input is not a
// terminal, so scripts and pipelines never block.
void waitForKey();

}  // namespace platform
