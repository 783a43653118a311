#pragma once

#include "engine/device/board_rules.h"
#include "engine/device/usb_library.h"

// The rules boards.conf gives this board: what every front end hands its
// BoardLink as the rules source (BoardLink::setRulesSource; the window
// through TForm1, the daemon through RelayBridge::setRulesSource), so a
// board opened anywhere obeys the same rules. A board the file does not
// list, or no file, gives the defaults: no interlock, not inverted. A front
// end that reads the file itself (from a path it was given) may pass a
// source of its own instead: a function from the device to its entry's rules.
BoardRules configuredRules(const DeviceInfo& device);
