#include "platform/thermal_state.hpp"

#import <Foundation/Foundation.h>

namespace platform {

ThermalState currentThermalState() {
    @autoreleasepool {
        switch ([[NSProcessInfo processInfo] thermalState]) {
            case NSProcessInfoThermalStateNominal:
                return ThermalState::nominal;
            case NSProcessInfoThermalStateFair:
                return ThermalState::fair;
            case NSProcessInfoThermalStateSerious:
                return ThermalState::serious;
            case NSProcessInfoThermalStateCritical:
                return ThermalState::critical;
        }
        return ThermalState::nominal;
    }
}

}  // namespace platform
