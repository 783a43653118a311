#include "engine/device/configured_rules.h"

// The boards.conf reader fills this in; until then no board has rules.
BoardRules configuredRules(const DeviceInfo&)
{
    return {};
}
