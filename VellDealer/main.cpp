// The agent's process: one VellDealer for the life of the process.
#include <memory>

#include "VellDealer/VellDealer.hpp"

int main() {
    auto dealer = std::make_unique<VellDealer>();
    dealer->run();
    dealer.reset();
    return 0;
}
