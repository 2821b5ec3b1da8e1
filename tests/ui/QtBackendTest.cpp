// The main dialog on the Qt backend (offscreen platform): the warning and the result box are
// answered by a timer as an operator would; the worker's status, progress and box reach the GUI
// thread in order.
#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <optional>
#include <thread>

#include "app/BurnwellDlg.h"
#include "image/ImageBuffer.h"
#include "platform/WinNames.h"
#include "tests/support/TestSupport.h"
#include "ui/qt/QtBackend.h"

namespace burnwell::ui {
namespace {

TEST(QtBackend, TheUpdateRunsOnAWorkerAndItsMessagesArriveInOrder) {
  ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
  test::TempDir dir;
  const auto previous = std::filesystem::current_path();
  std::filesystem::current_path(dir.Path());
  test::WriteFile(dir / "Config.ini", "[Cmp_Ver]\nCMPLEN=0\n[Hex_FileName]\nHEXNAME=fw.hex\n");
  test::WriteFile(dir / "fw.hex", ":0400000001020304F2\n:00000001FF\n");
  image::ResetLoadedImage();

  static int argc = 1;
  static char name[] = "burnwell_qt_test";
  static char* argv[] = {name, nullptr};
  auto backend = MakeQtBackend(argc, argv, FileVersion{1, 4, 3, 23});
  std::optional<platform::ScopedOverride<Backend>> installed;
  installed.emplace(backend.get());

  std::vector<std::string> answered;
  QTimer presser;
  QObject::connect(&presser, &QTimer::timeout, [&] {
    if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
      answered.push_back(box->text().toStdString());
      box->button(QMessageBox::Ok)->click();
    }
  });
  presser.start(20);

  app::DialogServices services = app::DialogServices::Real();
  std::atomic<platform::LResult> position{-1};
  std::atomic<bool> onWorker{false};
  const auto guiThread = std::this_thread::get_id();
  services.runUpdate = [&](app::UpdateHost& host) {
    onWorker = std::this_thread::get_id() != guiThread;
    host.ShowProgress(true);
    auto& messages = platform::Current<platform::WindowMessages>();
    messages.Send(host.ProgressWindow(), PBM_SETRANGE, 0,
                  static_cast<platform::LParam>(MakeWParam(0, 100)));
    messages.Send(host.ProgressWindow(), PBM_SETSTEP, 1, 0);
    for (int i = 0; i < 7; ++i) messages.Post(host.ProgressWindow(), PBM_STEPIT, 0, 0);
    position = messages.Send(host.ProgressWindow(), WM_USER + 8 /* PBM_GETPOS */, 0, 0);
    host.SetStatusText("ICP completed\n");
    host.ShowMessage("Programming completed", MB_OK);
    return app::UpdateOutcome::Updated;
  };
  app::CBurnwellDlg dialog(services);
  const int shown = dialog.DoModal();
  installed.reset();
  backend.reset();
  std::filesystem::current_path(previous);

  EXPECT_EQ(shown, IDCANCEL);
  EXPECT_EQ(dialog.Result(), app::RunResult::Updated);
  EXPECT_TRUE(onWorker);
  EXPECT_EQ(position, 7);
  EXPECT_EQ(answered,
            (std::vector<std::string>{"Please do backup your files before executing the steps.",
                                      "Programming completed"}));
}

}  // namespace
}  // namespace burnwell::ui
