#include "tools/burnwell/UpdaterHistory.h"

#include <chrono>
#include <mutex>

#include "app/ConfigFile.h"
#include "app/UpdateSequence.h"
#include "device/DeviceRecord.h"
#include "image/FirmwareReaders.h"
#include "image/ImageBuffer.h"

namespace burnwell {
namespace {

constexpr std::size_t kFirstBridge = 0;  // the dialog updates the first bridge found

// The dialog as the update sees it, with the report taken for the record on its way.
class RecordingHost final : public app::UpdateHost {
 public:
  RecordingHost(app::UpdateHost& dialog, std::function<void(const app::UpdateReport&)> ended)
      : dialog_(dialog), ended_(std::move(ended)) {}
  int SelfPowered() const override { return dialog_.SelfPowered(); }
  int FileType() const override { return dialog_.FileType(); }
  protocol::TransferMode Transfers() const override { return dialog_.Transfers(); }
  platform::WindowHandle ProgressWindow() override { return dialog_.ProgressWindow(); }
  void ShowProgress(bool visible) override { dialog_.ShowProgress(visible); }
  void SetStatusText(const std::string& text) override { dialog_.SetStatusText(text); }
  int ShowMessage(const std::string& text, std::uint32_t style) override {
    return dialog_.ShowMessage(text, style);
  }
  bool ExplainNoBridge(int openResult) override { return dialog_.ExplainNoBridge(openResult); }
  app::UpdateObserver* Observer() override { return dialog_.Observer(); }
  void UpdateEnded(const app::UpdateReport& report) override {
    ended_(report);
    dialog_.UpdateEnded(report);
  }

 private:
  app::UpdateHost& dialog_;
  std::function<void(const app::UpdateReport&)> ended_;
};

}  // namespace

void UpdaterHistory::Install(app::DialogServices& services) {
  auto read = services.readConfig;
  services.readConfig = [this, read](const std::filesystem::path& path,
                                     app::ConfigSettings& settings) {
    const int status = read ? read(path, settings) : 0;
    firmwareName_ = app::FirmwarePathText(settings.firmwareFileName);
    history::HistoryOptions options;
    if (!settings.historyUrl.empty()) options.places.push_back(settings.historyUrl);
    recorder_ =
        std::make_unique<history::Recorder>(options, "burnwell", [this](const std::string& line) {
          std::lock_guard lock(warningsMutex_);
          warnings_ << "burnwell: warning: " << line << std::endl;
        });
    return status;
  };
  auto update = services.runUpdate;
  services.runUpdate = [this, update](app::UpdateHost& dialog) {
    const auto start = std::chrono::steady_clock::now();
    RecordingHost host(dialog, [&](const app::UpdateReport& report) {
      history::UnitRecord record = Unit();
      history::TakeReport(record, report, false);
      record.seconds =
          std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      Record(record);
    });
    return update ? update(host) : app::UpdateOutcome::Failed;
  };
  services.versionRefused = [this](const std::string& why) {
    history::UnitRecord record = Unit();
    record.result = history::UnitResult::Refused;
    record.error = why;
    Record(record);
  };
}

history::UnitRecord UpdaterHistory::Unit() const {
  history::UnitRecord record;
  record.command = "dialog";
  const device::DeviceTable& table = device::DeviceLayer().table;
  if (table.count > kFirstBridge)
    record.bridge = history::BridgeFactsOf(table.records[kFirstBridge]);
  record.file = history::FileFactsOf(firmwareName_, image::LoadedImage(),
                                     image::FirmwareFileType(app::PathFromUtf8(firmwareName_)));
  return record;
}

void UpdaterHistory::Record(history::UnitRecord& record) {
  if (recorder_) recorder_->Record(record);
  std::lock_guard lock(lastMutex_);
  last_ = record;
}

std::optional<history::UnitRecord> UpdaterHistory::LastUnit() const {
  std::lock_guard lock(lastMutex_);
  return last_;
}

}  // namespace burnwell
