// The ASPI library and the events its commands signal: LoadLibraryA / GetProcAddress and
// CreateEventA & co. on Windows. Linux has no ASPI library (loading always fails) but keeps
// working events, so the ASPI path fails cleanly there. Tests install a fake library.
#pragma once

#include <cstdint>

#include "platform/NamedLock.h"  // WaitResult
#include "platform/Seam.h"

namespace burnwell::platform {

using ModuleHandle = std::intptr_t;  // 0: none
using EventHandle = std::intptr_t;   // 0: none

inline constexpr const char* kAspiLibraryName = "WNASPI32.dll";
inline constexpr const char* kSendAspi32Command = "SendASPI32Command";
inline constexpr const char* kGetAspi32SupportInfo = "GetASPI32SupportInfo";

// The library's two entry points, as the library exports them.
using SendAspi32CommandFn = std::uint32_t (*)(void* srb);
using GetAspi32SupportInfoFn = std::uint32_t (*)();

class AspiLibrary {
 public:
  virtual ~AspiLibrary() = default;
  // LoadLibraryA; 0 when the library is not there.
  virtual ModuleHandle Load(const char* name) = 0;
  // GetProcAddress; nullptr when the entry is missing.
  virtual void* Find(ModuleHandle module, const char* entry) = 0;
  // FreeLibrary.
  virtual void Free(ModuleHandle module) = 0;

  // An unnamed manual-reset event, not signalled; 0 on failure.
  virtual EventHandle NewEvent() = 0;
  virtual bool SignalEvent(EventHandle event) = 0;
  virtual bool ClearEvent(EventHandle event) = 0;
  // Signalled, TimedOut or Failed.
  virtual WaitResult WaitForEvent(EventHandle event, std::uint32_t timeoutMs) = 0;
  virtual bool CloseEvent(EventHandle event) = 0;
};

template <>
AspiLibrary& SystemInstance<AspiLibrary>();

}  // namespace burnwell::platform
