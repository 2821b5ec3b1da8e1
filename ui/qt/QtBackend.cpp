#include "ui/qt/QtBackend.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCloseEvent>
#include <QDialog>
#include <QEventLoop>
#include <QFontMetrics>
#include <QFrame>
#include <QGridLayout>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPixmap>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QSpacerItem>
#include <QThread>
#include <QTimer>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <optional>
#include <mutex>
#include <thread>
#include <vector>

#include "ui/ModelWindow.h"
#include "ui/Templates.h"

namespace burnwell::ui {
namespace {

class QtBackend;

QMessageBox::Icon IconOf(std::uint32_t style) {
  switch (style & MB_ICONMASK) {
    case MB_ICONHAND: return QMessageBox::Critical;
    case MB_ICONEXCLAMATION: return QMessageBox::Warning;
    case MB_ICONQUESTION: return QMessageBox::Question;
    case MB_ICONASTERISK: return QMessageBox::Information;
    default: return QMessageBox::NoIcon;
  }
}

// A box opens beside its window rather than over it: the operator compares the checksum the
// window shows while the backup warning asks, and the window's status line stays readable while
// a result box waits. Below the window when the screen has room there, else right of it, above
// it or left of it; else below, pushed back onto the screen.
void PlaceBesideOwner(QMessageBox& box, const QWidget& owner) {
  const QWidget& window = *owner.window();
  const QScreen* screen = window.screen();
  if (!screen) return;
  const QRect area = screen->availableGeometry();
  const QRect frame = window.frameGeometry();
  box.adjustSize();
  const QSize size = box.size().expandedTo(box.sizeHint());
  constexpr int kGap = 8;
  const QPoint candidates[] = {
      {frame.left(), frame.bottom() + 1 + kGap},
      {frame.right() + 1 + kGap, frame.top()},
      {frame.left(), frame.top() - kGap - size.height()},
      {frame.left() - kGap - size.width(), frame.top()},
  };
  for (const QPoint& place : candidates) {
    if (area.contains(QRect(place, size))) {
      box.move(place);
      return;
    }
  }
  box.move(std::clamp(candidates[0].x(), area.left(),
                      std::max(area.left(), area.right() + 1 - size.width())),
           std::clamp(candidates[0].y(), area.top(),
                      std::max(area.top(), area.bottom() + 1 - size.height())));
}

int ShowBox(QWidget* owner, const std::string& text, const std::string& caption,
            std::uint32_t style) {
  QMessageBox box(IconOf(style), QString::fromStdString(caption), QString::fromStdString(text),
                  QMessageBox::NoButton, owner);
  if ((style & MB_TYPEMASK) == MB_OKCANCEL) {
    box.setStandardButtons(QMessageBox::Ok | QMessageBox::Cancel);
    box.setDefaultButton(QMessageBox::Ok);
    box.setEscapeButton(QMessageBox::Cancel);
  } else {
    box.setStandardButtons(QMessageBox::Ok);
  }
  if (owner && owner->isVisible()) PlaceBesideOwner(box, *owner);
  return box.exec() == QMessageBox::Ok ? IDOK : IDCANCEL;
}

// Where a control sits in its window's grid. Qt sizes the rows and columns from the widgets' own
// size hints, so no two controls overlap and none leaves the window, whatever the font, the
// texts and the window size.
struct GridCell {
  int row = 0;
  int column = 0;
  int rowSpan = 1;
  int columnSpan = 1;
  Qt::Alignment alignment = {};
  // The row keeps its height while the control is hidden, so that the window does not change
  // size when the progress bar comes and goes.
  bool keepsPlace = false;
};

constexpr int kMainColumns = 5;
constexpr int kMainStretchRow = 6;

// The main dialog: the file and checksum rows, the hidden service controls beside and below
// them, the warning line, the progress bar, then the separator and the status line at the
// bottom, within the window's margins.
std::optional<GridCell> MainDialogCell(const ControlSpec& control) {
  switch (control.id) {
    case IDC_PATH_LABEL: return GridCell{0, 0};
    case IDC_FIRMWARE_PATH: return GridCell{0, 1, 1, 2};
    case IDC_BROWSE: return GridCell{0, 3};
    case IDC_UPDATE: return GridCell{0, 4};
    case IDC_CHECKSUM_LABEL: return GridCell{1, 0};
    case IDC_CHECKSUM: return GridCell{1, 1, 1, 1, Qt::AlignLeft};
    case IDC_GET_VERSION: return GridCell{1, 4};
    case IDC_START_LABEL: return GridCell{2, 0};
    case IDC_START: return GridCell{2, 1};
    case IDC_RADIO_BIN: return GridCell{2, 2};
    case IDC_ERASE: return GridCell{2, 4};
    case IDC_LENGTH_LABEL: return GridCell{3, 0};
    case IDC_LENGTH: return GridCell{3, 1};
    case IDC_RADIO_HEX: return GridCell{3, 2};
    case IDC_READ: return GridCell{3, 4};
    case IDC_WARNING: return GridCell{4, 0, 1, 4, {}, true};
    case IDCANCEL: return GridCell{4, 4};
    case IDC_PROGRESS: return GridCell{5, 0, 1, 4, {}, true};
    case IDC_STATUS: return GridCell{kMainStretchRow + 2, 0, 1, kMainColumns, {}, true};
    case IDC_STATIC:
      if (control.IsEtchedLine()) return GridCell{kMainStretchRow + 1, 0, 1, kMainColumns};
      return std::nullopt;
    default: return std::nullopt;
  }
}

// The About box: the icon left, the two lines of text, OK at the top right.
std::optional<GridCell> AboutDialogCell(const ControlSpec& control) {
  switch (control.kind) {
    case ControlKind::Icon: return GridCell{0, 0, 2, 1, Qt::AlignTop};
    case ControlKind::Button: return GridCell{0, 2, 1, 1, Qt::AlignTop};
    default: return control.id == IDC_VERSION_TEXT ? GridCell{0, 1} : GridCell{1, 1};
  }
}

std::optional<GridCell> CellOf(int templateId, const ControlSpec& control) {
  switch (templateId) {
    case IDD_BURNWELL_DIALOG: return MainDialogCell(control);
    case IDD_ABOUTBOX: return AboutDialogCell(control);
    default: return std::nullopt;
  }
}

// What a label shows of a text: a status text's closing line break would only add an empty line.
QString LabelText(const std::string& text) {
  QString shown = QString::fromStdString(text);
  while (shown.endsWith('\n') || shown.endsWith('\r')) shown.chop(1);
  return shown;
}

bool OnGuiThread() { return QThread::currentThread() == qApp->thread(); }

// The dialog's own window: Enter, Escape and the close button become the messages a system
// dialog would get, so the dialog decides (and can refuse) as it does on Windows.
// Keeps a wrapping label's least height at what its text needs at its present width, so that
// the window's least size grows with a long text instead of cutting it off.
void FitHeightToText(QLabel& label) {
  if (!label.wordWrap()) return;
  const int needed =
      std::max(label.fontMetrics().lineSpacing(), label.heightForWidth(label.width()));
  if (needed != label.minimumHeight()) label.setMinimumHeight(needed);
}

class WrappedLineHeight final : public QObject {
 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    auto* label = qobject_cast<QLabel*>(watched);
    if (label && event->type() == QEvent::Resize) FitHeightToText(*label);
    return false;
  }
};

class DialogWidget final : public QDialog {
 public:
  DialogWidget(CDialog& dialog, QWidget* parent) : QDialog(parent), dialog_(dialog) {}
  void FinishModal(int result) { QDialog::done(result); }

