#include "common/CommandLine.h"

#include <algorithm>
#include <charconv>
#include <memory>
#include <sstream>

#include "common/ExitStatus.h"
#include "common/Version.h"

namespace burnwell::cli {
namespace {

constexpr std::size_t kWidth = 96;   // of a help line
constexpr std::size_t kColumn = 24;  // where the descriptions of options and commands start

// text with its lines broken between words to fit width (words longer than that stay whole).
std::string Wrapped(const std::string& text, std::size_t width) {
  std::string wrapped;
  std::size_t lineLength = 0;
  std::istringstream words(text);
  std::string word;
  while (words >> word) {
    if (lineLength != 0 && lineLength + 1 + word.size() > width) {
      wrapped += '\n';
      lineLength = 0;
    } else if (lineLength != 0) {
      wrapped += ' ';
      ++lineLength;
    }
    wrapped += word;
    lineLength += word.size();
  }
  return wrapped;
}

// The shared help layout: the usage first (the app's own lines when it has them), then what the
// command does, the arguments and options with their value names only, the subcommands, the
// footer. One formatter per app, because CLI11 hands a subcommand its parent's formatter.
class ConventionFormatter final : public CLI::Formatter {
 public:
  ConventionFormatter(const CLI::App* owner, std::string usage)
      : owner_(owner), usage_(std::move(usage)) {
    column_width(kColumn);
    label("Positionals", "Arguments");
  }

  std::string make_usage(const CLI::App* app, std::string name) const override {
    if (app != owner_ || usage_.empty()) return CLI::Formatter::make_usage(app, std::move(name));
    std::string text;
    std::istringstream lines(usage_);
    std::string line;
    for (bool first = true; std::getline(lines, line); first = false)
      text += (first ? "Usage: " : "       ") + line + "\n";
    return text;
  }

  std::string make_help(const CLI::App* app, std::string name,
                        CLI::AppFormatMode mode) const override {
    if (mode == CLI::AppFormatMode::Sub) return make_expanded(app);
    std::string text = make_usage(app, std::move(name));
    if (!app->get_description().empty()) text += "\n" + make_description(app);
    for (const std::string& section :
         {make_positionals(app), make_groups(app, mode), make_taken_from_parent(app)}) {
      if (!section.empty()) text += "\n" + section;
    }
    text += make_subcommands(app, mode);
    const std::string footer = make_footer(app);
    if (!footer.empty()) text += "\n" + footer;
    return text;
  }

  // A command that lets the options it does not know fall through to its parent accepts them
  // after its name too ("flash read OUT --index 1"): its help lists them as well, in the
  // parent's groups, so that the help (and the completion reading it) names all it accepts.
  std::string make_taken_from_parent(const CLI::App* app) const {
    const CLI::App* parent = app->get_parent();
    if (parent == nullptr || !app->get_fallthrough()) return "";
    std::string text;
    for (const std::string& group : parent->get_groups()) {
      const std::vector<const CLI::Option*> options =
          parent->get_options([&](const CLI::Option* option) {
            return option->get_group() == group && option->nonpositional() &&
                   option != parent->get_help_ptr() && option != parent->get_version_ptr();
          });
      if (!options.empty()) text += (text.empty() ? "" : "\n") + make_group(group, false, options);
    }
    return text;
  }

  // A heading and its options; make_help and CLI11's make_groups put the blank lines between.
  std::string make_group(std::string group, bool positional,
                         std::vector<const CLI::Option*> options) const override {
    std::string text = group + ":\n";
    for (const CLI::Option* option : options) text += make_option(option, positional);
    return text;
  }

  std::string make_description(const CLI::App* app) const override {
    const std::string& text = app->get_description();
    return text.empty() ? text : Wrapped(text, kWidth - 6) + "\n";
  }

  std::string make_option_desc(const CLI::Option* option) const override {
    return Wrapped(option->get_description(), kWidth - kColumn);
  }

  std::string make_subcommand(const CLI::App* sub) const override {
    std::ostringstream out;
    CLI::detail::format_help(out, sub->get_display_name(true),
                             Wrapped(sub->get_description(), kWidth - kColumn), kColumn);
    return out.str();
  }

