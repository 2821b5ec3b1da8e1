// The dialog templates as data for the backends that build windows themselves (Qt, terminal,
// scripted). The Win32 backend uses the same lines compiled into real resources.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace burnwell::ui {

enum class ControlKind { Static, Edit, Button, Radio, Progress, Icon };

struct ControlSpec {
  int id;
  ControlKind kind;
  std::string_view text;    // "&" marks the mnemonic, as in a resource script
  int x, y, width, height;  // dialog units
  std::uint32_t style;

  bool InitiallyVisible() const;
  bool InitiallyEnabled() const;
  bool StartsGroup() const;
  bool IsEtchedLine() const;
  bool IsReadOnly() const;
  bool IsRightAligned() const;
  bool IsDefaultButton() const;
};

struct DialogSpec {
  int id;
  std::string_view caption;
  int width, height;  // dialog units
  std::uint32_t style;
  std::span<const ControlSpec> controls;

  // The control with this id (the first of several IDC_STATIC), or nullptr.
  const ControlSpec* Find(int id) const;
};

// The template with this resource id (102 or 100), or nullptr.
const DialogSpec* FindDialogTemplate(int templateId);

// The text without mnemonic markers: "E&xit" gives "Exit", "&&" gives "&".
std::string StripMnemonic(std::string_view text);

}  // namespace burnwell::ui
