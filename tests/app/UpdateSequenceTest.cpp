// The update sequence end to end against an emulated bridge found by discovery on a generated
// machine: what reaches the flash, the passes and their failures, what the operator is shown.
#include "app/UpdateSequence.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "common/MakerIds.h"
#include "bridge/DeviceApi.h"
#include "bridge/BridgeState.h"
#include "device/DeviceRecord.h"
#include "wire/ScsiRequest.h"
#include "image/ImageBuffer.h"
#include "platform/IoFailure.h"
#include "platform/StopRequest.h"
#include "platform/WinNames.h"
#include "sim/ChipCatalog.h"
#include "sim/EmulatedBridge.h"
#include "sim/EmulatedDeviceIo.h"
#include "sim/SimClock.h"
#include "sim/machine/SysfsTree.h"
#include "tests/bridge/LinuxMachineFakes.h"
#include "tests/support/TestSupport.h"

namespace burnwell::app {
namespace {

constexpr platform::WindowHandle kProgressBar = 1006;

enum class Phase { Other, Erase, Program, ReadBack };

// The dialog as the update sees it: records every status text, message box and progress-bar
// change, and tells the fault injector which step runs.
class RecordingHost final : public UpdateHost {
 public:
  int selfPowered = 1;
  int fileType = 0;
  Phase phase = Phase::Other;
  int pass = 0;  // counted by the erase step that starts each pass
  std::vector<std::string> statuses;
  std::vector<std::pair<std::string, std::uint32_t>> boxes;
  std::vector<bool> progressShown;
  std::function<void(const std::string&)> onStatus;  // runs as a status text is shown

  int SelfPowered() const override { return selfPowered; }
  int FileType() const override { return fileType; }
  platform::WindowHandle ProgressWindow() override { return kProgressBar; }
  void ShowProgress(bool visible) override { progressShown.push_back(visible); }
  void SetStatusText(const std::string& text) override {
    statuses.push_back(text);
    if (text == "Erase main code\n") {
      phase = Phase::Erase;
      ++pass;
    } else if (text == "Programming main code\n")
      phase = Phase::Program;
    else if (text == "Read main code back\n")
      phase = Phase::ReadBack;
    else
      phase = Phase::Other;
    if (onStatus) onStatus(text);
  }
  int ShowMessage(const std::string& text, std::uint32_t style) override {
    boxes.emplace_back(text, style);
    return IDOK;
  }
  int Count(const std::string& status) const {
    return static_cast<int>(std::count(statuses.begin(), statuses.end(), status));
  }
};

class RecordingWindows final : public platform::WindowMessages {
 public:
  struct Message {
    std::uint32_t id;
    platform::WParam wParam;
    platform::LParam lParam;
  };
  std::vector<Message> sent;
  bool Post(platform::WindowHandle, std::uint32_t, platform::WParam, platform::LParam) override {
    return true;
  }
  platform::LResult Send(platform::WindowHandle window, std::uint32_t id, platform::WParam w,
                         platform::LParam l) override {
    if (window == kProgressBar) sent.push_back({id, w, l});
    return 0;
  }
};

// Fails or spoils chosen steps of chosen passes on the way to the emulator, the way a flaky
// cable would: the chip-erase command, the program commands, or the read-back data.
class StepFaults final : public platform::DeviceIo {
 public:
  StepFaults(sim::EmulatedDeviceIo& inner, const RecordingHost& host)
      : inner_(inner), host_(host) {}

  std::map<int, Phase> failAt;    // pass number (1-based) -> step that fails in it
  int corruptReadBackPasses = 0;  // the first N read-backs come back with one byte changed
  int spoilBlockPieces = 0;       // the first N pieces read of the configuration block differ
  bool gone = false;              // the bridge is unplugged: every command fails as the OS says

