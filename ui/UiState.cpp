#include "ui/UiState.h"

namespace burnwell::ui {

UiState& UiLayer() {
  static UiState state;
  return state;
}

void ResetUiState() {
  UiState& state = UiLayer();
  state.app.store(nullptr);
  std::lock_guard lock(state.controlHandles.mutex);
  state.controlHandles.controls.clear();
  state.controlHandles.last = ControlHandles::kFirst;
}

}  // namespace burnwell::ui
