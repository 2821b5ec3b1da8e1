// Relay listener on a message-mode named pipe: one pipe instance per client.
#include <windows.h>

#include <atomic>
#include <string>

#include "platform/RelayListener.h"
#include "platform/RelaySocketPath.h"
#include "platform/win32/RelayPipeIo.h"

namespace burnwell::platform {
namespace {

constexpr DWORD kPipeBufferSize = 66560;  // the relay's largest message

HANDLE NewInstance(const std::string& name, bool first) {
  return ::CreateNamedPipeA(
      name.c_str(),
      PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0),
      PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, PIPE_UNLIMITED_INSTANCES,
      kPipeBufferSize, kPipeBufferSize, 0, nullptr);
}

class PipeChannel final : public RelayChannel {
 public:
  explicit PipeChannel(HANDLE pipe)
      : pipe_(pipe), shutdown_(::CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}
  ~PipeChannel() override {
    ::FlushFileBuffers(pipe_);
    ::DisconnectNamedPipe(pipe_);
    ::CloseHandle(pipe_);
    if (shutdown_) ::CloseHandle(shutdown_);
  }

  ReceiveResult Receive(std::vector<std::uint8_t>& message, std::size_t limit) override {
    message.resize(limit);
    DWORD got = 0;
    const auto result =
        pipeio::Read(pipe_, message.data(), static_cast<DWORD>(limit), &got, INFINITE, shutdown_);
    if (result == pipeio::Result::MoreData) {
      message.clear();
      return ReceiveResult::TooLong;
    }
    if (result != pipeio::Result::Done) {
      message.clear();
      return ReceiveResult::Closed;
    }
    message.resize(got);
    // A zero-length message is read like any other; the server decides what it means.
    return ReceiveResult::Message;
  }

  bool Send(std::span<const std::uint8_t> message) override {
    DWORD written = 0;
    return pipeio::Write(pipe_, message.data(), static_cast<DWORD>(message.size()), &written,
                         INFINITE, shutdown_) == pipeio::Result::Done &&
           written == message.size();
  }

  void Shutdown() override { ::SetEvent(shutdown_); }

 private:
  HANDLE pipe_;
  HANDLE shutdown_;
};

class PipeListener final : public RelayListener {
 public:
  PipeListener(std::string name, HANDLE first)
      : name_(std::move(name)),
        pending_(first),
        stop_(::CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}
  ~PipeListener() override {
    if (pending_ != INVALID_HANDLE_VALUE) ::CloseHandle(pending_);
    if (stop_) ::CloseHandle(stop_);
  }

  std::unique_ptr<RelayChannel> Accept() override {
    if (stopped_.load() || pending_ == INVALID_HANDLE_VALUE) return nullptr;
    OVERLAPPED overlapped{};
    overlapped.hEvent = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!overlapped.hEvent) return nullptr;
    bool connected = false;
    if (::ConnectNamedPipe(pending_, &overlapped)) {
      connected = true;
    } else {
      const DWORD error = ::GetLastError();
      if (error == ERROR_PIPE_CONNECTED) {
        connected = true;
      } else if (error == ERROR_IO_PENDING) {
        HANDLE waits[2] = {overlapped.hEvent, stop_};
        const DWORD waited = ::WaitForMultipleObjects(2, waits, FALSE, INFINITE);
        if (waited != WAIT_OBJECT_0) ::CancelIoEx(pending_, &overlapped);
        DWORD ignored = 0;
        connected =
            ::GetOverlappedResult(pending_, &overlapped, &ignored, TRUE) && waited == WAIT_OBJECT_0;
      }
    }
    ::CloseHandle(overlapped.hEvent);
    if (!connected || stopped_.load()) return nullptr;
    HANDLE client = pending_;
    pending_ = NewInstance(name_, false);
    return std::make_unique<PipeChannel>(client);
  }

  void Stop() override {
    stopped_.store(true);
    ::SetEvent(stop_);
  }

 private:
  std::string name_;
  HANDLE pending_;
  HANDLE stop_;
  std::atomic<bool> stopped_{false};
};

}  // namespace

std::unique_ptr<RelayListener> ListenForRelayClients(std::string* problem) {
  const std::string name = RelayPipeName();
  // Another server listens here already when the pipe exists at all (FILE_FLAG_FIRST_PIPE_INSTANCE
  // says so too, but not every implementation of the API honours it).
  if (::WaitNamedPipeA(name.c_str(), 1) || ::GetLastError() != ERROR_FILE_NOT_FOUND) {
    if (problem) *problem = "another server listens at " + name;
    return nullptr;
  }
  HANDLE first = NewInstance(name, true);
  if (first == INVALID_HANDLE_VALUE) {
    if (problem) *problem = "cannot create the pipe " + name;
    return nullptr;
  }
  return std::make_unique<PipeListener>(name, first);
}

std::unique_ptr<RelayListener> ListenForRelayClientsAt(const std::filesystem::path&,
                                                       std::string* problem) {
  if (problem) *problem = "Windows serves the relay on its pipe only";
  return nullptr;
}

std::unique_ptr<RelayListener> InheritedRelayListener(std::string*) { return nullptr; }

}  // namespace burnwell::platform
