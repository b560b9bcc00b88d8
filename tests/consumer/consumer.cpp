#include "VellShared/PowerTool.hpp"

int main() {
    return PowerTool::sleepDisabled().has_value() ? 0 : 1;
}