 protected:
  void accept() override { dialog_.Dispatch(WM_COMMAND, MakeWParam(IDOK, BN_CLICKED), 0); }
  void reject() override { dialog_.Dispatch(WM_COMMAND, MakeWParam(IDCANCEL, BN_CLICKED), 0); }
  void closeEvent(QCloseEvent* event) override {
    event->ignore();
    dialog_.Dispatch(WM_SYSCOMMAND, SC_CLOSE, 0);
  }

 private:
  CDialog& dialog_;
};

class QtWindow final : public ModelWindow {
 public:
  QtWindow(QtBackend& backend, CDialog& dialog, const DialogSpec& layout, QWidget* parent);
  ~QtWindow() override {
    for (auto& [id, timer] : timers_) delete timer;
  }

  void SetTimer(unsigned id, unsigned milliseconds) override {
    if (!OnGuiThread()) {
      Post([this, id, milliseconds] { SetTimer(id, milliseconds); });
      return;
    }
    QTimer*& timer = timers_[id];
    if (!timer) {
      timer = new QTimer(widget_.get());
      QObject::connect(timer, &QTimer::timeout, [this, id] { Dialog().Dispatch(WM_TIMER, id, 0); });
    }
    timer->start(static_cast<int>(milliseconds));
  }
  void KillTimer(unsigned id) override {
    if (!OnGuiThread()) {
      Post([this, id] { KillTimer(id); });
      return;
    }
    if (auto it = timers_.find(id); it != timers_.end()) it->second->stop();
  }

