#include "engine/config/rules_source.h"

BoardLink::RulesSource rulesFrom(const BoardsConf& conf)
{
    return [conf](const DeviceInfo& device) {
        const NamedBoard* board = conf.board(device);
        return board ? board->rules : BoardRules{};
    };
}