  std::string make_option_opts(const CLI::Option* option) const override {
    if (!option->get_option_text().empty()) return " " + option->get_option_text();
    if (option->get_type_size() == 0 || option->get_positional()) return "";
    std::string text = option->get_type_name().empty() ? "" : " " + option->get_type_name();
    if (!option->get_default_str().empty()) text += " (default " + option->get_default_str() + ")";
    return text;
  }

 private:
  const CLI::App* owner_;
  std::string usage_;
};

// "burnwell-tool flash read": the names from the program down to app.
std::string CommandPath(const CLI::App& app) {
  const CLI::App* parent = app.get_parent();
  if (parent == nullptr) return app.get_name();
  // Option groups are nameless subcommands; they add nothing to the path.
  if (app.get_name().empty()) return CommandPath(*parent);
  return CommandPath(*parent) + " " + app.get_name();
}

// The deepest subcommand the parse reached.
const CLI::App& Deepest(const CLI::App& app) {
  for (const CLI::App* sub : app.get_subcommands()) {
    if (!sub->get_name().empty()) return Deepest(*sub);
  }
  return app;
}

bool HasCommands(const CLI::App& app) {
  return !app.get_subcommands([](const CLI::App* sub) { return !sub->get_name().empty(); }).empty();
}

// The problem in a few words, without CLI11's capitals and with the word "command".
std::string Problem(const CLI::App& app, const CLI::App& where, const CLI::ParseError& error) {
  const std::vector<std::string> left = app.remaining(true);
  if (HasCommands(where) && !left.empty() && !left.front().starts_with("-")) {
    return "unknown command '" + left.front() + "'";
  }
  // Arguments nobody took come first: "OUT is required" would hide the misspelt option.
  if (!left.empty()) {
    std::string text = "unexpected argument";
    for (const std::string& arg : left) text += " " + arg;
    return text;
  }
  std::string text = error.what();
  if (text == "A subcommand is required") return "a command is required";
  if (dynamic_cast<const CLI::ArgumentMismatch*>(&error) &&
      text.find(" missing") != std::string::npos) {
    return text.substr(0, text.find(':')) + " needs a value";
  }
  std::replace(text.begin(), text.end(), '\n', ' ');
  return text;
}

}  // namespace

void FollowConvention(CLI::App& app, std::string_view program) {
  app.set_help_flag("-h,--help", "print this help and exit");
  // CLI11 reads "/name" as an option on Windows; here it is a file name on every platform.
  app.allow_windows_style_options(false);
  app.set_version_flag("--version", std::string(program) + " " + kVersionText,
                       "print the version and exit");
  app.formatter(std::make_shared<ConventionFormatter>(&app, ""));
}

CLI::App* AddCommand(CLI::App& parent, std::string_view program, std::string name,
                     std::string summary) {
  CLI::App* command = parent.add_subcommand(std::move(name), std::move(summary));
  command->group("Commands");
  FollowConvention(*command, program);
  return command;
}

void SetUsage(CLI::App& app, std::string usage) {
  app.formatter(std::make_shared<ConventionFormatter>(&app, std::move(usage)));
}

CLI::Option* AddYes(CLI::App& app, bool& yes, std::string description) {
  return app.add_flag("-y,--yes", yes, std::move(description));
}

std::optional<int> Parse(CLI::App& app, std::vector<std::string> args, std::ostream& out,
                         std::ostream& err) {
  // CLI11 takes the arguments last first.
  std::reverse(args.begin(), args.end());
  try {
    app.parse(args);
    return std::nullopt;
  } catch (const CLI::CallForHelp&) {
    out << app.help();
    return Code(ExitStatus::Success);
  } catch (const CLI::CallForAllHelp&) {
    out << app.help("", CLI::AppFormatMode::All);
    return Code(ExitStatus::Success);
  } catch (const CLI::CallForVersion& version) {
    out << version.what() << "\n";
    return Code(ExitStatus::Success);
  } catch (const CLI::ParseError& error) {
    const CLI::App& where = Deepest(app);
    err << CommandPath(where) << ": " << Problem(app, where, error) << " (see '"
        << CommandPath(where) << " --help')\n";
    return Code(ExitStatus::Usage);
  }
}

std::optional<std::uint64_t> ParseNumber(std::string_view text, std::uint64_t max) {
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    text.remove_prefix(2);
  }
  if (text.empty()) return std::nullopt;
  std::uint64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  if (error != std::errc() || end != text.data() + text.size() || value > max) return std::nullopt;
  return value;
}

}  // namespace burnwell::cli
