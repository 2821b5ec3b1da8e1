#include "device/BridgeInfo.h"

#include <span>

#include "common/MainCode.h"

namespace burnwell::device {

void DecodeBridgeInfo(const std::uint8_t block[kBridgeInfoSize], DeviceRecord& record) {
  const wire::BridgeInfo info = wire::DecodeBridgeInfo(
      std::span<const std::uint8_t, kBridgeInfoSize>(block, kBridgeInfoSize));
  record.VendorId = info.vendorId;
  record.ProductId = info.productId;
  record.CodeSize = MainCodeSizeFor(info.productId);
  record.FirmwareVersion = info.firmwareVersion;
  record.PairMatch = info.pairFirst == info.pairSecond ? 1 : 0;
  record.InfoPresent = (info.mode != 0 || info.flag != 0) ? 1 : 0;
  record.Byte11Set = info.flag != 0 ? 1 : 0;
  if (info.flag != 0 || info.mode == 2) {
    record.ModeFlags = kModeFlagsSpiOrLargeEeprom;
  } else if (info.mode == 1) {
    record.ModeFlags = kModeFlagsSmallEeprom;
  } else {
    record.ModeFlags = 0;
  }
}

}  // namespace burnwell::device
