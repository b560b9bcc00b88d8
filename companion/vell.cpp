// vell: the companion app for a shell. The command line itself lives in the
// companion model, where the unit tests reach it.
#include <iostream>
#include <string>
#include <vector>

#include "VellCompanion/CommandLine.hpp"
#include "VellShared/Preferences.hpp"

int main(int argc, char** argv) {
    VellPreferences::migrateLegacyDomainIfNeeded();
    return VellCompanion::runCommandLine(std::vector<std::string>(argv + 1, argv + argc), std::cout,
                                         std::cerr);
}
