#pragma once

#include "engine/config/boards_conf.h"
#include "engine/device/board_link.h"

// Where a front end's BoardLink gets each board's rules from the boards.conf
// it read (BoardLink::setRulesSource): a device gets the rules of the entry
// it is, a device no entry is gets none (no interlock, not inverted), and a
// device two entries match is refused.
// The source keeps a copy of the boards.
BoardLink::RulesSource rulesFrom(const BoardsConf& conf);
