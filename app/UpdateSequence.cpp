#include "app/UpdateSequence.h"

#include "app/DialogBridge.h"
#include "bridge/DeviceApi.h"
#include "image/ImageBuffer.h"
#include "platform/WinNames.h"

namespace burnwell::app {
namespace {

constexpr int kOnlyBridge = 0;  // the dialog updates only a bridge attached alone

// The phases of the update as the dialog's status line shows them.
class StatusLineObserver final : public UpdateObserver {
 public:
  explicit StatusLineObserver(UpdateHost& host) : host_(host) {}
  void PhaseStarted(UpdatePhase phase, int pass) override {
    host_.SetStatusText(PhaseStatusText(phase));
    if (UpdateObserver* also = host_.Observer()) also->PhaseStarted(phase, pass);
  }
  void PassFailed(int pass, MessageId id, const std::string& text) override {
    if (UpdateObserver* also = host_.Observer()) also->PassFailed(pass, id, text);
  }

 private:
  UpdateHost& host_;
};

}  // namespace

UpdateOutcome RunUpdate(UpdateHost& host) {
  const image::ImageBuffer& loaded = image::LoadedImage();
  const std::uint32_t codeLength = loaded.CodeLength();
  platform::WindowMessages& messages = platform::Current<platform::WindowMessages>();
  const platform::WindowHandle progress = host.ProgressWindow();

  std::uint8_t devices[32] = {};
  if (const int opened = bridge::BridgeOpen(devices, sizeof devices); opened <= 0) {
    bridge::BridgeClose();
    if (!host.ExplainNoBridge(opened))
      host.ShowMessage(StringTableText(Code(MessageId::DeviceNotFound)), MB_ICONHAND);
    return UpdateOutcome::NoBridge;
  }
  // Checked again here: a bridge may have been plugged in since the dialog named its bridge.
  if (const DialogBridge chosen = ChooseDialogBridge(device::DeviceLayer().table, loaded);
      chosen.choice != BridgeChoice::One) {
    bridge::BridgeClose();
    host.ShowMessage(chosen.text, MB_ICONHAND);
    return chosen.choice == BridgeChoice::Several ? UpdateOutcome::SeveralBridges
                                                  : UpdateOutcome::OtherVendor;
  }

  host.ShowProgress(true);
  messages.Send(progress, PBM_SETPOS, 0, 0);
  messages.Send(progress, PBM_SETSTEP, 1, 0);
  messages.Send(progress, PBM_SETRANGE, 0, platform::MakeLParam(0, (2 * codeLength + 512) / 32));

  UpdatePlan plan;
  plan.deviceIndex = kOnlyBridge;
  plan.selfPowered = host.SelfPowered();
  plan.keepBridgeBlock = host.FileType() == 0;  // Intel HEX
  plan.transfers = host.Transfers();
  plan.progressWindow = progress;
  StatusLineObserver observer(host);
  const UpdateReport report = UpdateBridge(plan, loaded, observer);
  host.UpdateEnded(report);

  if (report.result != UpdateResult::Updated) {
    host.ShowMessage(report.errorText, report.errorStyle);
    bridge::BridgeClose();
    host.ShowProgress(false);
    switch (report.result) {
      case UpdateResult::Disconnected:
      case UpdateResult::StoppedAnswering: return UpdateOutcome::Disconnected;
      case UpdateResult::Stopped: return UpdateOutcome::Stopped;
      default: return UpdateOutcome::Failed;
    }
  }
  host.ShowProgress(false);
  host.SetStatusText("ICP completed\n");
  bridge::BridgeClose();
  host.ShowMessage("Programming completed", MB_OK);
  host.ShowMessage("Please device power off and turn on.", MB_OK);
  return UpdateOutcome::Updated;
}

}  // namespace burnwell::app
