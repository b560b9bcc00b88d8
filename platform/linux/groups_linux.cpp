// The simulated Mac's groups are root/etc/group, in the Mac's own format
// ("admin:*:80:root,ann"); the user's name is the password database's.
#include "platform/groups.hpp"

#include <pwd.h>

#include <sstream>

#include "platform/linux/file_io.hpp"
#include "platform/linux/system_root.hpp"

namespace platform {
namespace {

constexpr std::size_t largestGroupFile = 1 << 20;

bool listsMember(const std::string& members, const std::string& name) {
    std::istringstream list(members);
    std::string member;
    while (std::getline(list, member, ',')) {
        if (member == name) {
            return true;
        }
    }
    return false;
}

}  // namespace

std::optional<bool> userIsInGroup(std::uint32_t uid, const std::string& group) {
    const passwd* user = ::getpwuid(uid);
    const std::optional<std::string> groups =
        linux_host::readWholeFile(linux_host::rootedPath("/etc/group"), largestGroupFile);
    if (user == nullptr || user->pw_name == nullptr || !groups) {
        return std::nullopt;
    }
    std::istringstream lines(*groups);
    std::string line;
    while (std::getline(lines, line)) {
        // name:password:gid:members
        std::istringstream fields(line);
        std::string name, password, gid, members;
        if (std::getline(fields, name, ':') && name == group &&
            std::getline(fields, password, ':') && std::getline(fields, gid, ':')) {
            std::getline(fields, members);
            return listsMember(members, user->pw_name);
        }
    }
    return false;
}

}  // namespace platform
