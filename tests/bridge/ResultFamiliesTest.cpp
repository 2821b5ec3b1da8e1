// The result families on the update's call path are distinct types: none turns into a number
// or into another family without a cast, so a step code cannot be compared with a device-API
// code or a flash result by mistake. Checked when this file compiles.
#include <type_traits>

#include "app/UpdateSequence.h"
#include "bridge/ApiResult.h"
#include "device/DeviceRecord.h"
#include "image/FirmwareReaders.h"
#include "protocol/FlashChipTable.h"
#include "protocol/FlashOperations.h"
#include "protocol/VendorCommands.h"

namespace burnwell {
namespace {

template <class A, class B>
constexpr bool kMixes = std::is_convertible_v<A, B> || std::is_convertible_v<B, A> ||
                        std::is_constructible_v<A, B> || std::is_constructible_v<B, A>;

static_assert(!kMixes<protocol::StepCode, int>);
static_assert(!kMixes<protocol::FlashResult, int>);
static_assert(!kMixes<protocol::CommandResult, int>);
static_assert(!kMixes<bridge::ApiError, int>);
static_assert(!kMixes<bridge::CountOrError, int>);
static_assert(!kMixes<device::DeviceError, std::uint32_t>);
static_assert(!kMixes<image::LoadStatus, int>);
static_assert(!kMixes<app::MessageId, int>);

static_assert(!kMixes<protocol::StepCode, protocol::FlashResult>);
static_assert(!kMixes<protocol::StepCode, protocol::CommandResult>);
static_assert(!kMixes<protocol::StepCode, bridge::CountOrError>);
static_assert(!kMixes<protocol::FlashResult, bridge::CountOrError>);
static_assert(!kMixes<protocol::CommandResult, bridge::CountOrError>);
static_assert(!kMixes<image::LoadStatus, protocol::FlashResult>);

// An error is a device-API result; a count becomes one only by name.
static_assert(std::is_convertible_v<bridge::ApiError, bridge::CountOrError>);
static_assert(!std::is_convertible_v<bridge::CountOrError, bridge::ApiError>);

// Where two families share a number on purpose: the image reader's out-of-memory status is the
// device layer's last-error code; a chip that does not answer and a flash not identified print
// as the same result code; a device missing from the table is handed from the serial-flash
// routines to the operations' results.
static_assert(static_cast<std::uint32_t>(image::Code(image::LoadStatus::OutOfMemory)) ==
              static_cast<std::uint32_t>(device::DeviceError::OutOfMemory));
static_assert(Code(protocol::FlashResult::FlashNotIdentified) == Code(protocol::StepCode::NoChip));
static_assert(Code(protocol::FlashResult::DeviceNotInTable) ==
              Code(protocol::StepCode::DeviceNotInTable));

}  // namespace
}  // namespace burnwell
