#pragma once

#include "engine/device/board_rules.h"
#include "engine/device/usb_library.h"

// The rules boards.conf gives this board: what every front end hands its
// BoardLink as the rules source (BoardLink::setRulesSource), so a board
// opened anywhere obeys the same rules. A board the file does not list, or
// no file, gives the defaults: no interlock, not inverted.
BoardRules configuredRules(const DeviceInfo& device);
