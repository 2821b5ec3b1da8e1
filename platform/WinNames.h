// Windows constants that the portable layers use, spelled as Windows spells them. Where a
// Windows header has already defined one as a macro, that definition (same value) stands.
#pragma once

#include <cstdint>

#ifndef ERROR_NOT_SUPPORTED
inline constexpr std::uint32_t ERROR_NOT_SUPPORTED = 50;
#endif

// Progress-bar messages (commctrl.h): WM_USER + 1, + 2, + 4, + 5.
#ifndef PBM_SETRANGE
inline constexpr std::uint32_t PBM_SETRANGE = 0x0401;
#endif
#ifndef PBM_SETPOS
inline constexpr std::uint32_t PBM_SETPOS = 0x0402;
#endif
#ifndef PBM_STEPIT
inline constexpr std::uint32_t PBM_STEPIT = 0x0405;
#endif
#ifndef PBM_SETSTEP
inline constexpr std::uint32_t PBM_SETSTEP = 0x0404;
#endif

// Device I/O control codes.
#ifndef IOCTL_SCSI_PASS_THROUGH
inline constexpr std::uint32_t IOCTL_SCSI_PASS_THROUGH = 0x4D004;
#endif
#ifndef IOCTL_SCSI_PASS_THROUGH_DIRECT
inline constexpr std::uint32_t IOCTL_SCSI_PASS_THROUGH_DIRECT = 0x4D014;
#endif
#ifndef IOCTL_ATA_PASS_THROUGH
inline constexpr std::uint32_t IOCTL_ATA_PASS_THROUGH = 0x4D02C;
#endif
#ifndef IOCTL_SCSI_MINIPORT
inline constexpr std::uint32_t IOCTL_SCSI_MINIPORT = 0x4D008;
#endif
#ifndef SMART_RCV_DRIVE_DATA
inline constexpr std::uint32_t SMART_RCV_DRIVE_DATA = 0x7C088;
#endif
#ifndef IOCTL_DISK_GET_DRIVE_GEOMETRY
inline constexpr std::uint32_t IOCTL_DISK_GET_DRIVE_GEOMETRY = 0x70000;
#endif
#ifndef IOCTL_DISK_GET_DRIVE_LAYOUT
inline constexpr std::uint32_t IOCTL_DISK_GET_DRIVE_LAYOUT = 0x7400C;
#endif
#ifndef IOCTL_DISK_GET_DRIVE_GEOMETRY_EX
inline constexpr std::uint32_t IOCTL_DISK_GET_DRIVE_GEOMETRY_EX = 0x700A0;
#endif
#ifndef IOCTL_DISK_GET_DRIVE_LAYOUT_EX
inline constexpr std::uint32_t IOCTL_DISK_GET_DRIVE_LAYOUT_EX = 0x70050;
#endif

// Message-box styles and results (winuser.h).
#ifndef MB_OK
inline constexpr std::uint32_t MB_OK = 0x00000000;
#endif
#ifndef MB_OKCANCEL
inline constexpr std::uint32_t MB_OKCANCEL = 0x00000001;
#endif
#ifndef MB_ICONHAND
inline constexpr std::uint32_t MB_ICONHAND = 0x00000010;
#endif
#ifndef MB_ICONEXCLAMATION
inline constexpr std::uint32_t MB_ICONEXCLAMATION = 0x00000030;
#endif
#ifndef IDOK
inline constexpr int IDOK = 1;
#endif
#ifndef IDCANCEL
inline constexpr int IDCANCEL = 2;
#endif
