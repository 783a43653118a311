#include "mqtt/daemon_log.h"

Q_LOGGING_CATEGORY(lcMqtt, "kestrune.mqtt", QtInfoMsg)
