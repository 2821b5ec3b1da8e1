#include "ui/UiState.h"

namespace burnwell::ui {

UiState& UiLayer() {
  static UiState state;
  return state;
}

void ResetUiState() {
  UiLayer().app.store(nullptr);
  UiLayer().controlHandles.Clear();
}

}  // namespace burnwell::ui
