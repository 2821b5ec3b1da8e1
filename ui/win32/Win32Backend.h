// The dialogs as real Win32 dialogs built from the program's resources (templates 102 and 100,
// icon 128, string table, version resource); the worker is started with _beginthread.
#pragma once

#include "ui/Framework.h"

namespace burnwell::ui {

class Win32Backend final : public Backend {
 public:
  Win32Backend();
  std::unique_ptr<DialogWindow> CreateDialogWindow(CDialog& dialog, const DialogSpec& layout,
                                                   DialogWindow* parent) override;
  int MessageBox(const std::string& text, const std::string& caption, std::uint32_t style) override;
  std::uintptr_t StartThread(void (*entry)(void*), void* argument) override;
  std::optional<FileVersion> ProgramFileVersion() override;
  std::string LoadString(int id) override;
  int IconMetric(int which) override;
};

// UTF-8 <-> UTF-16 for the wide Win32 calls.
std::wstring Widen(const std::string& text);
std::string Narrow(const std::wstring& text);

}  // namespace burnwell::ui
