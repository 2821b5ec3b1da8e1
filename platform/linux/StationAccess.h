// Who may use the places a station shares between its users: the lock folder and the relay
// socket. Root, the user the program runs as, and members of the group `burnwell` when the
// system has that group (the package creates it; the udev rule grants it the bridges' nodes).
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <optional>
#include <span>
#include <string>

namespace burnwell::platform::station {

inline constexpr const char kGroupName[] = "burnwell";

// A file mode's permission bits as four octal digits ("0755"), as people read them.
std::string Octal(mode_t mode);

// The group's id; nothing when the system has no such group.
std::optional<gid_t> GroupId();

// True when this process belongs to `gid` (its effective or a supplementary group).
bool ProcessInGroup(gid_t gid);

// True when the user `uid` belongs to `gid`: as the primary group of its account, or listed
// among the group's members.
bool UserInGroup(uid_t uid, gid_t gid);

// Why a folder must not hold lock files; empty when it may. `folder` is what fstat says of the
// folder, opened without following a link. Accepted: a folder owned by root or by `self`,
// writable by nobody else; or a root-owned folder shared with the station group (group
// writable, sticky, so that no member removes another's files).
std::string LockFolderProblem(const struct stat& folder, uid_t self,
                              std::optional<gid_t> stationGroup);

// Whether a client process may use the relay: root, the server's own user, or a member of the
// station group (by its primary or one of its supplementary groups).
bool PeerPermitted(uid_t peerUid, gid_t peerGid, std::span<const gid_t> peerGroups, uid_t self,
                   std::optional<gid_t> stationGroup);

}  // namespace burnwell::platform::station
