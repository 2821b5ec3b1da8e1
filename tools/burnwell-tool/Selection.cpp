#include "tools/burnwell-tool/Selection.h"

#include <cstdio>
#include <functional>
#include <set>

#include "common/Hex.h"
#include "common/ExitStatus.h"

namespace burnwell::tool {
namespace {

void ListBridges(const device::DeviceTable& table, std::ostream& err) {
  err << "bridges found:\n";
  for (std::uint32_t i = 0; i < table.count; ++i)
    err << "  " << BridgeLine(static_cast<int>(i), table.records[i]) << "\n";
}

// One way of choosing bridges: each value is checked and taken by `take`, which throws
// CLI::ValidationError for a value it refuses.
void AddSelector(CLI::App& command, const std::string& name, const std::string& typeName,
                 const std::string& description, bool allowAll,
                 std::function<void(const std::string&)> take) {
  command
      .add_option_function<std::vector<std::string>>(
          name,
          [take](const std::vector<std::string>& texts) {
            for (const std::string& text : texts) take(text);
          },
          description + (allowAll ? "; may be given more than once" : ""))
      ->type_name(typeName)
      ->multi_option_policy(allowAll ? CLI::MultiOptionPolicy::TakeAll
                                     : CLI::MultiOptionPolicy::Throw)
      ->group("Bridge selection");
}

}  // namespace

void AddBridgeSelection(CLI::App& command, BridgeSelection& selection, bool allowAll) {
  AddSelector(command, "--index", "N",
              "the bridge at table index N (burnwell-tool list shows the indexes)", allowAll,
              [&selection](const std::string& text) {
                const std::optional<std::uint64_t> value = cli::ParseNumber(text, 0xFFFF);
                if (!value)
                  throw CLI::ValidationError("--index takes a table index, not '" + text + "'");
                selection.indexes.push_back(static_cast<std::uint32_t>(*value));
              });
  AddSelector(command, "--serial", "TEXT", "the bridge with this USB serial number", allowAll,
              [&selection](const std::string& text) {
                if (text.empty())
                  throw CLI::ValidationError("--serial takes a serial number, not an empty text");
                selection.serials.push_back(text);
              });
  AddSelector(command, "--port", "LOC",
              "the bridge on this USB location (such as 1-2.3; burnwell-tool list prints it as "
              "usb=LOC)",
              allowAll, [&selection](const std::string& text) {
                if (!bridge::LooksLikeLocation(text))
                  throw CLI::ValidationError("--port takes a USB location such as 1-2.3, not '" +
                                             text + "'");
                selection.ports.push_back(text);
              });
  if (allowAll) {
    CLI::Option* all =
        command.add_flag("--all", selection.all, "every bridge found")->group("Bridge selection");
    for (const char* name : {"--index", "--serial", "--port"})
      all->excludes(command.get_option(name));
  }
}

Selected SelectBridges(const device::DeviceTable& table, const BridgeSelection& selection,
                       std::string_view command, bool many, std::ostream& err) {
  Selected selected;
  const std::string prefix = "burnwell-tool " + std::string(command) + ": ";
  if (table.count == 0) {
    err << prefix << "no bridge found\n";
    selected.status = Code(ExitStatus::NoBridge);
    return selected;
  }
  std::set<int> picked;
  for (std::uint32_t i = 0; i < table.count; ++i) picked.insert(static_cast<int>(i));
  if (selection.Empty() || selection.all) {
    if (!selection.all && table.count > 1) {
      err << prefix << table.count << " bridges found: choose one with --index, --serial or --port"
          << (many ? " (or --all)" : "") << "\n";
      ListBridges(table, err);
      selected.status = Code(ExitStatus::Usage);
      return selected;
    }
    selected.indexes.assign(picked.begin(), picked.end());
    return selected;
  }

  // Each option picks the union of its values; the options given must agree.
  auto narrow = [&](const char* option, const auto& values, auto matches) -> bool {
    if (values.empty()) return true;
    std::set<int> byOption;
    for (const auto& value : values) {
      bool found = false;
      for (std::uint32_t i = 0; i < table.count; ++i) {
        if (matches(static_cast<int>(i), table.records[i], value)) {
          byOption.insert(static_cast<int>(i));
          found = true;
        }
      }
      if (!found) {
        err << prefix << "no bridge matches " << option << " " << value << "\n";
        ListBridges(table, err);
        selected.status = Code(ExitStatus::NoBridge);
        return false;
      }
    }
    std::set<int> both;
    std::set_intersection(picked.begin(), picked.end(), byOption.begin(), byOption.end(),
                          std::inserter(both, both.begin()));
    if (both.empty()) {
      err << prefix << "the selectors contradict each other: " << option
          << " names another bridge\n";
      ListBridges(table, err);
      selected.status = Code(ExitStatus::Usage);
      return false;
    }
    picked = std::move(both);
    return true;
  };
  const bool agreed = narrow("--index", selection.indexes,
                             [](int i, const device::DeviceRecord&, std::uint32_t value) {
                               return i == static_cast<int>(value);
                             }) &&
                      narrow("--serial", selection.serials,
                             [](int, const device::DeviceRecord& r, const std::string& value) {
                               return SerialOf(r) == value;
                             }) &&
                      narrow("--port", selection.ports,
                             [](int, const device::DeviceRecord& r, const std::string& value) {
                               return UsbLocation(r) == value;
                             });
  if (!agreed) return selected;
  if (!many && picked.size() > 1) {
    err << prefix << "the selection names " << picked.size()
        << " bridges; this command works on one\n";
    ListBridges(table, err);
    selected.status = Code(ExitStatus::Usage);
    return selected;
  }
  selected.indexes.assign(picked.begin(), picked.end());
  return selected;
}

}  // namespace burnwell::tool
