#include "app/UpdateSequence.h"

#include <algorithm>
#include <cstdio>
#include <new>
#include <vector>

#include "common/MakerIds.h"
#include "bridge/DeviceApi.h"
#include "image/ConfigBlock.h"
#include "image/ImageBuffer.h"
#include "platform/WinNames.h"

namespace burnwell::app {
namespace {

constexpr int kDeviceIndex = 0;  // every flash call addresses the first bridge found
constexpr std::uint32_t kProgressMessage = 0;  // 0: the progress window is a progress bar
constexpr std::uint32_t kSerialBufferSize = 64;

// The configuration block at flash offset 0 (image/ConfigBlock.h names its bytes): the main
// code follows it, and the update stamps the marker and checksum bytes itself.
constexpr std::uint32_t kConfigBlockSize = image::CONFIG_BLOCK_SIZE;
constexpr std::uint32_t kMarkerOffset = image::offset::MARKER;
static_assert(image::offset::MARKER + 1 == image::offset::CHECKSUM);

// The maximum power the update sets.
constexpr std::uint8_t kSelfPoweredMaxPower = 50;   // 100 mA in units of 2 mA
constexpr std::uint8_t kBusPoweredMaxPower = 250;   // 500 mA

// An error identifier raised inside the sequence and caught at its end, with its formatted text.
struct RaisedError {
  MessageId id;
  std::string text;
};

std::uint32_t StyleOf(MessageId id) {
  // "Could not erase FLASH" and the verification failure are plain boxes.
  return (id == MessageId::EraseFailed || id == MessageId::VerifyFailed) ? MB_OK : MB_ICONHAND;
}

// Step 5: the power setting and the update flag on the bridge's own block.
void ApplyBlockEdits(std::vector<std::uint8_t>& flash, int selfPowered) {
  namespace at = image::offset;
  flash[at::FLAGS] |= image::FLAGS_UPDATED;
  if (selfPowered != 0) {
    flash[at::ATTRIBUTES] |= image::ATTRIBUTES_SELF_POWERED;
    flash[at::MAX_POWER] = kSelfPoweredMaxPower;
  } else {
    flash[at::ATTRIBUTES] &= static_cast<std::uint8_t>(~image::ATTRIBUTES_SELF_POWERED);
    flash[at::MAX_POWER] = kBusPoweredMaxPower;
  }
}

// Non-HEX files: the file's own block goes to the flash, carrying the bridge's serial number,
// which is read from the bridge's block through a scratch header.
void CarrySerialIntoFileBlock(std::vector<std::uint8_t>& flash, image::ImageBuffer& loaded) {
  image::ImageBuffer scratch(PID_A);
  scratch.CopyBlockIn(std::span<const std::uint8_t>(flash.data(), kConfigBlockSize));
  std::uint8_t serial[kSerialBufferSize] = {};
  scratch.GetSerial(serial);    // a blank or damaged chain leaves the buffer zero
  loaded.SetSerial(serial);     // count 64: a 130-byte descriptor
  loaded.CopyBlockOut(std::span<std::uint8_t>(flash.data(), kConfigBlockSize));
}

}  // namespace

std::string StringTableText(int id) {
  switch (id) {
#define BURNWELL_STRING_CASE(number, text) \
  case number:                             \
    return text;
    BURNWELL_STRING_TABLE(BURNWELL_STRING_CASE)
#undef BURNWELL_STRING_CASE
    default:
      return {};
  }
}

std::string FormatErrorText(MessageId id, std::uint32_t offset, int length) {
  const std::string format = StringTableText(Code(id));
  if (format.find('%') == std::string::npos) return format;
  char text[256];
  std::snprintf(text, sizeof text, format.c_str(), offset, length);
  return text;
}

UpdateOutcome RunUpdate(UpdateHost& host) {
  image::ImageBuffer& loaded = image::LoadedImage();
  const std::uint32_t codeLength = loaded.CodeLength();
  const std::uint32_t total = codeLength + kConfigBlockSize;
  platform::WindowMessages& messages = platform::Current<platform::WindowMessages>();
  const platform::WindowHandle progress = host.ProgressWindow();

  std::vector<std::uint8_t> flash;   // what goes to the flash, offset N = byte N
  std::vector<std::uint8_t> readBack;
  try {
    flash.assign(total, 0xFF);
    readBack.assign(total, 0xFF);
  } catch (const std::bad_alloc&) {
    // Reported like a raised error: message, device API closed, progress bar hidden.
    host.ShowMessage("Not enough memory for the update", MB_ICONHAND);
    bridge::BridgeClose();
    host.ShowProgress(false);
    return UpdateOutcome::Failed;
  }
  const std::uint16_t checksum = loaded.GetChecksum();
  std::uint8_t devices[32] = {};

  if (bridge::BridgeOpen(devices, sizeof devices) <= 0) {
    bridge::BridgeClose();
    host.ShowMessage(StringTableText(Code(MessageId::DeviceNotFound)), MB_ICONHAND);
    return UpdateOutcome::NoBridge;
  }

  host.ShowProgress(true);
  messages.Send(progress, PBM_SETPOS, 0, 0);
  messages.Send(progress, PBM_SETSTEP, 1, 0);
  messages.Send(progress, PBM_SETRANGE, 0, platform::MakeLParam(0, (2 * codeLength + 512) / 32));

  int failures = 0;
  try {
    host.SetStatusText("Read configuration data\n");
    if (bridge::BridgeReadFlash(kDeviceIndex, flash.data(), 0, kConfigBlockSize, progress,
                                kProgressMessage) != 0) {
      // Not retried and not counted.
      throw RaisedError{MessageId::ReadFailed,
                        FormatErrorText(MessageId::ReadFailed, 0, kConfigBlockSize)};
    }

    host.SetStatusText("Set configuration data\n");
    ApplyBlockEdits(flash, host.SelfPowered());
    const std::span<const std::uint8_t> code = loaded.Code();
    if (host.FileType() != 0) CarrySerialIntoFileBlock(flash, loaded);
    std::copy_n(code.begin(), std::min<std::size_t>(codeLength, code.size()),
                flash.begin() + kConfigBlockSize);

    host.SetStatusText("ICP start\n");
    // Counts a failed step; the sixth failure is raised, earlier ones start a new pass.
    auto countFailure = [&](MessageId id, std::string text) {
      if (++failures >= kMaxPasses) throw RaisedError{id, std::move(text)};
    };

    for (;;) {
      bridge::BridgeIcpSwitch(kDeviceIndex, 0);  // write protection off; result not examined

      host.SetStatusText("Erase main code\n");
      if (bridge::BridgeEraseFlash(kDeviceIndex, progress, kProgressMessage) != 0) {
        countFailure(MessageId::EraseFailed, FormatErrorText(MessageId::EraseFailed));
        continue;
      }

      // The image first with the marker bytes erased, so that a cut-off write never leaves a
      // valid marker on a partial image.
      std::fill_n(flash.begin() + kMarkerOffset, 3, std::uint8_t{0xFF});
      host.SetStatusText("Programming main code\n");
      if (bridge::BridgeWriteFlash(kDeviceIndex, flash.data(), 0, total, progress,
                                   kProgressMessage) != 0) {
        countFailure(MessageId::ProgramFailed,
                     FormatErrorText(MessageId::ProgramFailed, kConfigBlockSize,
                                     static_cast<int>(codeLength)));
        continue;
      }

      flash[kMarkerOffset] = image::VALID_MARKER;
      flash[kMarkerOffset + 1] = static_cast<std::uint8_t>(checksum >> 8);
      flash[kMarkerOffset + 2] = static_cast<std::uint8_t>(checksum);
      if (bridge::BridgeWriteFlash(kDeviceIndex, flash.data() + kMarkerOffset, kMarkerOffset, 3,
                                   progress, kProgressMessage) != 0) {
        countFailure(MessageId::ProgramFailed,
                     FormatErrorText(MessageId::ProgramFailed, kMarkerOffset, 3));
        continue;
      }

      host.SetStatusText("Read main code back\n");
      if (bridge::BridgeReadFlash(kDeviceIndex, readBack.data(), 0, total, progress,
                                  kProgressMessage) != 0) {
        countFailure(MessageId::ReadFailed,
                     FormatErrorText(MessageId::ReadFailed, 0, static_cast<int>(total)));
        continue;
      }

      host.SetStatusText("Compare main code\n");
      if (flash != readBack) {
        countFailure(MessageId::VerifyFailed, FormatErrorText(MessageId::VerifyFailed));
        continue;
      }

      bridge::BridgeIcpSwitch(kDeviceIndex, 1);  // write protection on again
      break;
    }
  } catch (const RaisedError& error) {
    host.ShowMessage(error.text, StyleOf(error.id));
    bridge::BridgeClose();
    host.ShowProgress(false);
    return UpdateOutcome::Failed;
  }

  host.ShowProgress(false);
  host.SetStatusText("ICP completed\n");
  bridge::BridgeClose();
  host.ShowMessage("Programming completed", MB_OK);
  host.ShowMessage("Please device power off and turn on.", MB_OK);
  return UpdateOutcome::Updated;
}

}  // namespace burnwell::app
