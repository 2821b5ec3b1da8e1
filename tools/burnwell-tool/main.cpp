// burnwell-tool: the command-line companion of the updater. Dispatches to one command.
#include <algorithm>
#include <iostream>
#include <string>
#include <vector>

#include "tools/burnwell-tool/Commands.h"

#ifdef _WIN32
#include <windows.h>
#include <shellapi.h>
#endif

namespace {

using burnwell::tool::Argument;

void PrintUsage(std::ostream& to) {
  to << "Usage: burnwell-tool COMMAND [ARGUMENTS]\n"
        "       burnwell-tool COMMAND --help\n\n"
        "Commands:\n";
  for (const auto& command : burnwell::tool::AllCommands())
    to << "  " << command.name << std::string(10 - std::min<std::size_t>(command.name.size(), 9), ' ')
       << command.summary << "\n";
}

// The arguments in the platform's own spelling: wide on Windows, where argv would lose
// characters outside the ANSI code page.
std::vector<Argument> Arguments([[maybe_unused]] int argc, [[maybe_unused]] char** argv) {
  std::vector<Argument> args;
#ifdef _WIN32
  int count = 0;
  wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
  for (int i = 1; wide && i < count; ++i) args.push_back({std::filesystem::path(wide[i])});
  LocalFree(wide);
#else
  for (int i = 1; i < argc; ++i) args.push_back({std::filesystem::path(argv[i])});
#endif
  return args;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<Argument> args = Arguments(argc, argv);
  if (args.empty()) {
    PrintUsage(std::cerr);
    return 2;
  }
  if (args[0].Is("--help") || args[0].Is("-h") || args[0].Is("help")) {
    PrintUsage(std::cout);
    return 0;
  }
  for (const auto& command : burnwell::tool::AllCommands()) {
    if (args[0].Is(command.name)) {
      return command.run(std::span(args).subspan(1), std::cout, std::cerr);
    }
  }
  std::cerr << "burnwell-tool: unknown command '" << args[0].Text() << "'\n";
  PrintUsage(std::cerr);
  return 2;
}
