// The command-line convention of the Burnwell programs, over the CLI11 parser: every program and
// subcommand answers --help (-h) and --version, help texts share one layout (usage, what it
// does, options, subcommands, footer; the bash completion reads its options and closed sets of
// values from it), numbers are decimal or 0x-hexadecimal, and a bad command line ends with exit
// status 2 and one line on standard error that names the problem and points to the right --help.
#pragma once

#include <CLI/CLI.hpp>
#include <cstdint>
#include <limits>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace burnwell::cli {

// Applies the convention to app, a program (program is its name) or one of its subcommands:
// --help and -h, --version printing "PROGRAM VERSION", the shared help layout.
void FollowConvention(CLI::App& app, std::string_view program);

// A subcommand of parent that follows the convention.
CLI::App* AddCommand(CLI::App& parent, std::string_view program, std::string name,
                     std::string summary);

// Replaces the usage line help generates with lines written for people ("OUT [--offset N]");
// several forms go on separate lines.
void SetUsage(CLI::App& app, std::string usage);

// -y,--yes into yes: the one spelling of "answer the warning without asking" in every program.
CLI::Option* AddYes(CLI::App& app, bool& yes, std::string description);

// Parses args (without the program name). Returns the exit status when the program has nothing
// more to do: 0 after printing help or the version to out, 2 after a usage error on err.
// Returns nothing when the program should go on with what was parsed.
std::optional<int> Parse(CLI::App& app, std::vector<std::string> args, std::ostream& out,
                         std::ostream& err);

// A number in decimal or 0x-hexadecimal, at most max; nothing for anything else (signs, blanks,
// octal-looking text is decimal).
std::optional<std::uint64_t> ParseNumber(std::string_view text, std::uint64_t max);

template <class T>
struct NumberTarget {
  using Value = T;
};
template <class T>
struct NumberTarget<std::optional<T>> {
  using Value = T;
};

// An option taking one number (ParseNumber) into target: an unsigned integer, or an optional one
// that stays empty when the option is not given. what says what the number is in the error
// ("--pid takes a 16-bit product ID, not '0x10000'"); max defaults to the largest the target holds.
template <class Target, class Value = typename NumberTarget<Target>::Value>
CLI::Option* AddNumber(CLI::App& app, const std::string& name, Target& target,
                       std::string description, std::string what = "a number",
                       std::uint64_t max = std::numeric_limits<Value>::max()) {
  static_assert(std::is_unsigned_v<Value>);
  const std::string flag = name.substr(name.rfind(',') + 1);
  return app
      .add_option_function<std::string>(
          name,
          [&target, flag, what, max](const std::string& text) {
            const std::optional<std::uint64_t> value = ParseNumber(text, max);
            if (!value)
              throw CLI::ValidationError(flag + " takes " + what + ", not '" + text + "'");
            target = static_cast<Value>(*value);
          },
          std::move(description))
      ->type_name("N");
}

}  // namespace burnwell::cli
