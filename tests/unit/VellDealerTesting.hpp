// Reaches the agent's private pass and state for tests and benchmarks.
#pragma once

#include "VellDealer/VellDealer.hpp"

struct VellDealerTesting {
    static void reconcile(VellDealer& dealer) { dealer.reconcile(); }
    static void stop(VellDealer& dealer) { dealer.stop(); }
    static bool appIsInstalled(const VellDealer& dealer, const std::optional<std::string>& path) {
        return dealer.appIsInstalled(path);
    }
    static std::int64_t& missingChecks(VellDealer& dealer) { return dealer.missingChecks; }
    static std::optional<std::string> launchAppPath() { return VellDealer().launchAppPath; }
};
