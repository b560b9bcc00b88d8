// The thermal state of the machine, as the process sees it.
#pragma once

namespace platform {

enum class ThermalState : int { nominal = 0, fair = 1, serious = 2, critical = 3 };

ThermalState currentThermalState();

}  // namespace platform
