// Reaches the agent's private pass for tests.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "VellDealer/VellDealer.hpp"

struct VellDealerTesting {
    static void reconcile(VellDealer& dealer) { dealer.reconcile(); }
    static bool appIsInstalled(const VellDealer& dealer, const std::optional<std::string>& path) {
        return dealer.appIsInstalled(path);
    }
    static std::int64_t missingChecks(const VellDealer& dealer) { return dealer.missingChecks; }
    static void setMissingChecks(VellDealer& dealer, std::int64_t count) {
        dealer.missingChecks = count;
    }
    static const std::optional<std::string>& launchAppPath(const VellDealer& dealer) {
        return dealer.launchAppPath;
    }
    static bool hasPowerSource(const VellDealer& dealer) { return dealer.powerSource != nullptr; }
};
