// The qz7 command-line tool: parses the command line, runs one command and
// turns what reaches it into an exit status.

#include <args.hxx>

#include <exception>
#include <iostream>
#include <new>
#include <stdexcept>

#include "tool/commands.h"
#include "tool/interrupt_cleanup.h"
#include "tool/platform.h"

int main(int argc, char** argv) {
  interrupt_cleanup::installHandlers();
  args::ArgumentParser parser("QZ7 archive tool.", "");
  args::HelpFlag help(parser, "help", "display this help menu", {'h', "help"});
  args::Flag wait(parser, "wait", "Wait before closing", {'w', "wait"});
  args::Group commands(parser, "commands", args::Group::Validators::DontCare);
  args::Command archive(commands, "archive", "add files to an archive",
                        [](args::Subparser& subparser) { archiveCommand(subparser); });
  args::Command extract(commands, "extract", "extract an archive",
                        [](args::Subparser& subparser) { extractCommand(subparser); });
  args::Command info(commands, "info", "display information about an archive",
                     [](args::Subparser& subparser) { infoCommand(subparser); });
  args::Command verify(commands, "verify", "verify the integrity of an archive",
                       [](args::Subparser& subparser) { verifyCommand(subparser); });
  args::Command benchmark(commands, "benchmark", "benchmark file extraction from an archive",
                          [](args::Subparser& subparser) { benchmarkCommand(subparser); });
  args::Command setup(commands, "setup",
                      "setup shell integration (note: will reference this executable file)",
                      [](args::Subparser& subparser) { setupCommand(subparser); });

  try {
    parser.ParseCLI(argc, argv);
  } catch (const args::Help&) {
    std::cout << parser;
    return 0;
  } catch (const args::Error& e) {
    std::cerr << e.what() << std::endl;
    std::cerr << parser;
    return 1;
  } catch (const std::runtime_error& e) {
    std::cerr << e.what() << std::endl;
    return 2;
  } catch (const std::exception& e) {
    // Not a failure a command reports itself, such as std::bad_alloc: reported
    // like any other failure that leaves a command.
    std::cerr << e.what() << std::endl;
    return 2;
  }

  if (wait) platform::waitForKey();
  return 0;
}