  int RunModal() override {
    widget_->show();
    QTimer::singleShot(0, widget_.get(), [this] {
      Dialog().Dispatch(WM_INITDIALOG, 0, 0);
      SyncAll();
      if (ended_) loop_.exit(result_);
    });
    loop_.exec();
    widget_->hide();
    return result_;
  }
  void EndModal(int result) override {
    ended_ = true;
    result_ = result;
    loop_.exit(result);
    widget_->FinishModal(result);
  }

  void Post(std::function<void()> work) override {
    QMetaObject::invokeMethod(widget_.get(), std::move(work), Qt::QueuedConnection);
  }
  void Send(std::function<void()> work) override {
    if (OnGuiThread()) {
      work();
      return;
    }
    QMetaObject::invokeMethod(widget_.get(), std::move(work), Qt::BlockingQueuedConnection);
  }
  bool OnDialogThread() const override { return OnGuiThread(); }
  int MessageBox(const std::string& text, const std::string& caption,
                 std::uint32_t style) override {
    return ShowBox(widget_.get(), text, caption, style);
  }
  bool IsIconic() const override { return widget_->isMinimized(); }
  std::array<int, 2> ClientSize() const override { return {widget_->width(), widget_->height()}; }
  void SetWindowIcon(bool big) override;
  void AppendSystemMenu(std::uint32_t flags, std::uint32_t command,
                        const std::string& text) override {
    ModelWindow::AppendSystemMenu(flags, command, text);
    if (flags & MF_SEPARATOR) return;
    if (!menuBar_) AddMenuBar();
    QAction* action = helpMenu_->addAction(QString::fromStdString(text));
    QObject::connect(action, &QAction::triggered,
                     [this, command] { Dialog().Dispatch(WM_SYSCOMMAND, command, 0); });
  }

  QWidget* Widget() { return widget_.get(); }

 protected:
  void Changed(int id) override {
    if (id != 0) Sync(id);
  }

 private:
  // Dialog units to pixels: a quarter of the font's average character width, an eighth of its
  // height.
  int PixelsX(int units) const { return units * baseX_ / 4; }
  int PixelsY(int units) const { return units * baseY_ / 8; }
  void AddMenuBar() {
    menuBar_ = new QMenuBar(widget_.get());
    helpMenu_ = menuBar_->addMenu("&Help");
    grid_->setMenuBar(menuBar_);
    widget_->resize(widget_->size().expandedTo(grid_->totalSizeHint()));
  }
  // The widget of one control, wired to the dialog.
  QWidget* MakeWidget(const ControlSpec& control);
  void Arrange(QWidget& widget, const ControlSpec& control, std::optional<GridCell> cell);
  void SyncAll() {
    for (const ControlState& control : Controls()) Sync(control.layout->id);
  }
  void Sync(int id) {
    const ControlState* state = Control(id);
    auto it = widgets_.find(id);
    if (!state || it == widgets_.end()) return;
    QWidget* widget = it->second;
    widget->setVisible(state->visible);
    widget->setEnabled(state->enabled);
    const QString text = QString::fromStdString(state->text);
    if (auto* label = dynamic_cast<QLabel*>(widget);
        label && state->layout->kind == ControlKind::Static) {
      label->setText(LabelText(state->text));
      FitHeightToText(*label);
      const LResult colour = Dialog().ControlTextColour(id);
      if (colour != kDefaultColour) {
        QPalette palette = label->palette();
        palette.setColor(QPalette::WindowText,
                         QColor(colour & 0xFF, (colour >> 8) & 0xFF, (colour >> 16) & 0xFF));
        label->setPalette(palette);
      }
    } else if (auto* edit = dynamic_cast<QLineEdit*>(widget)) {
      if (edit->text() != text) edit->setText(text);
    } else if (auto* radio = dynamic_cast<QRadioButton*>(widget)) {
      radio->setChecked(state->checked);
    } else if (auto* button = dynamic_cast<QPushButton*>(widget)) {
      button->setText(text);
    } else if (auto* bar = dynamic_cast<QProgressBar*>(widget)) {
      bar->setRange(state->progress.minimum,
                    std::max(state->progress.minimum, state->progress.maximum));
      bar->setValue(state->progress.position);
    }
  }

