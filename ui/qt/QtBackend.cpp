#include "ui/qt/QtBackend.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCloseEvent>
#include <QDialog>
#include <QEventLoop>
#include <QFontMetrics>
#include <QFrame>
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
#include <QThread>
#include <QTimer>

#include <map>
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

int ShowBox(QWidget* owner, const std::string& text, const std::string& caption, std::uint32_t style) {
  QMessageBox box(IconOf(style), QString::fromStdString(caption), QString::fromStdString(text), QMessageBox::NoButton,
                  owner);
  if ((style & MB_TYPEMASK) == MB_OKCANCEL) {
    box.setStandardButtons(QMessageBox::Ok | QMessageBox::Cancel);
    box.setDefaultButton(QMessageBox::Ok);
    box.setEscapeButton(QMessageBox::Cancel);
  } else {
    box.setStandardButtons(QMessageBox::Ok);
  }
  return box.exec() == QMessageBox::Ok ? IDOK : IDCANCEL;
}

bool OnGuiThread() { return QThread::currentThread() == qApp->thread(); }

// The dialog's own window: Enter, Escape and the close button become the messages a system
// dialog would get, so the dialog decides (and can refuse) as it does on Windows.
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
  int MessageBox(const std::string& text, const std::string& caption, std::uint32_t style) override {
    return ShowBox(widget_.get(), text, caption, style);
  }
  bool IsIconic() const override { return widget_->isMinimized(); }
  std::array<int, 2> ClientSize() const override { return {widget_->width(), widget_->height()}; }
  void SetWindowIcon(bool big) override;
  void AppendSystemMenu(std::uint32_t flags, std::uint32_t command, const std::string& text) override {
    ModelWindow::AppendSystemMenu(flags, command, text);
    if (flags & MF_SEPARATOR) return;
    if (!menuBar_) AddMenuBar();
    QAction* action = helpMenu_->addAction(QString::fromStdString(text));
    QObject::connect(action, &QAction::triggered, [this, command] { Dialog().Dispatch(WM_SYSCOMMAND, command, 0); });
  }

  QWidget* Widget() { return widget_.get(); }

 protected:
  void Changed(int id) override {
    if (id != 0) Sync(id);
  }

 private:
  QRect Place(const ControlSpec& control) const {
    return QRect(control.x * baseX_ / 4, control.y * baseY_ / 8 + top_, control.width * baseX_ / 4,
                 std::max(1, control.height * baseY_ / 8));
  }
  void AddMenuBar() {
    menuBar_ = new QMenuBar(widget_.get());
    helpMenu_ = menuBar_->addMenu("&Help");
    const int height = menuBar_->sizeHint().height();
    menuBar_->setGeometry(0, 0, widget_->width(), height);
    top_ = height;
    for (auto& [id, widget] : widgets_) widget->move(widget->x(), widget->y() + height);
    widget_->setFixedSize(widget_->width(), widget_->height() + height);
    menuBar_->show();
  }
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
    if (auto* label = dynamic_cast<QLabel*>(widget); label && state->layout->kind == ControlKind::Static) {
      label->setText(text);
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
      bar->setRange(state->progress.minimum, std::max(state->progress.minimum, state->progress.maximum));
      bar->setValue(state->progress.position);
    }
  }

  QtBackend& backend_;
  std::unique_ptr<DialogWidget> widget_;
  std::map<int, QWidget*> widgets_;
  std::map<unsigned, QTimer*> timers_;
  QMenuBar* menuBar_ = nullptr;
  QMenu* helpMenu_ = nullptr;
  QEventLoop loop_;
  int baseX_ = 6;
  int baseY_ = 13;
  int top_ = 0;
  bool ended_ = false;
  int result_ = IDCANCEL;
};

class QtBackend final : public Backend {
 public:
  QtBackend(int& argc, char** argv, FileVersion version, std::span<const std::uint8_t> icon)
      : application_(argc, argv), version_(version) {
    if (!icon.empty()) {
      QPixmap pixmap;
      if (pixmap.loadFromData(icon.data(), static_cast<uint>(icon.size()), "ICO")) icon_ = QIcon(pixmap);
    }
  }
  ~QtBackend() override {
    for (std::thread& thread : threads_) {
      if (thread.joinable()) thread.join();
    }
  }

  std::unique_ptr<DialogWindow> CreateDialogWindow(CDialog& dialog, const DialogSpec& layout, DialogWindow* parent) override {
    QWidget* owner = parent ? static_cast<QtWindow*>(parent)->Widget() : nullptr;
    return std::make_unique<QtWindow>(*this, dialog, layout, owner);
  }
  int MessageBox(const std::string& text, const std::string& caption, std::uint32_t style) override {
    if (!OnGuiThread()) {
      int answer = IDCANCEL;
      QMetaObject::invokeMethod(qApp, [&] { answer = ShowBox(nullptr, text, caption, style); },
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
  platform::ScopedOverride<platform::WindowMessages> windowMessages_{&TheModelWindowMessages()};
};

QtWindow::QtWindow(QtBackend& backend, CDialog& dialog, const DialogSpec& layout, QWidget* parent)
    : ModelWindow(dialog, layout), backend_(backend), widget_(std::make_unique<DialogWidget>(dialog, parent)) {
  QFont font(BW_DIALOG_FONT_NAME, BW_DIALOG_FONT_POINTS);
  font.setStyleHint(QFont::SansSerif);
  widget_->setFont(font);
  // Dialog units: a quarter of the font's average character width, an eighth of its height.
  const QFontMetrics metrics(font);
  baseX_ = std::max(1, (metrics.horizontalAdvance("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz") / 26 + 1) / 2);
  baseY_ = std::max(1, metrics.height());
  widget_->setWindowTitle(QString::fromStdString(std::string(layout.caption)));
  widget_->setFixedSize(layout.width * baseX_ / 4, layout.height * baseY_ / 8);
  widget_->setModal(true);

  for (const ControlSpec& control : layout.controls) {
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
        QObject::connect(edit, &QLineEdit::textEdited, [this, id](const QString& value) {
          UserSetText(id, value.toStdString());
        });
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
        label->setPixmap(backend.Icon().pixmap(32, 32));
        widget = label;
        break;
      }
    }
    const QRect place = Place(control);
    if (control.kind == ControlKind::Icon) {
      widget->setGeometry(place.x(), place.y(), 32, 32);
    } else {
      widget->setGeometry(place);
    }
    if (control.id != IDC_STATIC) widgets_[control.id] = widget;
    widget->setVisible(control.InitiallyVisible());
    widget->setEnabled(control.InitiallyEnabled());
  }
}

void QtWindow::SetWindowIcon(bool big) {
  ModelWindow::SetWindowIcon(big);
  if (!backend_.Icon().isNull()) widget_->setWindowIcon(backend_.Icon());
}

}  // namespace

std::unique_ptr<Backend> MakeQtBackend(int& argc, char** argv, FileVersion version, std::span<const std::uint8_t> icon) {
  return std::make_unique<QtBackend>(argc, argv, version, icon);
}

}  // namespace burnwell::ui
