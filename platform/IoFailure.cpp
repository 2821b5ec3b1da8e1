#include "platform/IoFailure.h"

#include "platform/PlatformState.h"

namespace burnwell::platform {

void NoteIoFailure(IoFailure failure) {
  IoFailure& last = PlatformThread().lastIoFailure;
  if (failure > last) last = failure;
}

IoFailure LastIoFailure() { return PlatformThread().lastIoFailure; }

void ClearIoFailure() { PlatformThread().lastIoFailure = IoFailure::None; }

}  // namespace burnwell::platform
