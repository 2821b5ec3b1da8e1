#include "tools/burnwell-tool/FileTargets.h"

#include <optional>

#include "device/DeviceRecord.h"
#include "image/ImageBuffer.h"
#include "tools/burnwell-tool/Commands.h"
#include "tools/burnwell-tool/OpenFailure.h"

namespace burnwell::tool {
void AddFileArgument(CLI::App& command, FileRequest& request) {
  command.add_option("FILE", request.file, "the firmware file: Intel HEX (.hex) or an image file")
      ->required();
}

void AddPowerOptions(CLI::App& command, FileRequest& request) {
  CLI::Option* self = command.add_flag_callback(
      "--self-powered", [&request] { request.busPowered = false; },
      "program the bridge as self-powered, 100 mA (the default)");
  CLI::Option* bus = command.add_flag("--bus-powered", request.busPowered,
                                      "program the bridge as bus-powered, 500 mA");
  self->excludes(bus);
}

void AddJsonFlag(CLI::App& command, FileRequest& request) {
  command.add_flag(
      "--json", request.json,
      "print one JSON document on standard output (the other lines go to standard error)");
}

int ReportNoBridgeToUse(BridgeSession& session, std::string_view command, std::ostream& err) {
  return session.ReportOpenFailure(command, err);
}

int PrepareTargets(std::string_view command, const FileRequest& request, bool many,
                   Targets& targets, std::ostream& err) {
  const std::filesystem::path path = ArgumentPath(request.file);
  targets.loaded = image::LoadFirmwareByType(image::LoadedImage(), path);
  if (!targets.loaded.ok) {
    err << "burnwell-tool " << command << ": "
        << image::LoadFailureText(path, request.file, targets.loaded) << "\n";
    return Code(ExitStatus::LoadFailedOrDeclined);
  }
  targets.session = std::make_unique<BridgeSession>();
  if (const int status = ReportNoBridgeToUse(*targets.session, command, err); status != 0)
    return status;
  const Selected selected =
      SelectBridges(device::DeviceLayer().table, request.selection, command, many, err);
  if (selected.status != 0) return selected.status;
  targets.indexes = selected.indexes;
  return 0;
}

app::UpdatePlan PlanFor(int index, const FileRequest& request, image::FileType type) {
  app::UpdatePlan plan;
  plan.deviceIndex = index;
  plan.selfPowered = request.busPowered ? 0 : 1;
  plan.keepBridgeBlock = type == image::FileType::Hex;
  plan.transfers = request.transfers;
  plan.eraseOnlyWhatIsWritten = true;
  return plan;
}

}  // namespace burnwell::tool
