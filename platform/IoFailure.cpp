#include "platform/IoFailure.h"

namespace burnwell::platform {
namespace {
thread_local IoFailure lastFailure = IoFailure::None;
}  // namespace

void NoteIoFailure(IoFailure failure) {
  if (failure > lastFailure) lastFailure = failure;
}

IoFailure LastIoFailure() { return lastFailure; }

void ClearIoFailure() { lastFailure = IoFailure::None; }

}  // namespace burnwell::platform
