// Group membership through the directory service, which also follows nested
// groups: getgroups and getgrouplist are capped at a fixed number of groups.
#include "platform/groups.hpp"

#include <grp.h>
#include <membership.h>

namespace platform {

std::optional<bool> userIsInGroup(std::uint32_t uid, const std::string& group) {
    const struct group* entry = ::getgrnam(group.c_str());
    if (entry == nullptr) {
        return std::nullopt;
    }
    uuid_t userUuid;
    uuid_t groupUuid;
    int isMember = 0;
    if (::mbr_uid_to_uuid(uid, userUuid) != 0 || ::mbr_gid_to_uuid(entry->gr_gid, groupUuid) != 0 ||
        ::mbr_check_membership(userUuid, groupUuid, &isMember) != 0) {
        return std::nullopt;
    }
    return isMember != 0;
}

}  // namespace platform
