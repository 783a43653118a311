#pragma once

#include <QLoggingCategory>

// The daemon's log: its boards, their states and the broker.
Q_DECLARE_LOGGING_CATEGORY(lcMqtt)
