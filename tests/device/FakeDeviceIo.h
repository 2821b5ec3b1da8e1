// A scriptable DeviceIo for the transport tests: device handles answer pass-through I/O
// controls through a callback; relay connections record every message written and answer
// with queued replies, the way a message-mode channel would.
#pragma once

#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/DeviceIo.h"
#include "platform/System.h"

namespace burnwell::test {

using Bytes = std::vector<std::uint8_t>;

class FakeDeviceIo : public platform::DeviceIo {
 public:
  // Device side.
  std::function<bool(std::uint32_t code, std::uint8_t* buffer, std::uint32_t size)> onIoControl;
  std::vector<std::string> openedPaths;
  std::vector<platform::Handle> closed;
  int ioControlCalls = 0;

  // Relay side.
  bool relayAvailable = true;
  int relayOpens = 0;
  std::vector<Bytes> written;
  std::deque<Bytes> replies;  // one per ReadMessage; none left: the read fails
  bool failWrites = false;
  std::uint32_t shortWriteBy = 0;  // bytes the next writes leave unwritten

  platform::Handle Open(const char* path, std::uint32_t) override {
    openedPaths.emplace_back(path);
    return nextHandle_++;
  }
  bool IoControl(platform::Handle, std::uint32_t code, const void* in, std::uint32_t inSize,
                 void* out, std::uint32_t outSize, std::uint32_t* returned) override {
    ++ioControlCalls;
    if (!onIoControl) return false;
    if (in != out && in && out) std::memcpy(out, in, std::min(inSize, outSize));
    const bool ok = onIoControl(code, static_cast<std::uint8_t*>(out), outSize);
    if (returned) *returned = outSize;
    return ok;
  }
  bool Read(platform::Handle, void*, std::uint32_t, std::uint32_t*) override { return false; }
  bool Seek(platform::Handle, std::int64_t) override { return false; }
  bool Close(platform::Handle handle) override {
    closed.push_back(handle);
    return true;
  }
  platform::Handle OpenRelay() override {
    ++relayOpens;
    return relayAvailable ? nextHandle_++ : platform::kInvalidHandle;
  }
  bool WriteMessage(platform::Handle, const void* data, std::uint32_t size,
                    std::uint32_t* written) override {
    if (failWrites) return false;
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    this->written.emplace_back(bytes, bytes + size);
    *written = size - std::min(size, shortWriteBy);
    return true;
  }
  bool ReadMessage(platform::Handle, void* buffer, std::uint32_t size,
                   std::uint32_t* read) override {
    if (replies.empty()) return false;
    Bytes reply = std::move(replies.front());
    replies.pop_front();
    if (reply.size() > size) return false;  // message mode: a longer message fails the read
    if (!reply.empty()) std::memcpy(buffer, reply.data(), reply.size());
    *read = static_cast<std::uint32_t>(reply.size());
    return true;
  }

 private:
  platform::Handle nextHandle_ = 100;
};

class FakeSystem : public platform::System {
 public:
  bool nt = true;
  std::filesystem::path root = "/";
  bool IsWindowsNt() override { return nt; }
  void SetLastSystemError(std::uint32_t code) override { last = code; }
  std::uint32_t LastSystemError() override { return last; }
  std::filesystem::path SystemRoot() override { return root; }
  std::uint32_t last = 0;
};

}  // namespace burnwell::test
