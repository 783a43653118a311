#pragma once

#include "engine/outcome.h"
#include "engine/program/headless_schedule.h"

#include <QByteArray>
#include <QString>

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <variant>
#include <vector>

// The daemon's topics and the commands that arrive on them, as pure
// functions: no broker, no board. Everything here is safe on any bytes.
namespace MqttPayloads {

// A board's serial as it appears in topics and ids: every character outside
// [A-Za-z0-9_-] becomes '_'.
QByteArray topicName(const QString& serial);

// The topics of one daemon: base B, daemon id I, discovery prefix P.
struct Topics {
    QByteArray base;
    QByteArray id;
    QByteArray discoveryPrefix;

    QByteArray bridge(const QByteArray& leaf) const { return base + "/bridge/" + id + '/' + leaf; }
    QByteArray bridgeAvailability() const { return bridge("availability"); }
    // B/bridge/I/served/S: whether this daemon serves node S. Its Home
    // Assistant entities for the node depend on it, so that they follow
    // the daemon that serves the node.
    QByteArray served(const QByteArray& name) const { return bridge("served/" + name); }
    // B/S/leaf, with S a board's topic name.
    QByteArray board(const QByteArray& name, const QByteArray& leaf) const
    {
        return base + '/' + name + '/' + leaf;
    }
    QByteArray relay(const QByteArray& name, int relay) const
    {
        return board(name, "relay/" + QByteArray::number(relay));
    }
    // P/switch/kestrune_I/K_N/config, with K a board's key (its serial as in
    // topics, or port-BUS-PORTS): ids of two daemons never meet, and a
    // node's new name keeps it.
    QByteArray discovery(const QByteArray& key, int relay) const
    {
        return discoveryPrefix + "/switch/kestrune_" + topicName(QString::fromUtf8(id)) + '/' + key +
               '_' + QByteArray::number(relay) + "/config";
    }
    // P/button/kestrune_I/K_N/config: the button that pulses relay N.
    QByteArray buttonDiscovery(const QByteArray& key, int relay) const
    {
        return discoveryPrefix + "/button/kestrune_" + topicName(QString::fromUtf8(id)) + '/' + key + '_' +
               QByteArray::number(relay) + "/config";
    }
    // Where discovery lived before it carried the daemon's id.
    QByteArray oldDiscovery(const QByteArray& key, int relay) const
    {
        return discoveryPrefix + "/switch/kestrune_" + key + '_' + QByteArray::number(relay) + "/config";
    }
    // Everything under a node served: its commands, and whatever else is
    // sent there, so that it can be reported rather than silently missed.
    QByteArray nodeFilter(const QByteArray& name) const { return base + '/' + name + "/#"; }
    // Whether topic is one a daemon says of a node (B/S/availability, owner,
    // state, program or relay/N), which is heard on the node's topics but is
    // no command.
    bool isStatus(const QByteArray& topic) const
    {
        if (!topic.startsWith(base + '/'))
            return false;
        const QByteArray node = topic.mid(base.size() + 1);
        const QByteArray leaf = node.mid(node.indexOf('/') + 1);
        const QByteArray relay = leaf.startsWith("relay/") ? leaf.mid(6) : QByteArray();
        return node.contains('/') && (leaf == "availability" || leaf == "owner" || leaf == "state" || leaf == "program" ||
                                      (!relay.isEmpty() && std::all_of(relay.begin(), relay.end(), [](char c) { return c >= '0' && c <= '9'; })));
    }
    // What the daemon reads back before it serves a node, in this order: the
    // daemons' availability, the nodes' owners, its own node list and run
    // instance, and the probe that says all retained ones have come.
    std::vector<QByteArray> readBack() const
    {
        return {base + "/bridge/+/availability", base + "/+/owner", bridge("nodes"), bridge("instance"),
                bridge("probe")};
    }
};

// The largest program/set payload taken.
inline constexpr qsizetype MaxProgramPayload = 1024 * 1024;

enum class Switch { On, Off, Toggle, Pulse, Cycle };
enum class Control { Stop, Pause, Resume };

struct RelayCommand {
    int relay = 0;  // 1-8
    Switch action = Switch::Off;
    int ms = 0;  // Pulse, Cycle: the length; 0: the relay's own
};
struct StateCommand {
    std::uint8_t pattern = 0;  // bit n-1 is relay n
};
struct ProgramCommand {
    std::vector<QByteArray> rows;
    int tickMs = 10;
    bool repeat = false;
};
struct ControlCommand {
    Control control = Control::Stop;
};

struct Command {
    QByteArray board;  // the board's topic name
    std::variant<RelayCommand, StateCommand, ProgramCommand, ControlCommand> action;
};

// What a message on topic says, or why it says nothing this daemon can do
// (the reason is one line for a log, with the input quoted safely).
using Parsed = Outcome<Command>;
Parsed parse(const Topics& topics, const QByteArray& topic, const QByteArray& payload);

// Up to max characters of bytes for a log line: printable ASCII kept, other
// bytes as \xNN, and "..." when cut.
QString quoted(const QByteArray& bytes, qsizetype max = 60);

// The retained payloads the daemon publishes. A program's state carries the
// steps written since it began, how many late and the largest lateness.
QByteArray programState(const char* state, int row, int rows, const HeadlessSchedule::Figures& figures);
struct DeviceText {
    QString serial;
    QString description;
    QString manufacturer;
    QString name;                   // the board's name in boards.conf, if any
    std::array<QString, 8> relays;  // its relays' names there, if any
};
// The config of one relay of the board with this key, served as node name.
QByteArray discoveryConfig(const Topics& topics, const QByteArray& name, const QByteArray& key,
                           int relay, const DeviceText& device);

// The config of a button "Pulse RELAYNAME" that sends PULSE to that relay:
// the relay's switch config with a press instead of a state.
QByteArray pulseButtonConfig(const Topics& topics, const QByteArray& name, const QByteArray& key, int relay,
                             const QString& relayName, const DeviceText& device);

}  // namespace MqttPayloads