  platform::Handle Open(const char* path, std::uint32_t attributes) override {
    return inner_.Open(path, attributes);
  }
  bool Read(platform::Handle h, void* b, std::uint32_t s, std::uint32_t* r) override {
    return inner_.Read(h, b, s, r);
  }
  bool Seek(platform::Handle h, std::int64_t o) override { return inner_.Seek(h, o); }
  bool Close(platform::Handle h) override { return inner_.Close(h); }
  void ResetSpoiled() { spoiled_ = 0; }
  platform::Handle OpenRelay() override { return platform::kInvalidHandle; }
  bool WriteMessage(platform::Handle, const void*, std::uint32_t, std::uint32_t*) override {
    return false;
  }
  bool ReadMessage(platform::Handle, void*, std::uint32_t, std::uint32_t*) override {
    return false;
  }

  bool IoControl(platform::Handle handle, std::uint32_t code, const void* in, std::uint32_t inSize,
                 void* out, std::uint32_t outSize, std::uint32_t* returned) override {
    const wire::ScsiRequestReader request(std::span(static_cast<const std::uint8_t*>(in), inSize));
    const wire::ScsiPassThroughHeader header = request.Header();
    const std::uint8_t opcode = header.Cdb[0];
    const std::uint8_t firstData = request.Data()[0];
    const int pass_ = host_.pass;
    if (gone) {
      platform::NoteIoFailure(platform::IoFailure::DeviceGone);
      return false;
    }
    const auto planned = failAt.find(pass_);
    const bool failThisStep = planned != failAt.end() && planned->second == host_.phase;
    if (failThisStep) {
      const bool eraseCommand =
          opcode == 0xD5 && (firstData == 0x60 || firstData == 0xC7 || firstData == 0x62);
      const bool programCommand = opcode == 0xD5 && (firstData == 0x02 || firstData == 0xAF);
      const bool eepromWrite = opcode == 0xD1;
      const bool dataRead = opcode == 0xD6 || opcode == 0xD2;
      if ((host_.phase == Phase::Erase && (eraseCommand || eepromWrite)) ||
          (host_.phase == Phase::Program && (programCommand || eepromWrite)) ||
          (host_.phase == Phase::ReadBack && dataRead)) {
        return false;
      }
    }
    const bool ok = inner_.IoControl(handle, code, in, inSize, out, outSize, returned);
    const bool dataPiece = opcode == 0xD6 && header.Cdb[3] == 32;  // not a poll or probe
    if (ok && spoiled_ < spoilBlockPieces && host_.pass == 0 && dataPiece)
      wire::ScsiRequestView(std::span(static_cast<std::uint8_t*>(out), outSize)).Data()[0] ^=
          static_cast<std::uint8_t>(++spoiled_);
    if (ok && host_.phase == Phase::ReadBack && dataPiece && pass_ <= corruptReadBackPasses &&
        corruptedInPass_ != pass_) {
      wire::ScsiRequestView(std::span(static_cast<std::uint8_t*>(out), outSize)).Data()[0] ^= 0x01;
      corruptedInPass_ = pass_;
    }
    return ok;
  }

 private:
  sim::EmulatedDeviceIo& inner_;
  const RecordingHost& host_;
  int corruptedInPass_ = 0;
  int spoiled_ = 0;
};

class UpdateSequence : public ::testing::Test {
 protected:
  UpdateSequence()
      : system_(root_.Path()),
        faults_(io_, host_),
        systemGuard_(&system_),
        locksGuard_(&locks_),
        ioGuard_(&faults_),
        clockGuard_(&clock_),
        windowsGuard_(&windows_) {
    bridge::ResetBridgeLayerState();
    bridge::BridgeLayer().discoveryFlavor = bridge::DiscoveryFlavor::Linux;
    image::ResetLoadedImage();
    bridge::BridgeInitialize();
  }
  ~UpdateSequence() override {
    bridge::BridgeUninitialize();
    bridge::ResetBridgeLayerState();
    image::ResetLoadedImage();
  }

