#pragma once

#include "engine/config/boards_conf.h"
#include "mqtt/mqtt_client.h"
#include "mqtt/mqtt_payloads.h"

#include <QMap>
#include <QString>
#include <QStringList>

#include <variant>

// The service's settings: built-in defaults, then the INI file
// (/etc/kestrune/kestruned.conf unless --config names another), then the
// command line, which wins.
struct DaemonConfig {
    inline static const QString DefaultFile = QStringLiteral("/etc/kestrune/kestruned.conf");

    QString file;  // the file read, empty when the default was absent
    // The MQTT side: on when the file has a [broker] section or the command
    // line names a broker (--host); off, the boards are held for local use.
    bool mqtt = false;
    MqttClient::Options broker;
    MqttPayloads::Topics topics;
    bool discovery = true;
    QStringList serials;  // serials and port:PORT entries, or "*" for every board; empty: none
    QString serialsWarning;  // what the start says of a list that takes every board, or none
    QMap<QString, QByteArray> nodeNames;  // serial or port:PORT -> its node's name
    BoardsConf boards;    // boards.conf: a named board's node is its name
};

// Not to run: the text for stdout (help, version) with exit code 0, or an
// error for stderr with exit code 1.
struct ConfigExit {
    int code = 1;
    QString text;
};

// arguments as main() got them, the program name first. The password never
// appears in an error text.
std::variant<DaemonConfig, ConfigExit> loadDaemonConfig(const QStringList& arguments);
