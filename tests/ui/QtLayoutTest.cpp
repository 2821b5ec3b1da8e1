// The Qt windows' layout on the offscreen platform, in every state a run goes through (the backup
// warning, the update with its progress bar, a long status text, the result box) and at several
// window sizes: every visible control lies inside the window and its margins, no two overlap,
// and a message box leaves the window uncovered, the checksum in particular.
#include <QApplication>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "app/BurnwellDlg.h"
#include "image/ImageBuffer.h"
#include "tests/support/TestSupport.h"
#include "ui/Templates.h"
#include "platform/Seam.h"
#include "ui/qt/QtBackend.h"

namespace burnwell::ui {
namespace {

std::string Describe(const QWidget& control) {
  std::string text;
  if (auto* label = qobject_cast<const QLabel*>(&control)) text = label->text().toStdString();
  if (auto* edit = qobject_cast<const QLineEdit*>(&control)) text = edit->text().toStdString();
  if (auto* button = qobject_cast<const QPushButton*>(&control))
    text = button->text().toStdString();
  return std::string(control.metaObject()->className()) + " '" + text.substr(0, 30) + "'";
}

std::vector<QWidget*> VisibleControls(QWidget& window) {
  std::vector<QWidget*> controls;
  for (QWidget* child : window.findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
    if (!child->isWindow() && child->isVisible()) controls.push_back(child);
  }
  return controls;
}

// What is wrong with the window's layout at its current size, one line per fault.
std::vector<std::string> LayoutFaults(QWidget& window, const std::string& when) {
  std::vector<std::string> faults;
  const QRect whole = window.rect();
  const QRect margins =
      window.layout() ? whole.marginsRemoved(window.layout()->contentsMargins()) : whole;
  const std::vector<QWidget*> controls = VisibleControls(window);
  const std::string at =
      when + " at " + std::to_string(whole.width()) + "x" + std::to_string(whole.height()) + ": ";
  for (std::size_t i = 0; i < controls.size(); ++i) {
    const QRect place = controls[i]->geometry();
    if (!whole.contains(place))
      faults.push_back(at + Describe(*controls[i]) + " leaves the window");
    // The menu bar alone runs from edge to edge.
    if (!qobject_cast<QMenuBar*>(controls[i]) && !margins.contains(place))
      faults.push_back(at + Describe(*controls[i]) + " lies outside the margins");
    if (auto* label = qobject_cast<QLabel*>(controls[i]); label && label->wordWrap()) {
      if (label->heightForWidth(place.width()) > place.height())
        faults.push_back(at + Describe(*controls[i]) + " is cut off");
    }
    for (std::size_t j = i + 1; j < controls.size(); ++j) {
      if (place.intersects(controls[j]->geometry()))
        faults.push_back(at + Describe(*controls[i]) + " overlaps " + Describe(*controls[j]));
    }
  }
  return faults;
}

// The layout at the window's least size, its own size and larger ones; the size is restored.
std::vector<std::string> LayoutFaultsAtEverySize(QWidget& window, const std::string& when) {
  const QSize original = window.size();
  std::vector<std::string> faults;
  for (const QSize size : {window.minimumSize(), original, original + QSize(300, 0),
                           original + QSize(0, 200), original * 2}) {
    window.resize(size);
    if (window.layout()) window.layout()->activate();
    QCoreApplication::processEvents();
    for (std::string& fault : LayoutFaults(window, when)) faults.push_back(std::move(fault));
  }
  window.resize(original);
  if (window.layout()) window.layout()->activate();
  return faults;
}

QWidget* MainWindow() {
  for (QWidget* widget : QApplication::topLevelWidgets()) {
    if (widget->isVisible() && widget->windowTitle() == BW_MAIN_DIALOG_CAPTION) return widget;
  }
  return nullptr;
}

// The read-only box of the main window: the checksum.
QLineEdit* ChecksumBox(QWidget& window) {
  for (QLineEdit* edit : window.findChildren<QLineEdit*>()) {
    if (edit->isReadOnly() && edit->isVisible()) return edit;
  }
  return nullptr;
}

TEST(QtLayout, ControlsStayApartAndInsideTheWindowInEveryStateAndBoxesLeaveTheWindowUncovered) {
  ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
  test::TempDir dir;
  const auto previous = std::filesystem::current_path();
  std::filesystem::current_path(dir.Path());
  test::WriteFile(dir / "Config.ini", "[Cmp_Ver]\nCMPLEN=0\n[Hex_FileName]\nHEXNAME=fw.hex\n");
  test::WriteFile(dir / "fw.hex", ":0400000001020304F2\n:00000001FF\n");
  image::ResetLoadedImage();

  static int argc = 1;
  static char name[] = "burnwell_qt_layout_test";
  static char* argv[] = {name, nullptr};
  auto backend = MakeQtBackend(argc, argv, FileVersion{1, 4, 3, 23});
  std::optional<platform::ScopedOverride<Backend>> installed;
  installed.emplace(backend.get());

  std::vector<std::string> faults;
  std::vector<std::string> boxes;
  std::string checksumShown;
  QTimer presser;
  QObject::connect(&presser, &QTimer::timeout, [&] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    QWidget* window = MainWindow();
    if (!box || !window) return;
    const std::string text = box->text().toStdString();
    boxes.push_back(text);
    for (std::string& fault : LayoutFaultsAtEverySize(*window, "box '" + text + "'"))
      faults.push_back(std::move(fault));
    if (QLineEdit* checksum = ChecksumBox(*window)) {
      checksumShown = checksum->text().toStdString();
      if (box->frameGeometry().intersects(
              QRect(checksum->mapToGlobal(QPoint(0, 0)), checksum->size())))
        faults.push_back("box '" + text + "' covers the checksum");
    } else {
      faults.push_back("box '" + text + "': no checksum shown");
    }
    if (box->frameGeometry().intersects(window->frameGeometry()))
      faults.push_back("box '" + text + "' covers the window");
    box->button(QMessageBox::Ok)->click();
  });
  presser.start(20);

