// The commands of burnwell-tool. A command gets the arguments after its name and the streams to
// write to, and returns the process exit code (0 success, 1 failure, 2 usage error).
#pragma once

#include <filesystem>
#include <ostream>
#include <span>
#include <string>
#include <string_view>

namespace burnwell::tool {

// Arguments keep the platform's own spelling (wide on Windows), so file names reach the file
// readers unchanged; Text() gives the UTF-8 form for option names and messages.
struct Argument {
  std::filesystem::path value;
  std::string Text() const;
  bool Is(std::string_view option) const { return Text() == option; }
};

using CommandFunction = int (*)(std::span<const Argument> args, std::ostream& out, std::ostream& err);

struct Command {
  std::string_view name;
  std::string_view summary;  // one line for the tool's usage text
  CommandFunction run;
};

// Every command, in the order the usage text lists them. Add a new command here and in its
// own source file.
std::span<const Command> AllCommands();

int RunInfo(std::span<const Argument> args, std::ostream& out, std::ostream& err);
int RunList(std::span<const Argument> args, std::ostream& out, std::ostream& err);
int RunFlash(std::span<const Argument> args, std::ostream& out, std::ostream& err);
int RunUpdate(std::span<const Argument> args, std::ostream& out, std::ostream& err);
int RunBackup(std::span<const Argument> args, std::ostream& out, std::ostream& err);

// True when args hold --help or -h.
bool WantsHelp(std::span<const Argument> args);

}  // namespace burnwell::tool
