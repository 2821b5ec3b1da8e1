// burnwell-tool: the command-line companion of the updater. Parses the command line once, with
// every command's own arguments, and runs the command given.
#include <cstdio>
#include <iostream>
#include <string>
#include <utility>
#include <vector>

#include "bridge/BridgeState.h"
#include "common/CommandLine.h"
#include "common/ExitStatus.h"
#include "tools/burnwell-tool/Commands.h"

#ifdef _WIN32
#include <windows.h>
#include <shellapi.h>
#endif

namespace {

using namespace burnwell;

// The arguments as UTF-8. On Windows they come from the wide command line, where argv would lose
// the characters of file names outside the ANSI code page; tool::ArgumentPath turns them back.
std::vector<std::string> Arguments([[maybe_unused]] int argc, [[maybe_unused]] char** argv) {
  std::vector<std::string> args;
#ifdef _WIN32
  int count = 0;
  wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
  for (int i = 1; wide && i < count; ++i) {
    const int length = WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, nullptr, 0, nullptr, nullptr);
    std::string text(length > 0 ? static_cast<std::size_t>(length) : 1u, '\0');
    if (length > 0)
      WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, text.data(), length, nullptr, nullptr);
    text.resize(text.size() - 1);  // the terminating zero
    args.push_back(std::move(text));
  }
  LocalFree(wide);
#else
  for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
#endif
  return args;
}

}  // namespace

int main(int argc, char** argv) {
  bridge::BridgeLayer().lockWaitNotice = [] {
    std::fprintf(stderr, "burnwell-tool: %s\n", bridge::kLockWaitText);
  };
  CLI::App app(
      "Inspects firmware files, finds bridges and works on their firmware memory: the\n"
      "command-line companion of the updater, burnwell.",
      std::string(tool::kProgram));
  cli::FollowConvention(app, tool::kProgram);
  cli::SetUsage(app, "burnwell-tool COMMAND [ARGUMENTS]\nburnwell-tool COMMAND --help");
  app.require_subcommand(1);
  app.footer(ExitStatusHelp(Program::Tool));

  std::vector<std::pair<const CLI::App*, tool::CommandAction>> commands;
  for (const tool::Command& command : tool::AllCommands()) {
    CLI::App* sub = cli::AddCommand(app, tool::kProgram, std::string(command.name),
                                    std::string(command.summary));
    commands.emplace_back(sub, command.declare(*sub));
  }
  CLI::App* help = cli::AddCommand(app, tool::kProgram, "help", "print this help");
  help->footer(ExitStatusHelp({ExitStatus::Success, ExitStatus::Usage}));

  if (const std::optional<int> status =
          cli::Parse(app, Arguments(argc, argv), std::cout, std::cerr))
    return *status;
  if (help->parsed()) {
    // The program's own help: app.help() would describe the selected subcommand, "help".
    std::cout << app.get_formatter()->make_help(&app, app.get_name(), CLI::AppFormatMode::Normal);
    return Code(ExitStatus::Success);
  }
  for (const auto& [sub, action] : commands) {
    if (sub->parsed()) return action(std::cout, std::cerr);
  }
  return Code(ExitStatus::Usage);
}
