#include "platform/win32/RelayPipeIo.h"

#include <vector>

namespace burnwell::platform::pipeio {
namespace {

// Waits for one overlapped operation; on time-out or cancel it is cancelled and reaped, so
// the OVERLAPPED and the buffer are never used by the system after we return.
Result Finish(HANDLE pipe, OVERLAPPED& overlapped, DWORD* transferred, DWORD timeoutMs,
              HANDLE cancel) {
  HANDLE waits[2] = {overlapped.hEvent, cancel};
  const DWORD count = cancel ? 2 : 1;
  const DWORD waited = ::WaitForMultipleObjects(count, waits, FALSE, timeoutMs);
  Result interrupted = Result::Done;
  if (waited == WAIT_TIMEOUT)
    interrupted = Result::TimedOut;
  else if (waited == WAIT_OBJECT_0 + 1)
    interrupted = Result::Cancelled;
  else if (waited != WAIT_OBJECT_0)
    interrupted = Result::Failed;
  if (interrupted != Result::Done) ::CancelIoEx(pipe, &overlapped);
  const BOOL ok = ::GetOverlappedResult(pipe, &overlapped, transferred, TRUE);
  if (interrupted != Result::Done) return interrupted;
  if (ok) return Result::Done;
  return ::GetLastError() == ERROR_MORE_DATA ? Result::MoreData : Result::Failed;
}

struct OverlappedEvent {
  OverlappedEvent() { overlapped.hEvent = ::CreateEventA(nullptr, TRUE, FALSE, nullptr); }
  ~OverlappedEvent() {
    if (overlapped.hEvent) ::CloseHandle(overlapped.hEvent);
  }
  OVERLAPPED overlapped{};
};

Result ReadOnce(HANDLE pipe, void* buffer, DWORD size, DWORD* transferred, DWORD timeoutMs,
                HANDLE cancel) {
  OverlappedEvent op;
  if (!op.overlapped.hEvent) return Result::Failed;
  *transferred = 0;
  if (::ReadFile(pipe, buffer, size, transferred, &op.overlapped)) return Result::Done;
  const DWORD error = ::GetLastError();
  if (error == ERROR_MORE_DATA) {
    ::GetOverlappedResult(pipe, &op.overlapped, transferred, TRUE);
    return Result::MoreData;
  }
  if (error != ERROR_IO_PENDING) return Result::Failed;
  return Finish(pipe, op.overlapped, transferred, timeoutMs, cancel);
}

}  // namespace

Result Read(HANDLE pipe, void* buffer, DWORD size, DWORD* transferred, DWORD timeoutMs,
            HANDLE cancel) {
  const Result result = ReadOnce(pipe, buffer, size, transferred, timeoutMs, cancel);
  if (result != Result::MoreData) return result;
  // Discard the rest of the long message so the next read starts at the next message.
  std::vector<char> scratch(4096);
  DWORD ignored = 0;
  while (ReadOnce(pipe, scratch.data(), static_cast<DWORD>(scratch.size()), &ignored, timeoutMs,
                  cancel) == Result::MoreData) {
  }
  return Result::MoreData;
}

Result Write(HANDLE pipe, const void* data, DWORD size, DWORD* transferred, DWORD timeoutMs,
             HANDLE cancel) {
  OverlappedEvent op;
  if (!op.overlapped.hEvent) return Result::Failed;
  *transferred = 0;
  if (::WriteFile(pipe, data, size, transferred, &op.overlapped)) return Result::Done;
  if (::GetLastError() != ERROR_IO_PENDING) return Result::Failed;
  return Finish(pipe, op.overlapped, transferred, timeoutMs, cancel);
}

}  // namespace burnwell::platform::pipeio
