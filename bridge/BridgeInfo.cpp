#include "bridge/BridgeInfo.h"

#include "common/Bytes.h"
#include "common/MakerIds.h"

namespace burnwell::bridge {

using device::DeviceRecord;

void DecodeBridgeInfo(const std::uint8_t block[kBridgeInfoSize], DeviceRecord& record) {
  using namespace wire::bridge_info;
  record.VendorId = LoadBe16(block + VendorId);
  record.ProductId = LoadBe16(block + ProductId);
  // The large products share PID_A's high byte; only that byte is compared.
  record.CodeSize = block[ProductId] == (PID_A >> 8) ? kCodeSizeLarge : kCodeSizeSmall;
  record.FirmwareVersion = LoadBe32(block + FirmwareVersion);
  record.PairMatch =
      (block[PairFirst] == block[PairSecond] && block[PairFirst + 1] == block[PairSecond + 1]) ? 1
                                                                                               : 0;
  const std::uint8_t mode = block[Mode];
  const std::uint8_t flag = block[Flag];
  record.InfoPresent = (mode != 0 || flag != 0) ? 1 : 0;
  record.Byte11Set = flag != 0 ? 1 : 0;
  if (flag != 0 || mode == 2) {
    record.ModeFlags = kModeFlagsSpiOrLargeEeprom;
  } else if (mode == 1) {
    record.ModeFlags = kModeFlagsSmallEeprom;
  } else {
    record.ModeFlags = 0;
  }
}

}  // namespace burnwell::bridge