  QtBackend& backend_;
  std::unique_ptr<DialogWidget> widget_;
  std::map<int, QWidget*> widgets_;
  std::map<unsigned, QTimer*> timers_;
  QMenuBar* menuBar_ = nullptr;
  QMenu* helpMenu_ = nullptr;
  QGridLayout* grid_ = nullptr;
  WrappedLineHeight wrappedLineHeight_;
  int nextFreeRow_ = 100;
  QEventLoop loop_;
  int baseX_ = 6;
  int baseY_ = 13;
  bool ended_ = false;
  int result_ = IDCANCEL;
};

class QtBackend final : public Backend {
 public:
  QtBackend(int& argc, char** argv, FileVersion version, std::span<const std::uint8_t> icon)
      : application_(argc, argv), version_(version) {
    if (!icon.empty()) {
      QPixmap pixmap;
      if (pixmap.loadFromData(icon.data(), static_cast<uint>(icon.size()), "ICO"))
        icon_ = QIcon(pixmap);
    }
  }
  ~QtBackend() override {
    for (std::thread& thread : threads_) {
      if (thread.joinable()) thread.join();
    }
  }

  std::unique_ptr<DialogWindow> CreateDialogWindow(CDialog& dialog, const DialogSpec& layout,
                                                   DialogWindow* parent) override {
    QWidget* owner = parent ? static_cast<QtWindow*>(parent)->Widget() : nullptr;
    return std::make_unique<QtWindow>(*this, dialog, layout, owner);
  }
  int MessageBox(const std::string& text, const std::string& caption,
                 std::uint32_t style) override {
    if (!OnGuiThread()) {
      int answer = IDCANCEL;
      QMetaObject::invokeMethod(
          qApp, [&] { answer = ShowBox(nullptr, text, caption, style); },
          Qt::BlockingQueuedConnection);
      return answer;
    }
    return ShowBox(nullptr, text, caption, style);
  }
  std::uintptr_t StartThread(void (*entry)(void*), void* argument) override {
    std::lock_guard lock(mutex_);
    try {
      threads_.emplace_back(entry, argument);
    } catch (const std::system_error&) {
      return 0;
    }
    return threads_.size();
  }
  std::optional<FileVersion> ProgramFileVersion() override { return version_; }
  const QIcon& Icon() const { return icon_; }

