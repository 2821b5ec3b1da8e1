// ASPI discovery, for systems without SCSI pass-through: every host adapter the library
// reports, every target of it, LUNs 0 and 1; each unit that answers the bridge information
// command gets a record carrying only its ASPI address and the decoded information.
#include <array>
#include <cstddef>

#include "device/Aspi.h"
#include "bridge/Discovery.h"
#include "platform/Aspi.h"
#include "protocol/VendorCommands.h"

namespace burnwell::bridge {

using device::kSrbAreaSize;
using device::LoadAspiLibrary;
using device::SC_HA_INQUIRY;
using device::SS_COMP;
namespace srb = device::srb;
namespace {

inline constexpr std::uint8_t SC_GET_DISK_INFO = 0x06;

// SRB_HAInquiry (60 bytes): header, HA_Count, HA_SCSI_ID, HA_ManagerId[16],
// HA_Identifier[16], HA_Unique[16], HA_Rsvd1[2].
namespace ha_inquiry {
inline constexpr std::size_t Count = 8;
inline constexpr std::size_t ScsiId = 9;
inline constexpr std::size_t ManagerId = 10;
inline constexpr std::size_t Identifier = 26;
inline constexpr std::size_t Unique = 42;
inline constexpr std::size_t Size = 60;
inline constexpr std::size_t TargetCount = Unique + 3;  // 0 means 8
}  // namespace ha_inquiry
static_assert(ha_inquiry::Count + 1 == ha_inquiry::ScsiId &&
              ha_inquiry::ScsiId + 1 == ha_inquiry::ManagerId &&
              ha_inquiry::ManagerId + 16 == ha_inquiry::Identifier &&
              ha_inquiry::Identifier + 16 == ha_inquiry::Unique);
static_assert(ha_inquiry::Unique + 16 + 2 == ha_inquiry::Size);

// SRB_GetDiskInfo (24 bytes): header, SRB_Target, SRB_Lun, drive flags, Int13 info, heads,
// sectors, 10 reserved bytes.
namespace disk_info {
inline constexpr std::size_t Target = 8;
inline constexpr std::size_t Lun = 9;
inline constexpr std::size_t Size = 24;
}  // namespace disk_info
static_assert(disk_info::Lun + 5 + 10 == disk_info::Size);

constexpr std::uint32_t kReadBridgeInfoMultiplier = 30;
constexpr std::uint8_t kDefaultTargets = 8;
constexpr std::uint8_t kLunsProbed = 2;

bool InquireAdapter(platform::SendAspi32CommandFn send, std::uint8_t adapter,
                    std::uint8_t& targets) {
  alignas(16) std::array<std::uint8_t, kSrbAreaSize> area{};
  area[srb::Cmd] = SC_HA_INQUIRY;
  area[srb::HaId] = adapter;
  area[srb::Flags] = 0;
  if (send(area.data()) != SS_COMP) return false;
  targets = area[ha_inquiry::TargetCount] != 0 ? area[ha_inquiry::TargetCount] : kDefaultTargets;
  return true;
}

bool UnitPresent(platform::SendAspi32CommandFn send, std::uint8_t adapter, std::uint8_t target,
                 std::uint8_t lun) {
  alignas(16) std::array<std::uint8_t, kSrbAreaSize> area{};
  area[srb::Cmd] = SC_GET_DISK_INFO;
  area[srb::HaId] = adapter;
  area[disk_info::Target] = target;
  area[disk_info::Lun] = lun;
  return send(area.data()) == SS_COMP;
}

}  // namespace

CountOrError DiscoverAspi() {
  const platform::ModuleHandle library = LoadAspiLibrary();
  if (library == 0) return ApiError::NoAspi;
  auto& aspi = platform::Current<platform::AspiLibrary>();
  const auto supportInfo = reinterpret_cast<platform::GetAspi32SupportInfoFn>(
      aspi.Find(library, platform::kGetAspi32SupportInfo));
  const auto send = reinterpret_cast<platform::SendAspi32CommandFn>(
      aspi.Find(library, platform::kSendAspi32Command));
  if (supportInfo == nullptr || send == nullptr) return ApiError::NoAspi;

  DeviceTable& table = DeviceLayer().table;
  const std::uint8_t adapters = static_cast<std::uint8_t>(supportInfo() & 0xFF);
  for (std::uint8_t adapter = 0; adapter < adapters; ++adapter) {
    std::uint8_t targets = 0;
    if (!InquireAdapter(send, adapter, targets)) continue;
    for (std::uint8_t target = 0; target < targets; ++target) {
      for (std::uint8_t lun = 0; lun < kLunsProbed; ++lun) {
        if (!UnitPresent(send, adapter, target, lun)) continue;
        DeviceRecord unit{};
        unit.AspiHostAdapter = adapter;
        unit.AspiTarget = target;
        unit.AspiLun = lun;
        std::array<std::uint8_t, wire::kBridgeInfoSize> block{};
        if (protocol::ReadBridgeInfo(unit, block.data(), block.size(), kReadBridgeInfoMultiplier) !=
            protocol::CommandResult::Ok)
          continue;
        DecodeBridgeInfo(block.data(), unit);
        const std::uint32_t index = table.count;
        DeviceRecord& stored = table.Append();
        stored = unit;
        stored.Mutex = OpenDeviceMutex(index);
        if (stored.Mutex == 0) return ApiError::TooManyDevices;
      }
    }
  }
  return CountOrError::Found(table.count);
}

}  // namespace burnwell::bridge
