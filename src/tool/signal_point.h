#pragma once

// A hook for tests of what a signal does at one exact point of a run: the
// first time the run reaches the point that the environment variable
// QZ7_SIGNAL_AT names, it sends itself SIGTERM, as a user would, and goes on
// once one of its threads has taken it, or at once where no thread may take it
// (ignored, or blocked by every thread). Does nothing else.

#include <string_view>

void signalPoint(std::string_view name);
