// The dialog framework through the scripted backend: data exchange and its messages, the
// routing of messages and notifications, timers, calls from a worker thread, progress-bar
// messages by handle, and the one template description.
#include "ui/Framework.h"

#include <gtest/gtest.h>

#include <thread>

#include "platform/WinNames.h"
#include "ui/Templates.h"
#include "ui/scripted/ScriptedBackend.h"

namespace burnwell::ui {
namespace {

// A dialog on the main template that exchanges the start, length, radio and path fields and
// counts the notifications it gets.
class ExchangeDialog : public CDialog {
 public:
  ExchangeDialog() : CDialog(IDD_BURNWELL_DIALOG) {}
  std::uint32_t start = 0;
  std::uint32_t length = 512;
  int fileType = 0;
  std::string path;
  int pathChanges = 0;
  int cancels = 0;
  std::function<void(ExchangeDialog&)> onInit;

  const MessageMap& GetMessageMap() const override {
    static const MessageMap map = {
        OnControlNotify(EN_CHANGE, IDC_FIRMWARE_PATH, &ExchangeDialog::OnPathChange)};
    return map;
  }

 protected:
  bool OnInitDialog() override {
    CDialog::OnInitDialog();
    if (onInit) onInit(*this);
    return true;
  }
  void DoDataExchange(CDataExchange& dx) override {
    DDX_Radio(dx, IDC_RADIO_HEX, fileType);
    DDX_Text(dx, IDC_FIRMWARE_PATH, path);
    DDX_Text(dx, IDC_START, start);
    DDV_MinMaxUInt(dx, start, 0, 0x5BFF);
    DDX_Text(dx, IDC_LENGTH, length);
    DDV_MinMaxUInt(dx, length, 256, 0xB800);
  }
  void OnCancel() override {
    ++cancels;
    CDialog::OnCancel();
  }

 private:
  void OnPathChange() { ++pathChanges; }
};

class FrameworkTest : public ::testing::Test {
 protected:
  // Runs the dialog; body acts on its open window, then the dialog is cancelled.
  int Run(ExchangeDialog& dialog,
          const std::function<void(ExchangeDialog&, ScriptedWindow&)>& body) {
    backend.onOpened = [&](ScriptedWindow& window) {
      body(dialog, window);
      dialog.EndDialog(IDCANCEL);
    };
    return dialog.DoModal();
  }