  // One bridge on port 1 of bus 1, reached through the emulator.
  sim::EmulatedBridge& AddBridge(sim::BridgeConfig config) {
    for (const auto& entry : std::filesystem::directory_iterator(root_.Path())) {
      std::filesystem::remove_all(entry.path());
    }
    sim::machine::MachineSpec layout;
    sim::machine::StorageSpec storage;
    storage.location = "1-1";
    storage.vendorId = config.vendorId;
    storage.productId = config.productId;
    storage.serial = config.serial;
    layout.storage.push_back(storage);
    const auto units = sim::machine::WriteSystemRoot(root_.Path(), layout);
    bridge_ = std::make_shared<sim::EmulatedBridge>(std::move(config), clock_);
    io_.Attach(units.at(0).genericNode, bridge_);
    return *bridge_;
  }

  // A loaded Intel HEX image of the given size with a recognisable code and checksum.
  std::vector<std::uint8_t> LoadCode(std::uint32_t size, std::uint16_t checksum) {
    std::vector<std::uint8_t> code(size);
    for (std::uint32_t i = 0; i < size; ++i) code[i] = static_cast<std::uint8_t>(i * 7 + (i >> 8));
    image::ImageBuffer& loaded = image::LoadedImage();
    loaded.TakeCode(code);
    loaded.SetFieldValue(image::FieldId::CodeLength, size);
    loaded.SetFieldValue(image::FieldId::Marker, 0x5A);
    loaded.SetFieldValue(image::FieldId::Checksum, checksum);
    return code;
  }

  std::vector<std::uint8_t> Memory(std::size_t length) {
    auto memory = bridge_->Memory();
    return std::vector<std::uint8_t>(memory.begin(),
                                     memory.begin() + static_cast<std::ptrdiff_t>(length));
  }

