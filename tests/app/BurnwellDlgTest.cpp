// The updater's dialogs through the scripted backend, in a scratch working directory with real
// Config.ini and firmware files, and a fake device API and update sequence that note each call.
#include "app/BurnwellDlg.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <thread>

#include "common/MakerIds.h"
#include "image/ImageBuffer.h"
#include "platform/WinNames.h"
#include "tests/support/TestSupport.h"
#include "ui/Templates.h"
#include "ui/scripted/ScriptedBackend.h"

namespace burnwell::app {
namespace {

using ui::ScriptedBackend;
using ui::ScriptedWindow;

// An Intel HEX file with 32 bytes of code at 0.
std::string SmallHexFile() {
  std::string text;
  for (unsigned address = 0; address < 32; address += 16) {
    unsigned sum = 16 + (address >> 8) + (address & 0xFF);
    char line[64];
    std::snprintf(line, sizeof line, ":10%04X00", address);
    text += line;
    for (unsigned i = 0; i < 16; ++i) {
      const unsigned byte = (address + i) * 7 & 0xFF;
      std::snprintf(line, sizeof line, "%02X", byte);
      text += line;
      sum += byte;
    }
    std::snprintf(line, sizeof line, "%02X\n", (0x100 - (sum & 0xFF)) & 0xFF);
    text += line;
  }
  return text + ":00000001FF\n";
}

// A header image for PID_A whose main code is `length` bytes of 0x11.
std::vector<std::uint8_t> HeaderImage(std::uint32_t length) {
  std::vector<std::uint8_t> file(image::kImageHeaderSize, 0);
  file[0] = VID_MAKER & 0xFF;
  file[1] = VID_MAKER >> 8;
  file[256] = PID_A & 0xFF;
  file[257] = PID_A >> 8;
  for (int i = 0; i < 4; ++i) file[264 + i] = static_cast<std::uint8_t>(length >> (8 * i));
  std::vector<std::uint8_t> code(kSmallMainCodeSize, 0xFF);
  std::fill_n(code.begin(), length, std::uint8_t{0x11});
  const std::uint16_t checksum = image::ComputeChecksum(code);
  file[12] = checksum >> 8;
  file[13] = checksum & 0xFF;
  file.insert(file.end(), code.begin(), code.begin() + length);
  return file;
}

class BurnwellDlgTest : public ::testing::Test {
 protected:
  BurnwellDlgTest() : previous_(std::filesystem::current_path()) {
    std::filesystem::current_path(dir_.Path());
    image::ResetLoadedImage();
    backend_.SetFileVersion(ui::FileVersion{1, 4, 3, 23});
  }
  ~BurnwellDlgTest() override { std::filesystem::current_path(previous_); }

  void WriteConfig(const std::string& text) { test::WriteFile(dir_ / "Config.ini", text); }
  void WriteFirmware(const std::string& name, const std::string& text) {
    test::WriteFile(dir_ / name, text);
  }

  // The fake device API and update: every call goes to `calls`, in order.
  DialogServices Services() {
    DialogServices services = DialogServices::Real();
    services.bridgeOpen = [this](std::uint8_t* ids, std::uint32_t size) {
      Note("open " + std::to_string(size));
      if (bridges_ > 0) ids[0] = 5;
      return bridges_;
    };
    services.bridgeGetVersion = [this](int id, std::uint32_t* ids, std::uint32_t* version) {
      Note("version " + std::to_string(id));
      *ids = 0;
      *version = firmwareVersion_;
      return versionResult_;
    };
    services.bridgeClose = [this] {
      Note("close");
      return 0;
    };
    services.bridgeInitialize = [this] {
      Note("initialize");
      return 0;
    };
    services.bridgeUninitialize = [this] {
      Note("uninitialize");
      return 0;
    };
    services.runUpdate = [this](UpdateHost& host) {
      Note("update self-powered=" + std::to_string(host.SelfPowered()) +
           " type=" + std::to_string(host.FileType()));
      workerThread_ = std::this_thread::get_id();
      if (duringUpdate_) duringUpdate_(host);
      return outcome_;
    };
    return services;
  }

