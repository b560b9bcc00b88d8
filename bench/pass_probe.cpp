// Runs N steady passes in the simulated Mac that VELL_SYSTEM_ROOT and HOME
// name, after one pass that warms up, so that a tracer can count what N
// passes cost: `strace -c -f pass_probe 0` against `pass_probe 1000`.
#include <cstdlib>
#include <string>

#include "tests/unit/VellDealerTesting.hpp"

int main(int argc, char** argv) {
    const long passes = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 0;
    VellDealer dealer(std::string("/Applications/Vell.app"));
    VellDealerTesting::reconcile(dealer);
    for (long i = 0; i < passes; ++i) {
        VellDealerTesting::reconcile(dealer);
    }
    return 0;
}
