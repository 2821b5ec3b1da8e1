#include "platform/linux/StationAccess.h"

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace burnwell::platform::station {

std::string Octal(mode_t mode) {
  char text[8];
  std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
  return text;
}

std::optional<gid_t> GroupId() {
  group entry{};
  group* found = nullptr;
  std::vector<char> buffer(16384);
  if (::getgrnam_r(kGroupName, &entry, buffer.data(), buffer.size(), &found) != 0 || !found)
    return std::nullopt;
  return found->gr_gid;
}

bool ProcessInGroup(gid_t gid) {
  if (::getegid() == gid) return true;
  const int count = ::getgroups(0, nullptr);
  if (count <= 0) return false;
  std::vector<gid_t> groups(static_cast<std::size_t>(count));
  const int got = ::getgroups(count, groups.data());
  return got > 0 && std::find(groups.begin(), groups.begin() + got, gid) != groups.begin() + got;
}

bool UserInGroup(uid_t uid, gid_t gid) {
  passwd account{};
  passwd* foundAccount = nullptr;
  std::vector<char> accountBuffer(16384);
  if (::getpwuid_r(uid, &account, accountBuffer.data(), accountBuffer.size(), &foundAccount) != 0 ||
      !foundAccount)
    return false;
  if (account.pw_gid == gid) return true;
  group entry{};
  group* found = nullptr;
  std::vector<char> buffer(16384);
  if (::getgrgid_r(gid, &entry, buffer.data(), buffer.size(), &found) != 0 || !found) return false;
  for (char** member = entry.gr_mem; member && *member; ++member)
    if (std::string(*member) == account.pw_name) return true;
  return false;
}

std::string LockFolderProblem(const struct stat& folder, uid_t self,
                              std::optional<gid_t> stationGroup) {
  if (!S_ISDIR(folder.st_mode)) return "is not a folder";
  if (folder.st_uid != 0 && folder.st_uid != self) {
    return "belongs to uid " + std::to_string(folder.st_uid) + ", not to root or uid " +
           std::to_string(self);
  }
  if (folder.st_mode & S_IWOTH)
    return "can be written by every user (mode " + Octal(folder.st_mode) + ")";
  if (folder.st_mode & S_IWGRP) {
    const bool sharedWithStation = folder.st_uid == 0 && stationGroup &&
                                   folder.st_gid == *stationGroup && (folder.st_mode & S_ISVTX);
    if (!sharedWithStation) {
      return "can be written by group " + std::to_string(folder.st_gid) + " (mode " +
             Octal(folder.st_mode) + "; only a root-owned folder of the group " + kGroupName +
             " with the sticky bit may be)";
    }
  }
  return {};
}

bool PeerPermitted(uid_t peerUid, gid_t peerGid, std::span<const gid_t> peerGroups, uid_t self,
                   std::optional<gid_t> stationGroup) {
  if (peerUid == 0 || peerUid == self) return true;
  if (!stationGroup) return false;
  return peerGid == *stationGroup ||
         std::find(peerGroups.begin(), peerGroups.end(), *stationGroup) != peerGroups.end();
}

}  // namespace burnwell::platform::station
