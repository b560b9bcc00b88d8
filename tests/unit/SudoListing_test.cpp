// What `sudo -k -n -l` lists decides whether pmset runs without a password.
#include "VellCompanion/SudoListing.hpp"

#include <string>

#include "tests/unit/FakeTest.hpp"

using VellCompanion::listingLetsPmsetRunWithoutPassword;

namespace {

const std::string header = "User ann may run the following commands on mac:\n";
// Where an entry may ask for a password, it takes back an earlier one that surely did not.
const std::string afterAll = header + "    (root) NOPASSWD: ALL\n    (root) ";
const std::string both = "/usr/bin/pmset -a disablesleep 0, /usr/bin/pmset -a disablesleep 1";

TEST(SudoListing, OnlyAnEntryThatSurelyLetsBothCommandsRunAsRootWithoutAPasswordCounts) {
    // clang-format off
    const struct { const char* name; std::string listing; bool passes; } rows[] = {
        {"the installed rule, wrapped at 80 columns", "Matching Defaults entries for ann on mac:\n    env_reset, env_keep+=\"PATH\n    HOME\"\n\n" + header + "    (ALL) ALL\n    (root) NOPASSWD: /usr/bin/pmset -a disablesleep 0, /usr/bin/pmset -a\n        disablesleep 1\n", true},
        {"NOPASSWD: ALL as anyone", header + "    (ALL : ALL) NOPASSWD: ALL\n", true},
        {"pmset with any arguments, after options and other tags", header + "    (root) TIMEOUT=5m SETENV: NOPASSWD: /usr/bin/true, /usr/bin/pmset\n", true},
        {"CRLF line ends", "User ann may run the following commands on mac:\r\n    (#0)\tNOPASSWD: " + both + "\r\n", true},
        {"an unrelated NOPASSWD rule", header + "    (ALL) ALL\n    (root) NOPASSWD: /Library/VPN/helper\n", false},
        {"only one of the two", header + "    (root) NOPASSWD: /usr/bin/pmset -a disablesleep 1\n", false},
        {"PASSWD: takes NOPASSWD back", header + "    (root) NOPASSWD: /usr/bin/pmset -a disablesleep 0, PASSWD: /usr/bin/pmset -a disablesleep 1\n", false},
        {"a later entry asks for a password", header + "    (root) NOPASSWD: " + both + "\n    (ALL) /usr/bin/pmset\n", false},
        {"a later negation", header + "    (ALL) NOPASSWD: ALL, !/usr/bin/pmset\n", false},
        {"a later pattern that may ask", header + "    (root) NOPASSWD: ALL\n    (root) /usr/bin/*\n", false},
        {"as another user", header + "    (ann) NOPASSWD: ALL\n", false},
        {"as the user, with a group", header + "    (: wheel) NOPASSWD: ALL\n", false},
        {"root taken out of the run-as users", header + "    (ALL, !root) NOPASSWD: ALL\n", false},
        {"argument patterns", header + "    (root) NOPASSWD: ALL, /usr/bin/pmset -a disablesleep *\n", false},
        {"pmset by another path", afterAll + "/usr/local/bin/pmset\n", false},
        {"a folder", afterAll + "/usr/bin/\n", false},
        {"a digest before the path", afterAll + "sha224:0d1e /usr/bin/pmset\n", false},
        {"sudoedit, which is no pmset", afterAll + "sudoedit /etc/hosts\n", true},
        {"another program", afterAll + "/bin/ls\n", true},
        {"another program taken out", afterAll + "!/bin/ls\n", true},
        {"a garbled entry, skipped", header + "    (root) NOPASSWD: ALL\n    (root\n", true},
        {"as a group that may hold root", header + "    (root) NOPASSWD: ALL\n    (%wheel) /usr/bin/pmset\n", false},
        {"as a netgroup that may hold root", header + "    (root) NOPASSWD: ALL\n    (+ops) /usr/bin/pmset\n", false},
        {"an escaped comma separates nothing", header + "    (root) NOPASSWD: /bin/echo a\\, /usr/bin/pmset\n", false},
        {"no arguments allowed", header + "    (root) NOPASSWD: /usr/bin/pmset \"\"\n", false},
        {"a rule outside the privileges", "Runas and Command-specific defaults for ann:\n    (root) NOPASSWD: ALL\n", false},
        {"a wrapped line with no entry before it", header + "        (root) NOPASSWD: ALL\n", false},
        {"a wrapped line after a blank one", header + "    (root) NOPASSWD: /usr/bin/pmset -a disablesleep 0, /usr/bin/pmset -a\n\n        disablesleep 1\n", false},
        {"nothing", "", false},
        {"garbled", header + "    (root NOPASSWD: ALL\n    (\n    )\n" + std::string("\0\xff(root) NOPASSWD: ALL", 22), false},
    };
    // clang-format on
    ASSERT_TRUE(endsInAChild([&] {
        for (const auto& row : rows) {
            listingLetsPmsetRunWithoutPassword(row.listing);
        }
    })) << "reading a listing never ended";
    for (const auto& row : rows) {
        EXPECT_EQ(listingLetsPmsetRunWithoutPassword(row.listing), row.passes) << row.name;
    }
}

}  // namespace