 private:
  QApplication application_;
  FileVersion version_;
  QIcon icon_;
  std::mutex mutex_;
  std::vector<std::thread> threads_;
  // Progress messages reach this backend's windows while it lives.
  ModelWindowMessages messages_;
  platform::ScopedOverride<platform::WindowMessages> windowMessages_{&messages_};
};

QtWindow::QtWindow(QtBackend& backend, CDialog& dialog, const DialogSpec& layout, QWidget* parent)
    : ModelWindow(dialog, layout),
      backend_(backend),
      widget_(std::make_unique<DialogWidget>(dialog, parent)) {
  QFont font(BW_DIALOG_FONT_NAME, BW_DIALOG_FONT_POINTS);
  font.setStyleHint(QFont::SansSerif);
  widget_->setFont(font);
  // Dialog units: a quarter of the font's average character width, an eighth of its height.
  const QFontMetrics metrics(font);
  baseX_ = std::max(
      1,
      (metrics.horizontalAdvance("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz") / 26 + 1) /
          2);
  baseY_ = std::max(1, metrics.height());
  widget_->setWindowTitle(QString::fromStdString(std::string(layout.caption)));
  widget_->setModal(true);
  grid_ = new QGridLayout(widget_.get());
  if (layout.id == IDD_BURNWELL_DIALOG) {
    grid_->setColumnStretch(2, 1);
    grid_->addItem(new QSpacerItem(0, 0, QSizePolicy::Minimum, QSizePolicy::Expanding),
                   kMainStretchRow, 0);
  } else {
    grid_->setColumnStretch(1, 1);
  }

  for (const ControlSpec& control : layout.controls) {
    QWidget* widget = MakeWidget(control);
    Arrange(*widget, control, CellOf(layout.id, control));
    if (control.id != IDC_STATIC) widgets_[control.id] = widget;
    widget->setVisible(control.InitiallyVisible());
    widget->setEnabled(control.InitiallyEnabled());
  }
  // The template's size where it is larger than what the controls need; never smaller.
  widget_->resize(
      QSize(PixelsX(layout.width), PixelsY(layout.height)).expandedTo(grid_->totalSizeHint()));
}

QWidget* QtWindow::MakeWidget(const ControlSpec& control) {
  QWidget* widget = nullptr;
  const QString text = QString::fromStdString(std::string(control.text));
  switch (control.kind) {
    case ControlKind::Static:
      if (control.IsEtchedLine()) {
        auto* line = new QFrame(widget_.get());
        line->setFrameShape(QFrame::HLine);
        line->setFrameShadow(QFrame::Sunken);
        widget = line;
      } else {
        auto* label = new QLabel(text, widget_.get());
        label->setAlignment((control.IsRightAligned() ? Qt::AlignRight : Qt::AlignLeft) |
                            ((control.style & SS_CENTERIMAGE) ? Qt::AlignVCenter : Qt::AlignTop));
        widget = label;
      }
      break;
    case ControlKind::Edit: {
      auto* edit = new QLineEdit(text, widget_.get());
      edit->setReadOnly(control.IsReadOnly());
      const int id = control.id;
      QObject::connect(edit, &QLineEdit::textEdited,
                       [this, id](const QString& value) { UserSetText(id, value.toStdString()); });
      QObject::connect(edit, &QLineEdit::editingFinished, [this, id] {
        Dialog().Dispatch(WM_COMMAND, MakeWParam(static_cast<unsigned>(id), EN_KILLFOCUS), 0);
      });
      widget = edit;
      break;
    }
    case ControlKind::Button: {
      auto* button = new QPushButton(text, widget_.get());
      button->setAutoDefault(false);
      button->setDefault(control.IsDefaultButton());
      const int id = control.id;
      QObject::connect(button, &QPushButton::clicked, [this, id] { UserClick(id); });
      widget = button;
      break;
    }
    case ControlKind::Radio: {
      auto* radio = new QRadioButton(text, widget_.get());
      const int id = control.id;
      QObject::connect(radio, &QRadioButton::clicked, [this, id] { UserClick(id); });
      widget = radio;
      break;
    }
    case ControlKind::Progress: {
      auto* bar = new QProgressBar(widget_.get());
      bar->setTextVisible(false);
      widget = bar;
      break;
    }
    case ControlKind::Icon: {
      auto* label = new QLabel(widget_.get());
      label->setPixmap(backend_.Icon().pixmap(32, 32));
      widget = label;
      break;
    }
  }
  return widget;
}

void QtWindow::Arrange(QWidget& widget, const ControlSpec& control, std::optional<GridCell> cell) {
  // A control the window's grid does not know gets a row of its own at the bottom.
  if (!cell) cell = GridCell{nextFreeRow_++, 0, 1, kMainColumns};
  if (control.kind == ControlKind::Icon) {
    widget.setFixedSize(32, 32);
  } else if (control.kind == ControlKind::Edit || control.kind == ControlKind::Progress) {
    // The template's width is the least an edit box or a bar gets.
    widget.setMinimumWidth(PixelsX(control.width));
  }
  if (auto* label = qobject_cast<QLabel*>(&widget); label && control.kind == ControlKind::Static) {
    // A line across the window (the status, the warning, the bridge) wraps its long texts (a
    // reader's error, a two-line result) inside the margins and is always as tall as its text
    // at its width; a caption beside a box keeps its one line. An empty line keeps the height
    // of one line of text.
    label->setMinimumHeight(label->fontMetrics().lineSpacing());
    if (cell->columnSpan > 1) {
      label->setWordWrap(true);
      label->installEventFilter(&wrappedLineHeight_);
    }
  }
  if (cell->alignment & Qt::AlignLeft) {
    // A box for a short value (the checksum) keeps its template width, or the value's.
    widget.setFixedWidth(
        std::max(PixelsX(control.width), widget.fontMetrics().horizontalAdvance("0000") * 2));
  }
  if (cell->keepsPlace) {
    QSizePolicy policy = widget.sizePolicy();
    policy.setRetainSizeWhenHidden(true);
    widget.setSizePolicy(policy);
  }
  grid_->addWidget(&widget, cell->row, cell->column, cell->rowSpan, cell->columnSpan,
                   cell->alignment);
}

void QtWindow::SetWindowIcon(bool big) {
  ModelWindow::SetWindowIcon(big);
  if (!backend_.Icon().isNull()) widget_->setWindowIcon(backend_.Icon());
}

}  // namespace

bool QtCanShowWindows(int argc, char** argv) {
  const pid_t child = ::fork();
  if (child < 0) return false;
  if (child == 0) {
    // Qt's own complaint would only repeat what the parent says, and its abort leaves no core.
    const int quiet = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (quiet >= 0) ::dup2(quiet, STDERR_FILENO);
    const rlimit noCore{0, 0};
    ::setrlimit(RLIMIT_CORE, &noCore);
    QApplication trial(argc, argv);
    ::_exit(0);
  }
  int status = 0;
  while (::waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) return false;
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::unique_ptr<Backend> MakeQtBackend(int& argc, char** argv, FileVersion version,
                                       std::span<const std::uint8_t> icon) {
  return std::make_unique<QtBackend>(argc, argv, version, icon);
}

}  // namespace burnwell::ui
