// The user database's groups.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace platform {

// Whether the user with `uid` belongs to the group named `group`, directly or
// through a group nested in it; absent when the user database can't tell.
std::optional<bool> userIsInGroup(std::uint32_t uid, const std::string& group);

}  // namespace platform
