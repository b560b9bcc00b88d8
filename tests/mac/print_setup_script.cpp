// Prints the script the administrator prompt runs, so that the macOS
// workflow installs the rule with the product's own text.
#include <cstdio>

#include "VellCompanion/Companion.hpp"

int main() {
    return std::puts(VellCompanion::privilegedSetUpScript(VellCompanion::pmsetRule,
                                                          "/private/etc/sudoers.d/vell-pmset")
                         .c_str()) < 0
               ? 1
               : 0;
}
