// The agent's process: one VellDealer for the life of the process. Its run
// loop never returns; every way out ends the process from within.
#include <memory>

#include "VellDealer/VellDealer.hpp"

int main() {
    const auto dealer = std::make_unique<VellDealer>();
    dealer->run();
}
