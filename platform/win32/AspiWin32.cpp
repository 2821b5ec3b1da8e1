// The ASPI library loaded at run time, and Win32 events.
#include <windows.h>

#include "platform/Aspi.h"

namespace burnwell::platform {
namespace {

HANDLE AsHandle(std::intptr_t value) { return reinterpret_cast<HANDLE>(value); }

class Win32Aspi final : public AspiLibrary {
 public:
  ModuleHandle Load(const char* name) override {
    return reinterpret_cast<ModuleHandle>(::LoadLibraryA(name));
  }
  void* Find(ModuleHandle module, const char* entry) override {
    if (module == 0) return nullptr;
    return reinterpret_cast<void*>(::GetProcAddress(reinterpret_cast<HMODULE>(module), entry));
  }
  void Free(ModuleHandle module) override {
    if (module != 0) ::FreeLibrary(reinterpret_cast<HMODULE>(module));
  }
  EventHandle NewEvent() override {
    return reinterpret_cast<EventHandle>(::CreateEventA(nullptr, TRUE, FALSE, nullptr));
  }
  bool SignalEvent(EventHandle event) override { return ::SetEvent(AsHandle(event)) != 0; }
  bool ClearEvent(EventHandle event) override { return ::ResetEvent(AsHandle(event)) != 0; }
  WaitResult WaitForEvent(EventHandle event, std::uint32_t timeoutMs) override {
    switch (::WaitForSingleObject(AsHandle(event), timeoutMs)) {
      case WAIT_OBJECT_0: return WaitResult::Signalled;
      case WAIT_TIMEOUT: return WaitResult::TimedOut;
      default: return WaitResult::Failed;
    }
  }
  bool CloseEvent(EventHandle event) override { return ::CloseHandle(AsHandle(event)) != 0; }
};

}  // namespace

template <>
AspiLibrary& SystemInstance<AspiLibrary>() {
  static Win32Aspi aspi;
  return aspi;
}

}  // namespace burnwell::platform
