// Fakes for running Linux discovery on a generated system root: the system root itself, named
// locks kept in memory, and device I/O that answers the bridge information command for the
// generic nodes it knows and fails to open every other node.
#pragma once

#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>

#include "device/BridgeInfo.h"
#include "wire/ScsiRequest.h"
#include "platform/DeviceIo.h"
#include "platform/NamedLock.h"
#include "platform/System.h"

namespace burnwell::test {

class FakeSystemRoot final : public platform::System {
 public:
  explicit FakeSystemRoot(std::filesystem::path root) : root_(std::move(root)) {}
  bool IsWindowsNt() override { return true; }
  void SetLastSystemError(std::uint32_t code) override { error_ = code; }
  std::uint32_t LastSystemError() override { return error_; }
  std::filesystem::path SystemRoot() override { return root_; }

 private:
  std::filesystem::path root_;
  std::uint32_t error_ = 0;
};

class FakeLocks final : public platform::NamedLocks {
 public:
  platform::LockHandle Open(const char* name) override {
    std::lock_guard lock(mutex_);
    const auto found = handles_.find(name);
    return found == handles_.end() ? 0 : found->second;
  }
  platform::LockHandle Create(const char* name) override {
    std::lock_guard lock(mutex_);
    if (failCreate_) return 0;
    auto [it, added] =
        handles_.emplace(name, static_cast<platform::LockHandle>(handles_.size() + 1));
    return it->second;
  }
  platform::WaitResult Wait(platform::LockHandle, std::uint32_t) override {
    return platform::WaitResult::Signalled;
  }
  bool Release(platform::LockHandle) override { return true; }
  bool Close(platform::LockHandle) override { return true; }

  bool Has(const std::string& name) {
    std::lock_guard lock(mutex_);
    return handles_.count(name) != 0;
  }
  void FailCreate() { failCreate_ = true; }

 private:
  std::mutex mutex_;
  std::map<std::string, platform::LockHandle> handles_;
  bool failCreate_ = false;
};

// Answers every command on a known node with that node's 16-byte bridge information block.
class FakeBridgeIo final : public platform::DeviceIo {
 public:
  using Block = std::array<std::uint8_t, wire::kBridgeInfoSize>;

  static Block BridgeBlock(std::uint16_t vendor, std::uint16_t product, std::uint32_t firmware) {
    Block block{};
    block[0] = static_cast<std::uint8_t>(vendor >> 8);
    block[1] = static_cast<std::uint8_t>(vendor);
    block[2] = static_cast<std::uint8_t>(product >> 8);
    block[3] = static_cast<std::uint8_t>(product);
    for (int i = 0; i < 4; ++i) block[4 + i] = static_cast<std::uint8_t>(firmware >> (24 - 8 * i));
    block[11] = 1;  // a serial flash is attached
    return block;
  }

  void Answer(const std::string& node, const Block& block) { blocks_[node] = block; }
  // A node that opens but whose unit is no bridge: every command fails.
  void Silent(const std::string& node) { silent_[node] = true; }
  // A node whose open fails with this operating-system error.
  void Refuse(const std::string& node, std::uint32_t error) { refused_[node] = error; }
  int OpenCount() const { return opens_; }
  int CloseCount() const { return closes_; }

  platform::Handle Open(const char* path, std::uint32_t) override {
    const std::string name = path;
    if (const auto refused = refused_.find(name); refused != refused_.end()) {
      platform::Current<platform::System>().SetLastSystemError(refused->second);
      return platform::kInvalidHandle;
    }
    if (blocks_.count(name) == 0 && silent_.count(name) == 0) return platform::kInvalidHandle;
    ++opens_;
    handles_[++lastHandle_] = name;
    return lastHandle_;
  }
  bool IoControl(platform::Handle handle, std::uint32_t, const void*, std::uint32_t, void* out,
                 std::uint32_t outSize, std::uint32_t* returned) override {
    const auto node = handles_.find(handle);
    if (node == handles_.end()) return false;
    const auto block = blocks_.find(node->second);
    if (block == blocks_.end() || outSize < wire::kDataOffset + block->second.size()) return false;
    const wire::ScsiRequestView answer(std::span(static_cast<std::uint8_t*>(out), outSize));
    answer.SetScsiStatus(0);
    std::ranges::copy(block->second, answer.Data().begin());
    if (returned) *returned = outSize;
    return true;
  }
  bool Read(platform::Handle, void*, std::uint32_t, std::uint32_t*) override { return false; }
  bool Seek(platform::Handle, std::int64_t) override { return false; }
  bool Close(platform::Handle handle) override {
    ++closes_;
    return handles_.erase(handle) != 0;
  }
  platform::Handle OpenRelay() override { return platform::kInvalidHandle; }
  bool WriteMessage(platform::Handle, const void*, std::uint32_t, std::uint32_t*) override {
    return false;
  }
  bool ReadMessage(platform::Handle, void*, std::uint32_t, std::uint32_t*) override {
    return false;
  }

 private:
  std::map<std::string, Block> blocks_;
  std::map<std::string, bool> silent_;
  std::map<std::string, std::uint32_t> refused_;
  std::map<platform::Handle, std::string> handles_;
  platform::Handle lastHandle_ = 100;
  int opens_ = 0;
  int closes_ = 0;
};

}  // namespace burnwell::test
