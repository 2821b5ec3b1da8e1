// ASPI request blocks (SRBs) and the commands of the ASPI path. An SRB never leaves the
// process, so its pointers are native-size; the layout is the library's packed one, encoded
// byte by byte here (offsets for the running pointer size).
#pragma once

#include <cstddef>
#include <cstdint>

#include "wire/ScsiRequest.h"
#include "platform/Aspi.h"

namespace burnwell::device {

inline constexpr std::size_t kSrbAreaSize = 1024;
inline constexpr std::size_t kPointerSize = sizeof(void*);

// SRB commands, statuses and flags.
inline constexpr std::uint8_t SC_HA_INQUIRY = 0x00;
inline constexpr std::uint8_t SC_GET_DEV_TYPE = 0x01;
inline constexpr std::uint8_t SC_EXEC_SCSI_CMD = 0x02;
inline constexpr std::uint8_t SC_ABORT_SRB = 0x03;
inline constexpr std::uint8_t SS_PENDING = 0x00;
inline constexpr std::uint8_t SS_COMP = 0x01;
inline constexpr std::uint8_t SS_ABORTED = 0x02;
inline constexpr std::uint8_t SS_ERR = 0x04;
inline constexpr std::uint8_t SRB_DIR_IN = 0x08;
inline constexpr std::uint8_t SRB_DIR_OUT = 0x10;
inline constexpr std::uint8_t SRB_EVENT_NOTIFY = 0x40;

// Header common to every SRB.
namespace srb {
inline constexpr std::size_t Cmd = 0;
inline constexpr std::size_t Status = 1;
inline constexpr std::size_t HaId = 2;
inline constexpr std::size_t Flags = 3;
inline constexpr std::size_t HdrRsvd = 4;  // u32
}  // namespace srb

// SRB_ExecSCSICmd.
namespace exec {
inline constexpr std::size_t Target = 8;
inline constexpr std::size_t Lun = 9;
inline constexpr std::size_t BufLen = 12;                           // u32
inline constexpr std::size_t BufPointer = 16;                       // pointer
inline constexpr std::size_t SenseLen = BufPointer + kPointerSize;  // u8
inline constexpr std::size_t CdbLen = SenseLen + 1;                 // u8
inline constexpr std::size_t HaStat = SenseLen + 2;                 // u8
inline constexpr std::size_t TargStat = SenseLen + 3;               // u8
inline constexpr std::size_t PostProc = SenseLen + 4;               // pointer (the event)
inline constexpr std::size_t Rsvd2 = PostProc + kPointerSize;       // pointer
inline constexpr std::size_t Rsvd3 = Rsvd2 + kPointerSize;          // 16 bytes
inline constexpr std::size_t CdbByte = Rsvd3 + 16;                  // 16 bytes
inline constexpr std::size_t SenseArea = CdbByte + 16;              // 16 bytes
inline constexpr std::size_t Size = SenseArea + 16;
}  // namespace exec
static_assert(kPointerSize != 4 || (exec::CdbByte == 48 && exec::SenseArea == 64));
static_assert(kPointerSize != 8 || (exec::CdbByte == 60 && exec::SenseArea == 76));
static_assert(exec::Size <= kSrbAreaSize);

// SRB_Abort.
namespace abort {
inline constexpr std::size_t ToAbort = 8;  // pointer to the pending SRB
}  // namespace abort

// Sends SC_ABORT_SRB for a pending block; the library's answer is not examined.
void AspiAbort(platform::SendAspi32CommandFn send, std::uint8_t hostAdapter, void* pendingSrb);

// How long AspiExecute waits for the library's event: the command's own time-out plus a
// margin, so a library that never signals cannot hang the caller. A command still running
// then is aborted; one the library has not let go of a few seconds later is left to it (its
// block, data copy and event are never freed), so nothing it writes afterwards lands in freed
// memory or on a closed event.
std::uint32_t AspiWaitMs(std::uint32_t timeOutSeconds);

// Loads the ASPI library into the shared state when it is not loaded yet; 0 on failure.
platform::ModuleHandle LoadAspiLibrary();

}  // namespace burnwell::device
