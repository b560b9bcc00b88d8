// Prints the script the administrator prompt runs, so that the macOS
// workflow installs the rule with the product's own text.
#include <cstdio>

#include "VellCompanion/Companion.hpp"

int main() {
    return std::puts(VellCompanion::privilegedSetUpScript().c_str()) < 0 ? 1 : 0;
}
