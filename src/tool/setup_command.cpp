// The setup command: registers or removes the tool as the shell handler of ".kvz" files.

#include <args.hxx>

#include <stdexcept>

#include "tool/commands.h"

void setupCommand(args::Subparser& parser) {
  args::Flag uninstall(parser, "uninstall", "uninstall shell integration", {'u', "uninstall"});
  parser.Parse();
  setupShellIntegration(uninstall);
}

void setupShellIntegration(bool) { throw std::runtime_error("not implemented yet"); }
