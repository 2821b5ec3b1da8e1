#include "tools/burnwell-tool/Selection.h"

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <set>

#include "common/ExitStatus.h"

namespace burnwell::tool {
namespace {

void ListBridges(const device::DeviceTable& table, std::ostream& err) {
  err << "bridges found:\n";
  for (std::uint32_t i = 0; i < table.count; ++i)
    err << "  " << BridgeLine(static_cast<int>(i), table.records[i]) << "\n";
}

}  // namespace

void AddBridgeSelection(CLI::App& command, BridgeSelection& selection, bool allowAll) {
  const std::string repeat = allowAll ? "; may be given more than once" : "";
  command
      .add_option_function<std::vector<std::string>>(
          "--index",
          [&selection](const std::vector<std::string>& texts) {
            for (const std::string& text : texts) {
              const std::optional<std::uint64_t> value = cli::ParseNumber(text, 0xFFFF);
              if (!value)
                throw CLI::ValidationError("--index takes a table index, not '" + text + "'");
              selection.indexes.push_back(static_cast<std::uint32_t>(*value));
            }
          },
          "the bridge at table index N (burnwell-tool list shows the indexes)" + repeat)
      ->type_name("N")
      ->multi_option_policy(allowAll ? CLI::MultiOptionPolicy::TakeAll
                                     : CLI::MultiOptionPolicy::Throw)
      ->group("Bridge selection");
  command
      .add_option_function<std::vector<std::string>>(
          "--serial",
          [&selection](const std::vector<std::string>& texts) {
            for (const std::string& text : texts) {
              if (text.empty())
                throw CLI::ValidationError("--serial takes a serial number, not an empty text");
              selection.serials.push_back(text);
            }
          },
          "the bridge with this USB serial number" + repeat)
      ->type_name("TEXT")
      ->multi_option_policy(allowAll ? CLI::MultiOptionPolicy::TakeAll
                                     : CLI::MultiOptionPolicy::Throw)
      ->group("Bridge selection");
  command
      .add_option_function<std::vector<std::string>>(
          "--port",
          [&selection](const std::vector<std::string>& texts) {
            for (const std::string& text : texts) {
              if (!bridge::LooksLikeLocation(text))
                throw CLI::ValidationError("--port takes a USB location such as 1-2.3, not '" +
                                           text + "'");
              selection.ports.push_back(text);
            }
          },
          "the bridge on this USB location (such as 1-2.3; burnwell-tool list prints it as "
          "usb=LOC)" +
              repeat)
      ->type_name("LOC")
      ->multi_option_policy(allowAll ? CLI::MultiOptionPolicy::TakeAll
                                     : CLI::MultiOptionPolicy::Throw)
      ->group("Bridge selection");
  if (allowAll) {
    CLI::Option* all =
        command.add_flag("--all", selection.all, "every bridge found")->group("Bridge selection");
    for (const char* name : {"--index", "--serial", "--port"})
      all->excludes(command.get_option(name));
  }
}

std::string BridgeLine(int index, const device::DeviceRecord& record) {
  const std::string location = UsbLocation(record);
  char ids[16];
  std::snprintf(ids, sizeof ids, "%04x:%04x", record.VendorId, record.ProductId);
  return "#" + std::to_string(index) + " serial=" + SerialOf(record) +
         " usb=" + (location.empty() ? std::string("-") : location) + " " + ids;
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
