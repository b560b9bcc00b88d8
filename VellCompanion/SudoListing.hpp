// What `sudo -l` lists, read for the one question the companion asks of it.
#pragma once

#include <string_view>

namespace VellCompanion {

// Whether the listing that `sudo -n -l` printed (without a command) lets the
// user run both "/usr/bin/pmset -a disablesleep 0" and "… 1" as root without
// a password. `sudo -n -l CMD` can't tell: with sudo's default listpw=any one
// unrelated NOPASSWD rule lets it pass while pmset still asks for a password.
// Only what surely holds counts: anything the listing leaves in doubt (a
// pattern, a negation, a group of run-as users, garbled text) needs a password.
bool listingLetsPmsetRunWithoutPassword(std::string_view listing);

}  // namespace VellCompanion