  ScriptedBackend backend;
  platform::ScopedOverride<Backend> installed{&backend};
};

TEST_F(FrameworkTest, LoadWritesNumbersAndSaveReadsThemBack) {
  ExchangeDialog dialog;
  dialog.start = 7;
  dialog.length = 47104;
  Run(dialog, [](ExchangeDialog& d, ScriptedWindow& w) {
    EXPECT_EQ(w.GetText(IDC_START), "7");
    EXPECT_EQ(w.GetText(IDC_LENGTH), "47104");
    w.UserSetText(IDC_START, " 23551 ");
    w.UserSetText(IDC_LENGTH, "256");
    EXPECT_TRUE(d.UpdateData(true));
  });
  EXPECT_EQ(dialog.start, 23551u);
  EXPECT_EQ(dialog.length, 256u);
  EXPECT_TRUE(backend.Boxes().empty());
}

TEST_F(FrameworkTest, OutOfRangeNumberShowsTheRangeMessageAndFailsTheExchange) {
  ExchangeDialog dialog;
  bool saved = true;
  Run(dialog, [&](ExchangeDialog& d, ScriptedWindow& w) {
    w.UserSetText(IDC_LENGTH, "255");
    saved = d.UpdateData(true);
  });
  EXPECT_FALSE(saved);
  ASSERT_EQ(backend.Boxes().size(), 1u);
  EXPECT_EQ(backend.Boxes()[0].text, "Please enter an integer between 256 and 47104.");
  EXPECT_EQ(backend.Boxes()[0].style, static_cast<std::uint32_t>(MB_OK | MB_ICONEXCLAMATION));
}

TEST_F(FrameworkTest, TextThatIsNotAnUnsignedNumberAsksForAPositiveInteger) {
  for (const char* text : {"-1", "12a", "", "0x10", "99999999999"}) {
    ExchangeDialog dialog;
    bool saved = true;
    Run(dialog, [&](ExchangeDialog& d, ScriptedWindow& w) {
      w.UserSetText(IDC_START, text);
      saved = d.UpdateData(true);
    });
    EXPECT_FALSE(saved) << text;
  }
  for (const ShownMessageBox& box : backend.Boxes()) {
    EXPECT_EQ(box.text, "Please enter a positive integer.");
    EXPECT_EQ(box.style & MB_ICONMASK, static_cast<std::uint32_t>(MB_ICONEXCLAMATION));
  }
  EXPECT_EQ(backend.Boxes().size(), 5u);
}

TEST_F(FrameworkTest, FailedFieldStopsTheExchangeButEarlierFieldsAreStored) {
  ExchangeDialog second;
  bool saved = true;
  Run(second, [&](ExchangeDialog& d, ScriptedWindow& w) {
    w.UserSetText(IDC_FIRMWARE_PATH, "./new.bin");
    w.UserSetText(IDC_START, "99999");
    w.UserSetText(IDC_LENGTH, "300");
    saved = d.UpdateData(true);
  });
  EXPECT_FALSE(saved);
  EXPECT_EQ(second.path, "./new.bin");
  EXPECT_EQ(second.length, 512u);  // not reached
}

TEST_F(FrameworkTest, RadioGroupLoadsByPositionAndSavesMinusOneWhenNoneIsChecked) {
  std::vector<std::pair<bool, bool>> checked;
  std::vector<int> saved;
  for (int type : {0, 1, 2}) {
    ExchangeDialog dialog;
    dialog.fileType = type;
    Run(dialog, [&](ExchangeDialog& d, ScriptedWindow& w) {
      checked.emplace_back(w.IsChecked(IDC_RADIO_HEX), w.IsChecked(IDC_RADIO_BIN));
      d.UpdateData(true);
      saved.push_back(d.fileType);
    });
  }
  EXPECT_EQ(checked,
            (std::vector<std::pair<bool, bool>>{{true, false}, {false, true}, {false, false}}));
  EXPECT_EQ(saved, (std::vector<int>{0, 1, -1}));
}

TEST_F(FrameworkTest, NotificationsAreSuppressedOnlyWhileTheExchangeRuns) {
  ExchangeDialog dialog;
  dialog.path = "./a.hex";
  int afterLoad = -1;
  Run(dialog, [&](ExchangeDialog& d, ScriptedWindow& w) {
    d.UpdateData(false);
    afterLoad = d.pathChanges;
    w.UserSetText(IDC_FIRMWARE_PATH, "./b.hex");
    d.SetDlgItemText(IDC_FIRMWARE_PATH, "./c.hex");
    d.SetDlgItemText(IDC_STATUS, "a static sends no change notice");
  });
  EXPECT_EQ(afterLoad, 0);
  EXPECT_EQ(dialog.pathChanges, 2);
}

TEST_F(FrameworkTest, NotificationsRouteByControlAndCode) {
  ExchangeDialog dialog;
  Run(dialog, [](ExchangeDialog& d, ScriptedWindow&) {
    d.Dispatch(WM_COMMAND, MakeWParam(IDC_START, EN_CHANGE), 0);
    d.Dispatch(WM_COMMAND, MakeWParam(IDC_FIRMWARE_PATH, EN_KILLFOCUS), 0);
    d.Dispatch(WM_COMMAND, MakeWParam(IDC_FIRMWARE_PATH, EN_CHANGE), 0);
  });
  EXPECT_EQ(dialog.pathChanges, 1);
}

TEST_F(FrameworkTest, CancelButtonEndsTheDialogWithIdCancel) {
  ExchangeDialog dialog;
  dialog.onInit = [](ExchangeDialog& d) { d.Window()->SetVisible(IDCANCEL, true); };
  backend.onOpened = [](ScriptedWindow& w) { w.UserClick(IDCANCEL); };
  EXPECT_EQ(dialog.DoModal(), IDCANCEL);
  EXPECT_EQ(dialog.cancels, 1);
}

TEST_F(FrameworkTest, GreyCloseItemRefusesTheCloseRequest) {
  ExchangeDialog dialog;
  dialog.onInit = [](ExchangeDialog& d) {
    d.EnableSystemMenuItem(SC_CLOSE, MF_BYCOMMAND | MF_GRAYED);
  };
  backend.onOpened = [&](ScriptedWindow&) {
    dialog.Dispatch(WM_SYSCOMMAND, SC_CLOSE, 0);
    dialog.Dispatch(WM_CLOSE, 0, 0);
  };
  backend.onIdle = [&](ScriptedWindow&) {
    dialog.EndDialog(42);
    return true;
  };
  EXPECT_EQ(dialog.DoModal(), 42);
  EXPECT_EQ(dialog.cancels, 0);
}

TEST_F(FrameworkTest, TimersFireInDueOrderAndRepeatUntilKilled) {
  std::vector<std::string> fired;
  class TimerDialog : public CDialog {
   public:
    explicit TimerDialog(std::vector<std::string>& log) : CDialog(IDD_ABOUTBOX), log_(log) {}
    const MessageMap& GetMessageMap() const override {
      static const MessageMap map = {OnWindowMessage(WM_TIMER, &TimerDialog::OnTimer)};
      return map;
    }
    bool OnInitDialog() override {
      SetTimer(2, 300);
      SetTimer(1, 500);
      return true;
    }
    LResult OnTimer(WParam id, LParam) {
      log_.push_back(std::to_string(id));
      if (id == 2 && ++twos_ == 2) KillTimer(2);
      if (id == 1) EndDialog(IDOK);
      return 0;
    }

   private:
    std::vector<std::string>& log_;
    int twos_ = 0;
  };
  TimerDialog dialog(fired);
  EXPECT_EQ(dialog.DoModal(), IDOK);
  EXPECT_EQ(fired, (std::vector<std::string>{"2", "1"}));  // 300, then 500 before the 2nd 300 (600)
}

TEST_F(FrameworkTest, DialogThatNothingCanEndStallsInsteadOfHanging) {
  ExchangeDialog dialog;
  EXPECT_EQ(dialog.DoModal(), -1);
  EXPECT_EQ(backend.Events().back(), "end 102 -1");
}

TEST_F(FrameworkTest, WorkerCallsRunOnTheDialogThreadInOrder) {
  ExchangeDialog dialog;
  std::thread::id dialogThread = std::this_thread::get_id();
  std::vector<std::string> seen;
  backend.onOpened = [&](ScriptedWindow&) {
    backend.StartThread(
        [](void* argument) {
          auto& d = *static_cast<ExchangeDialog*>(argument);
          d.SetDlgItemText(IDC_STATUS, "one");
          d.SetDlgItemText(IDC_STATUS, "two");
          d.GetDlgItem(IDC_PROGRESS).ShowWindow(true);
          d.RunOnDialogThread([&d] { d.EndDialog(7); });
        },
        &dialog);
  };
  EXPECT_EQ(dialog.DoModal(), 7);
  std::vector<std::string> statusEvents;
  for (const std::string& event : backend.Events()) {
    if (event.rfind("state 1004", 0) == 0 || event.rfind("state 1006", 0) == 0)
      statusEvents.push_back(event);
  }
  ASSERT_EQ(statusEvents.size(), 3u);
  EXPECT_NE(statusEvents[0].find("text=one"), std::string::npos);
  EXPECT_NE(statusEvents[1].find("text=two"), std::string::npos);
  EXPECT_NE(statusEvents[2].find("visible=1"), std::string::npos);
  (void)dialogThread;
}

TEST_F(FrameworkTest, ProgressMessagesReachTheControlByItsHandle) {
  ExchangeDialog dialog;
  ProgressState after;
  ExchangeDialog& d = dialog;
  backend.onOpened = [&](ScriptedWindow& w) {
    const WindowHandle bar = d.GetDlgItem(IDC_PROGRESS).Handle();
    ASSERT_NE(bar, 0u);
    auto& messages = platform::Current<platform::WindowMessages>();
    messages.Send(bar, PBM_SETRANGE, 0, static_cast<LParam>(MakeWParam(0, 2960)));
    messages.Send(bar, PBM_SETSTEP, 1, 0);
    messages.Send(bar, PBM_SETPOS, 0, 0);
    EXPECT_TRUE(messages.Post(bar, PBM_STEPIT, 0, 0));
    EXPECT_TRUE(messages.Post(bar, PBM_STEPIT, 0, 0));
    EXPECT_FALSE(messages.Post(0xDEAD, PBM_STEPIT, 0, 0));
    // Posted messages wait for the dialog's loop.
    EXPECT_EQ(w.Control(IDC_PROGRESS)->progress.position, 0);
    d.Window()->Post([&] { after = w.Control(IDC_PROGRESS)->progress; });
    d.Window()->Post([&] { d.EndDialog(IDOK); });
  };
  EXPECT_EQ(dialog.DoModal(), IDOK);
  EXPECT_EQ(after.maximum, 2960);
  EXPECT_EQ(after.position, 2);
}

TEST(ProgressState, StepPastTheEndStartsAgainAndPositionsAreClamped) {
  ProgressState state;
  ApplyProgressMessage(state, PBM_SETRANGE, 0, static_cast<LParam>(MakeWParam(0, 10)));
  ApplyProgressMessage(state, PBM_SETSTEP, 4, 0);
  ApplyProgressMessage(state, PBM_SETPOS, 8, 0);
  EXPECT_EQ(ApplyProgressMessage(state, PBM_STEPIT, 0, 0), 8);
  EXPECT_LE(state.position, 10);
  ApplyProgressMessage(state, PBM_SETPOS, 50, 0);
  EXPECT_EQ(state.position, 10);
}

TEST(Templates, MainDialogHoldsEveryControlWithItsPlaceAndInitialState) {
  const DialogSpec* main = FindDialogTemplate(IDD_BURNWELL_DIALOG);
  ASSERT_NE(main, nullptr);
  EXPECT_EQ(main->caption, "Tessalin Firmware Update");
  EXPECT_EQ(main->width, 225);
  EXPECT_EQ(main->height, 104);
  const ControlSpec* status = main->Find(IDC_STATUS);
  ASSERT_NE(status, nullptr);
  EXPECT_EQ(status->text, "Ready");
  EXPECT_EQ((std::array{status->x, status->y, status->width, status->height}),
            (std::array{0, 96, 223, 8}));
  EXPECT_FALSE(main->Find(IDC_PROGRESS)->InitiallyVisible());
  EXPECT_FALSE(main->Find(IDC_UPDATE)->InitiallyEnabled());
  EXPECT_TRUE(main->Find(IDC_UPDATE)->InitiallyVisible());
  EXPECT_TRUE(main->Find(IDC_CHECKSUM)->IsReadOnly());
  EXPECT_TRUE(main->Find(IDC_RADIO_HEX)->StartsGroup());
  EXPECT_TRUE(main->Find(IDC_WARNING)->InitiallyVisible());
  EXPECT_EQ(StripMnemonic(main->Find(IDCANCEL)->text), "Exit");
  // Template order matters for the radio group and the tab order.
  std::vector<int> ids;
  for (const ControlSpec& control : main->controls) ids.push_back(control.id);
  EXPECT_EQ(ids, (std::vector<int>{1018, 1001, 1005, 1002, 1003, 1006, 1000, 1010, 2,    1004, 1020,
                                   1009, 1021, 1022, 1007, 1008, -1,   1019, 1012, 1015, 1014}));
  const DialogSpec* about = FindDialogTemplate(IDD_ABOUTBOX);
  ASSERT_NE(about, nullptr);
  EXPECT_EQ(about->caption, "About Burnwell");
  EXPECT_TRUE(about->Find(IDOK)->IsDefaultButton());
}

}  // namespace
}  // namespace burnwell::ui
