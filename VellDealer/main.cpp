// The agent's process: one VellDealer for the life of the process. Its run
// loop never returns; every way out ends the process from within.
#include "VellDealer/VellDealer.hpp"

int main() {
    VellDealer dealer;
    dealer.run();
}
