#include "engine/config/rules_source.h"

BoardLink::RulesSource rulesFrom(const BoardsConf& conf)
{
    return [conf](const DeviceInfo& device) {
        if (const QString refused = conf.refusal(device); !refused.isEmpty())
            return Outcome<BoardRules>::failure(refused);
        const NamedBoard* board = conf.board(device);
        return Outcome<BoardRules>::success(board ? board->rules : BoardRules{});
    };
}
