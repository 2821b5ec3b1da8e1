#include "ui/DialogTemplate.h"

#include <string>

#include "ui/Templates.h"

namespace burnwell::ui {
namespace {

#define BW_KIND_STATIC ControlKind::Static
#define BW_KIND_EDIT ControlKind::Edit
#define BW_KIND_BUTTON ControlKind::Button
#define BW_KIND_RADIO ControlKind::Radio
#define BW_KIND_PROGRESS ControlKind::Progress
#define BW_KIND_ICON ControlKind::Icon
// An icon's text field holds its resource id; the portable side takes the icon from the
// application instead.
#define BW_TEXT_STATIC(text) text
#define BW_TEXT_EDIT(text) text
#define BW_TEXT_BUTTON(text) text
#define BW_TEXT_RADIO(text) text
#define BW_TEXT_PROGRESS(text) text
#define BW_TEXT_ICON(text) ""
#define BW_CONTROL_SPEC(id, kind, text, x, y, w, h, style) \
  ControlSpec{                                             \
      id, BW_KIND_##kind, BW_TEXT_##kind(text), x, y, w, h, static_cast<std::uint32_t>(style)},

constexpr ControlSpec kMainControls[] = {BW_MAIN_DIALOG_CONTROLS(BW_CONTROL_SPEC)};
constexpr ControlSpec kAboutControls[] = {BW_ABOUT_DIALOG_CONTROLS(BW_CONTROL_SPEC)};

#define BW_DIALOG_SPEC(id, NAME, controls)                                               \
  DialogSpec {                                                                           \
    id, BW_##NAME##_DIALOG_CAPTION, BW_##NAME##_DIALOG_WIDTH, BW_##NAME##_DIALOG_HEIGHT, \
        static_cast<std::uint32_t>(BW_##NAME##_DIALOG_STYLE), controls                   \
  }

const DialogSpec kMainDialog = BW_DIALOG_SPEC(IDD_BURNWELL_DIALOG, MAIN, kMainControls);
const DialogSpec kAboutDialog = BW_DIALOG_SPEC(IDD_ABOUTBOX, ABOUT, kAboutControls);

}  // namespace

bool ControlSpec::InitiallyVisible() const { return (style & WS_VISIBLE) != 0; }
bool ControlSpec::InitiallyEnabled() const { return (style & WS_DISABLED) == 0; }
bool ControlSpec::StartsGroup() const { return (style & WS_GROUP) != 0; }
bool ControlSpec::IsEtchedLine() const {
  return kind == ControlKind::Static && (style & 0x1F) == SS_ETCHEDHORZ;
}
bool ControlSpec::IsReadOnly() const {
  return kind == ControlKind::Edit && (style & ES_READONLY) != 0;
}
bool ControlSpec::IsRightAligned() const {
  return kind == ControlKind::Static && (style & 0x1F) == SS_RIGHT;
}
bool ControlSpec::IsDefaultButton() const {
  return kind == ControlKind::Button && (style & 0xF) == BS_DEFPUSHBUTTON;
}

const ControlSpec* DialogSpec::Find(int controlId) const {
  for (const ControlSpec& control : controls) {
    if (control.id == controlId) return &control;
  }
  return nullptr;
}

const DialogSpec* FindDialogTemplate(int templateId) {
  if (templateId == IDD_BURNWELL_DIALOG) return &kMainDialog;
  if (templateId == IDD_ABOUTBOX) return &kAboutDialog;
  return nullptr;
}

std::string StripMnemonic(std::string_view text) {
  std::string plain;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '&' && i + 1 < text.size()) ++i;
    plain += text[i];
  }
  return plain;
}

}  // namespace burnwell::ui
