// Overlapped reads and writes on a message-mode pipe, bounded by a time-out and optionally
// cut short by a cancel event (both ends of the relay use them).
#pragma once

#include <windows.h>

namespace burnwell::platform::pipeio {

enum class Result {
  Done,      // the whole message (read) or all bytes (write)
  MoreData,  // read: the message was longer than the buffer; the rest was discarded
  TimedOut,
  Cancelled,
  Failed,  // includes a closed pipe
};

Result Read(HANDLE pipe, void* buffer, DWORD size, DWORD* transferred, DWORD timeoutMs,
            HANDLE cancel);
Result Write(HANDLE pipe, const void* data, DWORD size, DWORD* transferred, DWORD timeoutMs,
             HANDLE cancel);

}  // namespace burnwell::platform::pipeio