  test::TempDir root_;
  test::FakeSystemRoot system_;
  test::FakeLocks locks_;
  sim::VirtualClock clock_;
  sim::EmulatedDeviceIo io_;
  RecordingHost host_;
  StepFaults faults_;
  RecordingWindows windows_;
  platform::ScopedOverride<platform::System> systemGuard_;
  platform::ScopedOverride<platform::NamedLocks> locksGuard_;
  platform::ScopedOverride<platform::DeviceIo> ioGuard_;
  platform::ScopedOverride<platform::Clock> clockGuard_;
  platform::ScopedOverride<platform::WindowMessages> windowsGuard_;
  std::shared_ptr<sim::EmulatedBridge> bridge_;
};

TEST_F(UpdateSequence, WithoutABridgeOnlyDeviceNotFoundIsShown) {
  LoadCode(0xB800, 0x1234);
  EXPECT_EQ(RunUpdate(host_), UpdateOutcome::NoBridge);
  EXPECT_TRUE(host_.statuses.empty());
  EXPECT_TRUE(host_.progressShown.empty());
  EXPECT_TRUE(windows_.sent.empty());
  ASSERT_EQ(host_.boxes.size(), 1u);
  EXPECT_EQ(host_.boxes[0].first, "Device not found");
  EXPECT_EQ(host_.boxes[0].second, MB_ICONHAND);
}

TEST_F(UpdateSequence, HexImageKeepsTheBridgesBlockWithPowerEditsAndStampsTheMarker) {
  for (int selfPowered : {1, 0}) {
    SCOPED_TRACE(selfPowered);
    bridge::ResetBridgeLayerState();
    AddBridge(sim::BridgeConfig{});
    const std::vector<std::uint8_t> before = Memory(256);
    const std::vector<std::uint8_t> code = LoadCode(0xB800, 0x1234);
    host_ = RecordingHost{};
    host_.selfPowered = selfPowered;

    EXPECT_EQ(RunUpdate(host_), UpdateOutcome::Updated);

    std::vector<std::uint8_t> expected = before;
    expected[249] |= 0x04;
    expected[8] = selfPowered ? (before[8] | 0x40) : (before[8] & 0xBF);
    expected[9] = selfPowered ? 50 : 250;
    expected[11] = 0x5A;
    expected[12] = 0x12;
    expected[13] = 0x34;
    expected.insert(expected.end(), code.begin(), code.end());
    EXPECT_EQ(Memory(expected.size()), expected);
    ASSERT_EQ(host_.boxes.size(), 2u);
    EXPECT_EQ(host_.boxes[0], std::make_pair(std::string("Programming completed"), MB_OK));
    EXPECT_EQ(host_.boxes[1],
              std::make_pair(std::string("Please device power off and turn on."), MB_OK));
    EXPECT_EQ(host_.statuses.back(), "ICP completed\n");
    EXPECT_EQ(host_.progressShown, (std::vector<bool>{true, false}));
  }
}

TEST_F(UpdateSequence, ImageFileBlockCarriesTheBridgesSerialAndIgnoresThePowerSetting) {
  sim::BridgeConfig config;
  config.serial = "BRIDGE0042";
  AddBridge(config);
  const std::vector<std::uint8_t> code = LoadCode(0x5C00, 0xBEEF);
  image::ImageBuffer& loaded = image::LoadedImage();
  std::vector<std::uint8_t> fileBlock(256);
  loaded.CopyBlockOut(fileBlock);
  host_.fileType = 1;
  host_.selfPowered = 0;

  EXPECT_EQ(RunUpdate(host_), UpdateOutcome::Updated);

  const std::vector<std::uint8_t> flash = Memory(256 + code.size());
  image::ImageBuffer programmed;
  programmed.CopyBlockIn(std::span<const std::uint8_t>(flash.data(), 256));
  std::uint8_t serial[64] = {};
  ASSERT_TRUE(programmed.GetSerial(serial));
  EXPECT_STREQ(reinterpret_cast<const char*>(serial), "BRIDGE0042");
  EXPECT_EQ(flash[8], fileBlock[8]);  // the power setting does not reach this block
  EXPECT_EQ(flash[9], fileBlock[9]);
  EXPECT_EQ(flash[249], fileBlock[249]);
  EXPECT_EQ(flash[11], 0x5A);
  EXPECT_EQ(flash[12], 0xBE);
  EXPECT_EQ(flash[13], 0xEF);
  EXPECT_TRUE(std::equal(code.begin(), code.end(), flash.begin() + 256));
}

TEST_F(UpdateSequence, ProgressRangeFollowsTheImageLength) {
  for (std::uint32_t size : {0xB800u, 0x5C00u}) {
    SCOPED_TRACE(size);
    bridge::ResetBridgeLayerState();
    AddBridge(sim::BridgeConfig{});
    LoadCode(size, 0x0102);
    windows_.sent.clear();
    ASSERT_EQ(RunUpdate(host_), UpdateOutcome::Updated);
    ASSERT_GE(windows_.sent.size(), 3u);
    EXPECT_EQ(windows_.sent[0].id, PBM_SETPOS);
    EXPECT_EQ(windows_.sent[1].id, PBM_SETSTEP);
    EXPECT_EQ(windows_.sent[2].id, PBM_SETRANGE);
    const std::uint32_t maximum = size == 0xB800 ? 2960 : 1488;
    EXPECT_EQ(windows_.sent[2].lParam, static_cast<platform::LParam>(maximum << 16));
  }
}

TEST_F(UpdateSequence, FailedConfigurationReadIsRaisedAtOnceWithoutErasing) {
  sim::BridgeConfig config;
  config.faults.failOpcodes.push_back({0xD6, sim::FailureKind::CheckCondition});
  AddBridge(config);
  LoadCode(0xB800, 0x1234);
  const std::vector<std::uint8_t> before = Memory(0x100);

  EXPECT_EQ(RunUpdate(host_), UpdateOutcome::Failed);

  ASSERT_EQ(host_.boxes.size(), 1u);
  EXPECT_EQ(host_.boxes[0].first, "Read FLASH failed\nOffset=0x0, Length=256");
  EXPECT_EQ(host_.boxes[0].second, MB_ICONHAND);
  EXPECT_EQ(host_.Count("Erase main code\n"), 0);
  EXPECT_EQ(Memory(0x100), before);
  EXPECT_EQ(host_.progressShown.back(), false);
}

TEST_F(UpdateSequence, EraseFailingOnEveryPassGivesUpAfterSixAttempts) {
  AddBridge(sim::BridgeConfig{});
  LoadCode(0x5C00, 0x1234);
  for (int pass = 1; pass <= 6; ++pass) faults_.failAt[pass] = Phase::Erase;

  EXPECT_EQ(RunUpdate(host_), UpdateOutcome::Failed);

  EXPECT_EQ(host_.Count("Erase main code\n"), 6);
  EXPECT_EQ(host_.Count("Programming main code\n"), 0);
  ASSERT_EQ(host_.boxes.size(), 1u);
  EXPECT_EQ(host_.boxes[0], std::make_pair(std::string("Could not erase FLASH"), MB_OK));
}

TEST_F(UpdateSequence, CompareFailingFiveTimesThenSucceedingEndsInSuccess) {
  AddBridge(sim::BridgeConfig{});
  LoadCode(0x5C00, 0x1234);
  faults_.corruptReadBackPasses = 5;

  EXPECT_EQ(RunUpdate(host_), UpdateOutcome::Updated);

  EXPECT_EQ(host_.Count("Compare main code\n"), 6);
  EXPECT_EQ(host_.boxes.front().first, "Programming completed");
}

TEST_F(UpdateSequence, FailuresOfDifferentStepsCountTogetherAndTheLastIsShown) {
  AddBridge(sim::BridgeConfig{});
  LoadCode(0x5C00, 0x1234);
  faults_.failAt = {{1, Phase::Erase}, {2, Phase::Program}, {3, Phase::ReadBack},
                    {4, Phase::Erase}, {5, Phase::Program}, {6, Phase::ReadBack}};

  EXPECT_EQ(RunUpdate(host_), UpdateOutcome::Failed);

  ASSERT_EQ(host_.boxes.size(), 1u);
  EXPECT_EQ(host_.boxes[0].first, "Read FLASH failed\nOffset=0x0, Length=23808");
  EXPECT_EQ(host_.boxes[0].second, MB_ICONHAND);
  EXPECT_EQ(host_.Count("Erase main code\n"), 6);
}

TEST_F(UpdateSequence, ProgrammingFailureNamesTheMainCodePart) {
  AddBridge(sim::BridgeConfig{});
  LoadCode(0x5C00, 0x1234);
  for (int pass = 1; pass <= 6; ++pass) faults_.failAt[pass] = Phase::Program;

  EXPECT_EQ(RunUpdate(host_), UpdateOutcome::Failed);
  ASSERT_EQ(host_.boxes.size(), 1u);
  EXPECT_EQ(host_.boxes[0].first, "Programming FLASH failed\nOffset=0x100, Length=23552");
}

TEST_F(UpdateSequence, BridgeThatForgetsTheMarkerFailsVerification) {
  sim::BridgeConfig config;
  config.faults.forgetMarker = true;
  AddBridge(config);
  LoadCode(0x5C00, 0x1234);

  EXPECT_EQ(RunUpdate(host_), UpdateOutcome::Failed);
  EXPECT_EQ(host_.Count("Compare main code\n"), 6);
  ASSERT_EQ(host_.boxes.size(), 1u);
  EXPECT_EQ(host_.boxes[0], std::make_pair(std::string("Main code verification failure"), MB_OK));
}

TEST_F(UpdateSequence, EveryChipModelAndTheLargeEepromEndHoldingBlockCodeAndMarker) {
  std::vector<sim::BridgeConfig> bridges;
  for (const sim::ChipDescription& chip : sim::ChipCatalog()) {
    if (chip.size >= 0xB800 + 256) bridges.push_back(sim::BridgeConfig::WithChip(chip.name));
  }
  bridges.push_back(sim::BridgeConfig::WithEeprom(sim::EepromKind::Large64k));
  ASSERT_GE(bridges.size(), 14u);
  for (sim::BridgeConfig& config : bridges) {
    SCOPED_TRACE(config.eeprom ? std::string("eeprom-64k") : config.chip);
    bridge::ResetBridgeLayerState();
    AddBridge(config);
    const std::vector<std::uint8_t> code = LoadCode(0xB800, 0xCAFE);
    host_ = RecordingHost{};
    ASSERT_EQ(RunUpdate(host_), UpdateOutcome::Updated);
    const std::vector<std::uint8_t> flash = Memory(256 + code.size());
    EXPECT_EQ(flash[11], 0x5A);
    EXPECT_EQ(flash[12], 0xCA);
    EXPECT_EQ(flash[13], 0xFE);
    EXPECT_TRUE(std::equal(code.begin(), code.end(), flash.begin() + 256));
  }
}

TEST_F(UpdateSequence, SmallEepromTakesAConfigurationOnlyImage) {
  AddBridge(sim::BridgeConfig::WithEeprom(sim::EepromKind::Small256));
  image::ImageBuffer& loaded = image::LoadedImage();
  loaded.SetFieldValue(image::FieldId::CodeLength, 0);
  host_.fileType = 2;
  EXPECT_EQ(RunUpdate(host_), UpdateOutcome::Updated);
  const std::vector<std::uint8_t> flash = Memory(256);
  EXPECT_EQ(flash[11], 0x5A);
  EXPECT_EQ(flash[0], static_cast<std::uint8_t>(VID_MAKER));
}

// Ends no further pass can mend, and a block read that a fault on the line spoiled.
TEST_F(UpdateSequence, GoneStoppedOrUnsettledBridgesEndAtOnceAndSayWhy) {
  struct Case {
    const char* name;
    std::function<void(sim::BridgeConfig&, StepFaults&, RecordingHost&)> arrange;
    UpdateOutcome outcome;
    std::string box;  // the start of the one box shown, or of the first one
    int erases;
    bool markerBlank;  // the validity marker bytes are still erased
  };
  const auto onProgramming = [](RecordingHost& host, std::function<void()> act) {
    host.onStatus = [act](const std::string& text) {
      if (text == "Programming main code\n") act();
    };
  };
  const std::vector<Case> cases = {
      {"unplugged while programming",
       [&](sim::BridgeConfig&, StepFaults& faults, RecordingHost& host) {
         onProgramming(host, [&faults] { faults.gone = true; });
       },
       UpdateOutcome::Disconnected, "The bridge was disconnected during programming.", 1, true},
      {"stopped while programming",
       [&](sim::BridgeConfig&, StepFaults&, RecordingHost& host) {
         onProgramming(host, [] { platform::RequestStop(); });
       },
       UpdateOutcome::Stopped,
       "Stopped. The bridge is left partly programmed, with no validity marker", 1, true},
      {"block read spoiled once",
       [](sim::BridgeConfig&, StepFaults& faults, RecordingHost&) { faults.spoilBlockPieces = 1; },
       UpdateOutcome::Updated, "Programming completed", 1, false},
      {"block reads never agree",
       [](sim::BridgeConfig&, StepFaults& faults, RecordingHost&) {
         faults.spoilBlockPieces = 1000;
       },
       UpdateOutcome::Failed, "The bridge's configuration block read differently each time", 0,
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    bridge::ResetBridgeLayerState();
    faults_.gone = false;
    faults_.spoilBlockPieces = 0;
    faults_.ResetSpoiled();
    host_ = RecordingHost{};
    sim::BridgeConfig config;
    c.arrange(config, faults_, host_);
    AddBridge(config);
    const std::vector<std::uint8_t> before = Memory(256);
    LoadCode(0x5C00, 0x1234);

    EXPECT_EQ(RunUpdate(host_), c.outcome);
    platform::ClearStopRequest();

    ASSERT_FALSE(host_.boxes.empty());
    EXPECT_EQ(host_.boxes[0].first.substr(0, c.box.size()), c.box);
    EXPECT_EQ(host_.Count("Erase main code\n"), c.erases);
    const std::vector<std::uint8_t> flash = Memory(256);
    if (c.markerBlank) {
      EXPECT_EQ(flash[11], 0xFF);
    }
    if (c.outcome == UpdateOutcome::Updated) {
      EXPECT_EQ(flash[0], before[0]);
    }
    if (c.erases == 0) {
      EXPECT_EQ(flash, before);
    }
  }
}

}  // namespace
}  // namespace burnwell::app

namespace burnwell::app {
namespace {

// A bridge that ends chip select by itself after two transfers still runs every 32-byte piece,
// but cuts a page program or a long read short without an error: the fast pass fails (its
// read-back checks itself, the compare catches the program), the next pass uses classic transfers
// and verifies. A fast pass that erases only what it writes leaves the rest of the chip as it
// was; a classic one, the fallback's too, erases the whole chip.
TEST_F(UpdateSequence, FastTransfersFallBackToClassicAfterAFailedCompare) {
  struct Row {
    std::uint32_t selectionEndsAfter;
    protocol::TransferMode transfers;
    bool eraseOnlyWhatIsWritten;
    int passes;
    bool fellBack;
    bool restKept;  // the chip's upper half keeps what it held
  };
  const Row rows[] = {
      {0, protocol::TransferMode::Fast, false, 1, false, false},
      {2, protocol::TransferMode::Fast, false, 2, true, false},
      {2, protocol::TransferMode::Classic, false, 1, false, false},
      {0, protocol::TransferMode::Fast, true, 1, false, true},
      {2, protocol::TransferMode::Fast, true, 2, true, false},
  };
  constexpr std::size_t kUpperHalf = 0x10000;  // past the image's erases on the 128 KiB chip
  for (const Row& row : rows) {
    SCOPED_TRACE(std::to_string(row.selectionEndsAfter) +
                 (row.eraseOnlyWhatIsWritten ? " range" : ""));
    bridge::ResetBridgeLayerState();
    sim::BridgeConfig config = sim::BridgeConfig::WithChip("MX25L1005");
    config.selectionEndsAfterTransfers = row.selectionEndsAfter;
    const auto memory = AddBridge(config).Memory();
    std::fill(memory.begin() + kUpperHalf, memory.end(), 0x00);
    const std::vector<std::uint8_t> block = Memory(image::kConfigBlockSize);
    LoadCode(0xB800, 0x1234);
    std::uint8_t devices[32] = {};
    ASSERT_GT(bridge::BridgeOpen(devices, sizeof devices), 0);
    UpdatePlan plan;
    plan.transfers = row.transfers;
    plan.eraseOnlyWhatIsWritten = row.eraseOnlyWhatIsWritten;
    UpdateObserver observer;
    const UpdateReport report = UpdateBridge(plan, image::LoadedImage(), observer);
    bridge::BridgeClose();

    EXPECT_EQ(report.result, UpdateResult::Updated);
    EXPECT_EQ(report.passes, row.passes);
    EXPECT_EQ(report.fellBackToClassic, row.fellBack);
    const std::vector<std::uint8_t> expected = FlashAfterUpdate(block, image::LoadedImage(), plan);
    EXPECT_EQ(Memory(expected.size()), expected);
    EXPECT_EQ(memory[kUpperHalf], row.restKept ? 0x00 : 0xFF);
  }
}

}  // namespace
}  // namespace burnwell::app