  // The update's states, checked on the GUI thread while the worker waits.
  auto checkNow = [&](const std::string& when) {
    QMetaObject::invokeMethod(
        qApp,
        [&] {
          if (QWidget* window = MainWindow()) {
            for (std::string& fault : LayoutFaultsAtEverySize(*window, when))
              faults.push_back(std::move(fault));
          } else {
            faults.push_back(when + ": no window");
          }
        },
        Qt::BlockingQueuedConnection);
  };
  app::DialogServices services = app::DialogServices::Real();
  services.runUpdate = [&](app::UpdateHost& host) {
    host.ShowProgress(true);
    host.SetStatusText("Programming main code\n");
    checkNow("updating");
    host.SetStatusText(
        std::string(259, 'x').replace(0, 40, "Read FLASH failed Offset=0x100, Length=32 "));
    checkNow("long status text");
    host.ShowProgress(false);
    host.SetStatusText("ICP completed\n");
    checkNow("ended");
    host.ShowMessage("Programming completed", MB_OK);
    return app::UpdateOutcome::Updated;
  };
  app::CBurnwellDlg dialog(services);
  dialog.DoModal();

  // The About box, opened from the window's menu as an operator would.
  std::vector<std::string> aboutFaults;
  {
    app::CAboutDlg about;
    QTimer::singleShot(50, [&] {
      for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (widget->isVisible() && widget->windowTitle() == BW_ABOUT_DIALOG_CAPTION) {
          aboutFaults = LayoutFaultsAtEverySize(*widget, "about");
          for (QPushButton* button : widget->findChildren<QPushButton*>()) button->click();
        }
      }
    });
    about.DoModal();
  }
  installed.reset();
  backend.reset();
  std::filesystem::current_path(previous);

  EXPECT_EQ(boxes,
            (std::vector<std::string>{"Please do backup your files before executing the steps.",
                                      "Programming completed"}));
  EXPECT_EQ(checksumShown.size(), 4u);
  EXPECT_EQ(faults, std::vector<std::string>{});
  EXPECT_EQ(aboutFaults, std::vector<std::string>{});
}

}  // namespace
}  // namespace burnwell::ui
