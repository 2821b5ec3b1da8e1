// Two processes rebuilding their device tables at once: the API lock keeps their discoveries
// apart, and each keeps a whole table of its own.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "bridge/DeviceApi.h"
#include "bridge/BridgeState.h"
#include "device/DeviceRecord.h"
#include "sim/machine/SysfsTree.h"
#include "tests/bridge/LinuxMachineFakes.h"
#include "tests/support/TestSupport.h"

namespace burnwell::bridge {

using device::DeviceLayer;
using device::DeviceTable;
namespace {

constexpr int kRounds = 15;

// Marks the span of one discovery with a file only one process may hold: made when the first
// unit is opened, removed when the last one is. A second discovery that starts inside the span
// of another cannot make the file and counts an overlap.
class ObservedBridgeIo final : public platform::DeviceIo {
 public:
  ObservedBridgeIo(test::FakeBridgeIo& inner, std::filesystem::path marker,
                   std::filesystem::path overlaps, std::string first, std::string last)
      : inner_(inner),
        marker_(std::move(marker)),
        overlaps_(std::move(overlaps)),
        first_(std::move(first)),
        last_(std::move(last)) {}

  platform::Handle Open(const char* path, std::uint32_t attributes) override {
    if (first_ == path) {
      const int fd = ::open(marker_.c_str(), O_CREAT | O_EXCL | O_WRONLY, 0644);
      if (fd >= 0) {
        ::close(fd);
      } else {
        const int log = ::open(overlaps_.c_str(), O_CREAT | O_APPEND | O_WRONLY, 0644);
        [[maybe_unused]] const ssize_t n = ::write(log, "x", 1);
        ::close(log);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));  // widen the window
    }
    if (last_ == path) ::unlink(marker_.c_str());
    return inner_.Open(path, attributes);
  }
  bool IoControl(platform::Handle h, std::uint32_t code, const void* in, std::uint32_t inSize,
                 void* out, std::uint32_t outSize, std::uint32_t* returned) override {
    return inner_.IoControl(h, code, in, inSize, out, outSize, returned);
  }
  bool Read(platform::Handle h, void* b, std::uint32_t s, std::uint32_t* r) override {
    return inner_.Read(h, b, s, r);
  }
  bool Seek(platform::Handle h, std::int64_t o) override { return inner_.Seek(h, o); }
  bool Close(platform::Handle h) override { return inner_.Close(h); }
  platform::Handle OpenRelay() override { return platform::kInvalidHandle; }
  bool WriteMessage(platform::Handle, const void*, std::uint32_t, std::uint32_t*) override {
    return false;
  }
  bool ReadMessage(platform::Handle, void*, std::uint32_t, std::uint32_t*) override {
    return false;
  }

 private:
  test::FakeBridgeIo& inner_;
  std::filesystem::path marker_, overlaps_;
  std::string first_, last_;
};

// One process's work: open and close the table again and again; 0 when every table was whole.
int OpenAndCloseRepeatedly(const std::filesystem::path& root, const std::filesystem::path& work,
                           const std::vector<sim::machine::GeneratedUnit>& units) {
  test::FakeSystemRoot system(root);
  test::FakeBridgeIo bridges;
  for (std::size_t i = 0; i < units.size(); ++i) {
    bridges.Answer(units[i].genericNode,
                   test::FakeBridgeIo::BridgeBlock(0x7e55, 0x5801, static_cast<std::uint32_t>(i)));
  }
  ObservedBridgeIo io(bridges, work / "inside", work / "overlaps", units.front().genericNode,
                      units.back().genericNode);
  platform::ScopedOverride<platform::System> systemGuard(&system);
  platform::ScopedOverride<platform::DeviceIo> ioGuard(&io);
  ResetBridgeLayerState();
  BridgeLayer().discoveryFlavor = DiscoveryFlavor::Linux;
  if (BridgeInitialize() != 1) return 10;
  for (int round = 0; round < kRounds; ++round) {
    std::uint8_t ids[32]{};
    if (BridgeOpen(ids, sizeof ids) != static_cast<int>(units.size())) return 11;
    const DeviceTable& table = DeviceLayer().table;
    if (table.count != units.size()) return 12;
    for (std::uint32_t i = 0; i < table.count; ++i) {
      if (table.records[i].FirmwareVersion != i ||
          units[i].genericNode != table.records[i].DevicePath.data())
        return 13;
      if (ids[i] != static_cast<std::uint8_t>('A' + i)) return 14;
    }
    if (BridgeClose() != 0) return 15;
  }
  BridgeUninitialize();
  return 0;
}

TEST(BridgeOpenAcrossProcesses, DiscoveriesExcludeEachOtherAndTablesStayWhole) {
  test::TempDir root;
  test::TempDir work;
  sim::machine::MachineSpec layout;
  for (const char* location : {"1-1", "1-2", "1-3"}) {
    sim::machine::StorageSpec storage;
    storage.location = location;
    storage.vendorId = 0x7e55;
    storage.productId = 0x5801;
    layout.storage.push_back(storage);
  }
  const auto units = sim::machine::WriteSystemRoot(root.Path(), layout);

  pid_t children[2];
  for (pid_t& child : children) {
    child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) ::_exit(OpenAndCloseRepeatedly(root.Path(), work.Path(), units));
  }
  for (pid_t child : children) {
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "a process lost or garbled its table";
  }
  EXPECT_FALSE(std::filesystem::exists(work / "overlaps")) << "two discoveries ran at once";
}

}  // namespace
}  // namespace burnwell::bridge
