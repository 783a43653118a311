#pragma once

#include "engine/device/board_rules.h"

#include <QString>

#include <cstdint>

// What a board's interlocks make of a relay pattern (bit n-1 is relay n, a
// set bit a relay on). Pure functions: the board's timeline writes and times.
namespace Interlock {

// The bits of each group, in the order the rules give them.
QList<std::uint8_t> groupMasks(const BoardRules& rules);

// Why pattern cannot be written (two relays of one group on together), in
// words for a person, naming every group it breaks; empty when it can.
QString conflict(const BoardRules& rules, std::uint8_t pattern);

// pattern with the relays in on switched on and, for each of them, the
// other relays of its group switched off: what a click, an "on" or a
// raised step bar asks for.
std::uint8_t switchOn(const BoardRules& rules, std::uint8_t pattern, std::uint8_t on);

}  // namespace Interlock