  RunResult RunDialog() {
    CBurnwellDlg dialog(Services());
    dialog_ = &dialog;
    result_ = dialog.DoModal();
    checksum_ = dialog.ChecksumText();
    path_ = dialog.FirmwarePathText();
    length_ = dialog.Length();
    dialog_ = nullptr;
    return dialog.Result();
  }

  void Note(const std::string& call) {
    std::lock_guard lock(mutex_);
    calls_.push_back(call);
  }
  std::vector<std::string> Calls() {
    std::lock_guard lock(mutex_);
    return calls_;
  }
  std::vector<std::string> BoxTexts() const {
    std::vector<std::string> texts;
    for (const auto& box : backend_.Boxes()) texts.push_back(box.text);
    return texts;
  }
  bool HasEvent(const std::string& event) const {
    for (const std::string& e : backend_.Events()) {
      if (e == event) return true;
    }
    return false;
  }
  std::string LastStateOf(int id) const {
    std::string last;
    const std::string prefix = "state " + std::to_string(id) + " ";
    for (const std::string& e : backend_.Events()) {
      if (e.rfind(prefix, 0) == 0) last = e.substr(prefix.size());
    }
    return last;
  }

  test::TempDir dir_;
  std::filesystem::path previous_;
  ScriptedBackend backend_;
  platform::ScopedOverride<ui::Backend> installed_{&backend_};
  std::mutex mutex_;
  std::vector<std::string> calls_;
  int bridges_ = 1;
  std::uint32_t firmwareVersion_ = 0x41424344;  // "ABCD"
  int versionResult_ = 0;
  UpdateOutcome outcome_ = UpdateOutcome::Updated;
  std::function<void(UpdateHost&)> duringUpdate_;
  std::thread::id workerThread_;
  CBurnwellDlg* dialog_ = nullptr;
  int result_ = 0;
  std::string checksum_, path_;
  std::uint32_t length_ = 0;
};

constexpr char kNoCheck[] = "[Cmp_Ver]\nCMPLEN=0\n";

// --- start-up and loading --------------------------------------------------------------------

TEST_F(BurnwellDlgTest,
       WithoutConfigIniTheDefaultFileIsLoadedAndTheDefaultCheckRefusesEveryVersion) {
  WriteFirmware("ZQ5x8x.hex", SmallHexFile());
  EXPECT_EQ(RunDialog(), RunResult::VersionRefused);
  EXPECT_EQ(path_, "./ZQ5x8x.hex");
  // 14 characters of "ZQ5x8x" never equal a four- or eight-character version text.
  EXPECT_EQ(Calls(), (std::vector<std::string>{"open 32", "version 5", "close"}));
  EXPECT_EQ(BoxTexts().back(),
            "Firmware Version is not correct to update. Please contact to your manufacturer");
  EXPECT_EQ(backend_.Boxes().back().style, static_cast<std::uint32_t>(MB_ICONHAND));
  EXPECT_EQ(result_, IDCANCEL);
}

TEST_F(BurnwellDlgTest, LoadedFileShowsItsChecksumLengthAndStatusThenAsksForTheBackup) {
  WriteConfig(std::string(kNoCheck) + "[Hex_FileName]\nHEXNAME=fw.hex\n");
  WriteFirmware("fw.hex", SmallHexFile());
  EXPECT_EQ(RunDialog(), RunResult::Updated);
  char expected[8];
  std::snprintf(expected, sizeof expected, "%04X", image::LoadedImage().GetChecksum());
  EXPECT_EQ(checksum_, expected);
  EXPECT_EQ(checksum_.size(), 4u);
  EXPECT_TRUE(HasEvent("state 1012 visible=1 enabled=1 text=" + checksum_));
  EXPECT_TRUE(HasEvent("state 1004 visible=1 enabled=1 text=Main code loaded!"));
  ASSERT_FALSE(backend_.Boxes().empty());
  EXPECT_EQ(backend_.Boxes()[0].text, "Please do backup your files before executing the steps.");
  EXPECT_EQ(backend_.Boxes()[0].caption, "Warning");
  EXPECT_EQ(backend_.Boxes()[0].style,
            static_cast<std::uint32_t>(MB_OKCANCEL | MB_ICONEXCLAMATION));
  EXPECT_EQ(LastStateOf(IDC_WARNING),
            "visible=1 enabled=1 text=Updating now, please don't remove device!");
  EXPECT_EQ(Calls(), (std::vector<std::string>{"update self-powered=1 type=0"}));
}

TEST_F(BurnwellDlgTest, TheWarningLineKeepsTheUpdatesVerdictUntilTheWindowCloses) {
  struct Case {
    UpdateOutcome outcome;
    std::vector<std::string> boxes;  // what the update shows, in order
  };
  for (const Case& c : {Case{UpdateOutcome::Updated,
                             {"Programming completed", "Please device power off and turn on."}},
                        Case{UpdateOutcome::Failed, {"Main code verification failure"}}}) {
    SCOPED_TRACE(c.boxes.front());
    WriteConfig(std::string(kNoCheck) + "[Hex_FileName]\nHEXNAME=fw.hex\n");
    WriteFirmware("fw.hex", SmallHexFile());
    image::ResetLoadedImage();
    outcome_ = c.outcome;
    duringUpdate_ = [&](UpdateHost& host) {
      for (const std::string& box : c.boxes) host.ShowMessage(box, MB_OK);
    };
    RunDialog();
    // The last text the line got, and the window ended after it.
    EXPECT_EQ(LastStateOf(IDC_WARNING), "visible=1 enabled=1 text=" + c.boxes.front());
    EXPECT_EQ(backend_.Events().back(), "end 102 2");
  }
}

TEST_F(BurnwellDlgTest, UpperCaseHexExtensionGoesToTheHeaderReader) {
  WriteConfig(std::string(kNoCheck) + "[Hex_FileName]\nHEXNAME=FW.HEX\n");
  test::WriteFile(dir_ / "FW.HEX", HeaderImage(0x4000));
  EXPECT_EQ(RunDialog(), RunResult::Updated);
  EXPECT_EQ(length_, 0x4000u);
  // Type 2 has no radio button: the update reads it back as -1, which is "not HEX".
  EXPECT_EQ(Calls(), (std::vector<std::string>{"update self-powered=1 type=-1"}));
}

TEST_F(BurnwellDlgTest, UpperCaseHexExtensionOnAnIntelHexFileFailsToLoad) {
  WriteConfig(std::string(kNoCheck) + "[Hex_FileName]\nHEXNAME=FW.HEX\n");
  WriteFirmware("FW.HEX", SmallHexFile());
  EXPECT_EQ(RunDialog(), RunResult::LoadErrorOrCancel);
  // The header reader gives no text: the status line is emptied.
  EXPECT_EQ(LastStateOf(IDC_STATUS), "visible=1 enabled=1 text=");
  EXPECT_TRUE(Calls().empty());
}

TEST_F(BurnwellDlgTest, MissingFileShowsTheLoadErrorAndClosesAfterHalfASecondWithoutDeviceAccess) {
  WriteConfig("[Hex_FileName]\nHEXNAME=absent.hex\n");
  EXPECT_EQ(RunDialog(), RunResult::LoadErrorOrCancel);
  EXPECT_EQ(BoxTexts(), (std::vector<std::string>{"Load FW error!!!"}));
  EXPECT_EQ(backend_.Boxes()[0].caption, "Error");
  EXPECT_EQ(backend_.Boxes()[0].style, static_cast<std::uint32_t>(MB_ICONHAND));
  EXPECT_TRUE(HasEvent("timer 9999 500"));
  EXPECT_EQ(backend_.NowMs(), 500);
  EXPECT_EQ(LastStateOf(IDC_WARNING), "visible=1 enabled=1 text=Load FW error!!!");
  EXPECT_TRUE(Calls().empty());
  EXPECT_TRUE(checksum_.empty());
}

TEST_F(BurnwellDlgTest, CancelOnTheWarningIsALoadErrorWithoutDeviceAccess) {
  WriteConfig("[Hex_FileName]\nHEXNAME=fw.hex\n");
  WriteFirmware("fw.hex", SmallHexFile());
  backend_.AnswerBox("backup", IDCANCEL);
  EXPECT_EQ(RunDialog(), RunResult::LoadErrorOrCancel);
  EXPECT_EQ(BoxTexts(),
            (std::vector<std::string>{"Please do backup your files before executing the steps.",
                                      "Load FW error!!!"}));
  EXPECT_TRUE(Calls().empty());
}

TEST_F(BurnwellDlgTest, DevCountAboveThreeLeavesThePathEmptyAndTheLoadFails) {
  WriteConfig("[Configuration]\nDevCount=4\n[Hex_FileName]\nHEXNAME=fw.hex\n");
  WriteFirmware("fw.hex", SmallHexFile());
  EXPECT_EQ(RunDialog(), RunResult::LoadErrorOrCancel);
  EXPECT_EQ(path_, "./");
  EXPECT_TRUE(Calls().empty());
}

TEST_F(BurnwellDlgTest, InitialisationHidesAndDisablesTheUnusedControls) {
  WriteConfig("[Hex_FileName]\nHEXNAME=absent.hex\n");
  RunDialog();
  EXPECT_EQ(LastStateOf(IDC_FIRMWARE_PATH).substr(0, 19), "visible=1 enabled=0");
  EXPECT_EQ(LastStateOf(IDC_BROWSE).substr(0, 19), "visible=1 enabled=0");
  EXPECT_EQ(LastStateOf(IDC_UPDATE).substr(0, 9), "visible=0");
  EXPECT_EQ(LastStateOf(IDC_GET_VERSION).substr(0, 9), "visible=0");
  EXPECT_EQ(LastStateOf(IDCANCEL).substr(0, 9), "visible=0");
}

// --- the run ---------------------------------------------------------------------------------

TEST_F(BurnwellDlgTest, CompareLengthZeroTouchesNoDeviceBeforeTheUpdateWhichRunsOnAWorker) {
  WriteConfig(std::string(kNoCheck) +
              "[Hex_FileName]\nHEXNAME=fw.hex\n[Self_Powered]\nSELFPOWERON=0\n");
  WriteFirmware("fw.hex", SmallHexFile());
  EXPECT_EQ(RunDialog(), RunResult::Updated);
  EXPECT_EQ(Calls(), (std::vector<std::string>{"update self-powered=0 type=0"}));
  EXPECT_NE(workerThread_, std::this_thread::get_id());
  // 500 ms to the start, 300 ms from the update's end to the close.
  EXPECT_TRUE(HasEvent("timer 8888 500"));
  EXPECT_TRUE(HasEvent("timer 9999 300"));
  EXPECT_EQ(backend_.NowMs(), 800);
}

TEST_F(BurnwellDlgTest, TheUpdateDrivesStatusProgressAndBoxesThroughTheDialog) {
  WriteConfig(std::string(kNoCheck) + "[Hex_FileName]\nHEXNAME=fw.hex\n");
  WriteFirmware("fw.hex", SmallHexFile());
  duringUpdate_ = [](UpdateHost& host) {
    host.ShowProgress(true);
    auto& messages = platform::Current<platform::WindowMessages>();
    messages.Send(host.ProgressWindow(), PBM_SETRANGE, 0,
                  static_cast<platform::LParam>(ui::MakeWParam(0, 1488)));
    messages.Send(host.ProgressWindow(), PBM_SETSTEP, 1, 0);
    for (int i = 0; i < 3; ++i) messages.Post(host.ProgressWindow(), PBM_STEPIT, 0, 0);
    host.SetStatusText("ICP completed\n");
    host.ShowProgress(false);
    host.ShowMessage("Programming completed", MB_OK);
  };
  outcome_ = UpdateOutcome::Updated;
  EXPECT_EQ(RunDialog(), RunResult::Updated);
  EXPECT_TRUE(HasEvent("progress 1006 0..1488 @3"));
  EXPECT_EQ(LastStateOf(IDC_STATUS), "visible=1 enabled=1 text=ICP completed\n");
  EXPECT_EQ(LastStateOf(IDC_PROGRESS).substr(0, 9), "visible=0");
  EXPECT_EQ(BoxTexts().back(), "Programming completed");
}

TEST_F(BurnwellDlgTest, OkAndCancelAreIgnoredWhileTheWorkerRuns) {
  WriteConfig(std::string(kNoCheck) + "[Hex_FileName]\nHEXNAME=fw.hex\n");
  WriteFirmware("fw.hex", SmallHexFile());
  duringUpdate_ = [this](UpdateHost&) {
    dialog_->RunOnDialogThread([this] {
      dialog_->Dispatch(WM_COMMAND, ui::MakeWParam(IDCANCEL, BN_CLICKED), 0);
      dialog_->Dispatch(WM_COMMAND, ui::MakeWParam(IDOK, BN_CLICKED), 0);
    });
    Note("still open");
  };
  outcome_ = UpdateOutcome::Failed;
  EXPECT_EQ(RunDialog(), RunResult::UpdateFailed);
  EXPECT_EQ(result_, IDCANCEL);
  EXPECT_EQ(Calls().back(), "still open");
  EXPECT_TRUE(HasEvent("timer 9999 300"));
}

TEST_F(BurnwellDlgTest, UpdateOutcomesBecomeDistinctResults) {
  WriteConfig(std::string(kNoCheck) + "[Hex_FileName]\nHEXNAME=fw.hex\n");
  WriteFirmware("fw.hex", SmallHexFile());
  outcome_ = UpdateOutcome::NoBridge;
  EXPECT_EQ(RunDialog(), RunResult::NoBridge);
  outcome_ = UpdateOutcome::Failed;
  EXPECT_EQ(RunDialog(), RunResult::UpdateFailed);
}

TEST_F(BurnwellDlgTest, AFailedWorkerStartIsReportedAndTheDialogCloses) {
  WriteConfig(std::string(kNoCheck) + "[Hex_FileName]\nHEXNAME=fw.hex\n");
  WriteFirmware("fw.hex", SmallHexFile());
  backend_.FailThreadStart(true);
  EXPECT_EQ(RunDialog(), RunResult::NotStarted);
  EXPECT_EQ(BoxTexts().back(), kWorkerStartFailed);
  EXPECT_EQ(backend_.Boxes().back().style, static_cast<std::uint32_t>(MB_ICONHAND));
  EXPECT_TRUE(Calls().empty());
}

TEST_F(BurnwellDlgTest, LengthOutsideItsRangeShowsTheRangeMessageAndTheUpdateStillRuns) {
  WriteConfig(std::string(kNoCheck) + "[Hex_FileName]\nHEXNAME=empty.bin\n");
  test::WriteFile(dir_ / "empty.bin", HeaderImage(0));
  EXPECT_EQ(RunDialog(), RunResult::Updated);
  EXPECT_EQ(length_, 0u);
  EXPECT_EQ(BoxTexts(),
            (std::vector<std::string>{"Please do backup your files before executing the steps.",
                                      "Please enter an integer between 256 and 47104."}));
  EXPECT_EQ(backend_.Boxes()[1].style, static_cast<std::uint32_t>(MB_OK | MB_ICONEXCLAMATION));
  EXPECT_EQ(Calls(), (std::vector<std::string>{"update self-powered=1 type=1"}));
}

// --- the firmware-version check --------------------------------------------------------------

TEST(FirmwareVersionText, ThirdByteDecidesBetweenCharactersAndHexDigits) {
  EXPECT_EQ(FirmwareVersionText(0x01020304), "01020304");
  EXPECT_EQ(FirmwareVersionText(0x31323334), "1234");
  EXPECT_EQ(FirmwareVersionText(0x41421244), "41421244");  // 0x12: hexadecimal
  EXPECT_EQ(FirmwareVersionText(0x41421344),
            "AB\x13"
            "D");                                          // 0x13: characters
  EXPECT_EQ(FirmwareVersionText(0x41428044), "41428044");  // 0x80 is negative as signed
  EXPECT_EQ(FirmwareVersionText(0x7A7A7F7A), "zz\x7Fz");
}

TEST(VersionTextMatches, ComparesThePrefixWithoutRegardToCase) {
  EXPECT_TRUE(VersionTextMatches("ABCD", "abcd", 14));  // whole texts when shorter
  EXPECT_FALSE(VersionTextMatches("ABCD", "ABCDE", 14));
  EXPECT_TRUE(VersionTextMatches("ABCD", "ABCDE", 4));
  EXPECT_FALSE(VersionTextMatches("ABCD", "ABCE", 4));
  EXPECT_TRUE(VersionTextMatches("ABCD", "xyz", -1));  // nothing compared
  EXPECT_FALSE(VersionTextMatches("ABCD", "ZQ5x8x", 14));
}

TEST_F(BurnwellDlgTest, MatchingVersionLetsTheUpdateRunAndClosesTheApiFirst) {
  WriteConfig("[Hex_FileName]\nHEXNAME=fw.hex\n[Cmp_Ver]\nCMPLEN=14\nCMPSTR=abcd\n");
  WriteFirmware("fw.hex", SmallHexFile());
  EXPECT_EQ(RunDialog(), RunResult::Updated);
  EXPECT_EQ(Calls(), (std::vector<std::string>{"open 32", "version 5", "close",
                                               "update self-powered=1 type=0"}));
}

TEST_F(BurnwellDlgTest, EveryRefusalOfTheCheckClosesTheApiAndEndsAtOnce) {
  WriteConfig("[Hex_FileName]\nHEXNAME=fw.hex\n[Cmp_Ver]\nCMPLEN=4\nCMPSTR=ABCX\n");
  WriteFirmware("fw.hex", SmallHexFile());

  bridges_ = 0;
  EXPECT_EQ(RunDialog(), RunResult::NoBridge);
  EXPECT_EQ(BoxTexts().back(), "Device not found");
  bridges_ = 1;
  versionResult_ = -5;
  EXPECT_EQ(RunDialog(), RunResult::VersionRefused);
  EXPECT_EQ(BoxTexts().back(), "Fail to Get Firmware Version");
  versionResult_ = 0;
  EXPECT_EQ(RunDialog(), RunResult::VersionRefused);
  EXPECT_EQ(BoxTexts().back(),
            "Firmware Version is not correct to update. Please contact to your manufacturer");

  EXPECT_EQ(Calls(), (std::vector<std::string>{"open 32", "close", "open 32", "version 5", "close",
                                               "open 32", "version 5", "close"}));
  for (const auto& box : backend_.Boxes()) {
    if (box.text.find("backup") == std::string::npos) {
      EXPECT_EQ(box.style, static_cast<std::uint32_t>(MB_ICONHAND));
    }
  }
  // Ended at once: no close timer after the refusal.
  EXPECT_FALSE(HasEvent("timer 9999 300"));
  EXPECT_FALSE(HasEvent("timer 9999 500"));
}

// --- system menu, About box, painting --------------------------------------------------------

TEST_F(BurnwellDlgTest, SystemMenuGetsTheAboutItemAndAGreyClose) {
  WriteConfig("[Hex_FileName]\nHEXNAME=absent.hex\n");
  std::vector<ui::SystemMenuItem> menu;
  bool closeGrey = false;
  bool stillOpenAfterClose = false;
  backend_.onOpened = [&](ScriptedWindow& window) {
    if (window.Layout().id != IDD_BURNWELL_DIALOG) return;
    menu = window.SystemMenu();
    closeGrey = window.SystemMenuItemGrayed(SC_CLOSE);
    window.UserSystemCommand(SC_CLOSE);
    window.Dialog().Dispatch(WM_SYSCOMMAND, SC_CLOSE, 0);
    stillOpenAfterClose = !window.Ended();
  };
  RunDialog();
  ASSERT_EQ(menu.size(), 2u);
  EXPECT_EQ(menu[0].flags, static_cast<std::uint32_t>(MF_SEPARATOR));
  EXPECT_EQ(menu[1].command, static_cast<std::uint32_t>(IDM_ABOUTBOX));
  EXPECT_EQ(menu[1].text, "&About Burnwell...");
  EXPECT_TRUE(closeGrey);
  EXPECT_TRUE(stillOpenAfterClose);
}

TEST_F(BurnwellDlgTest, AboutBoxShowsTheProgramVersion) {
  WriteConfig("[Hex_FileName]\nHEXNAME=absent.hex\n");
  std::string aboutLine;
  backend_.onOpened = [&](ScriptedWindow& window) {
    if (window.Layout().id == IDD_BURNWELL_DIALOG) {
      window.UserSystemCommand(IDM_ABOUTBOX | 0x3);  // the low four bits do not count
    } else {
      aboutLine = window.GetText(IDC_VERSION_TEXT);
      window.UserClick(IDOK);
    }
  };
  RunDialog();
  EXPECT_EQ(aboutLine, "Burnwell Version 1.4.3.23");
  EXPECT_TRUE(HasEvent("end 100 1"));
}

TEST_F(BurnwellDlgTest, AboutBoxWithoutAVersionResourceEndsAtOnce) {
  backend_.SetFileVersion(std::nullopt);
  CAboutDlg about;
  EXPECT_EQ(about.DoModal(), IDCANCEL);
  EXPECT_EQ(about.VersionText(), "");
}

TEST_F(BurnwellDlgTest, WarningLineIsRedAndOtherControlsKeepTheirColours) {
  WriteConfig("[Hex_FileName]\nHEXNAME=absent.hex\n");
  ui::LResult warning = 0, status = 0;
  backend_.onOpened = [&](ScriptedWindow& window) {
    warning = window.Dialog().ControlTextColour(IDC_WARNING);
    status = window.Dialog().ControlTextColour(IDC_STATUS);
  };
  RunDialog();
  EXPECT_EQ(warning, 0x0000FF);
  EXPECT_EQ(status, ui::kDefaultColour);
}

TEST_F(BurnwellDlgTest, MinimisedDialogDrawsTheIconCentred) {
  WriteConfig("[Hex_FileName]\nHEXNAME=absent.hex\n");
  backend_.onOpened = [&](ScriptedWindow& window) {
    window.SetIconic(true);
    window.Dialog().Dispatch(WM_PAINT, 0, 0);
  };
  RunDialog();
  // Client 450 x 208, icon 32 x 32: ((450 - 32 + 1) / 2, (208 - 32 + 1) / 2).
  EXPECT_TRUE(HasEvent("paint-icon 209 88"));
}

// --- the application object ------------------------------------------------------------------

TEST_F(BurnwellDlgTest, InitInstanceWrapsTheDialogInTheDeviceApiAndReturnsFalse) {
  WriteConfig(std::string(kNoCheck) + "[Hex_FileName]\nHEXNAME=fw.hex\n");
  WriteFirmware("fw.hex", SmallHexFile());
  CBurnwellApp app(Services());
  EXPECT_FALSE(app.InitInstance());
  EXPECT_EQ(app.Result(), RunResult::Updated);
  EXPECT_EQ(Calls(), (std::vector<std::string>{"initialize", "update self-powered=1 type=0",
                                               "uninitialize"}));
}

}  // namespace
}  // namespace burnwell::app
