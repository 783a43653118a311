#include "mqtt/relay_bridge.h"

#include "engine/device/device_entries.h"
#include "engine/device/relay_board.h"

#include <QDeadlineTimer>
#include <QJsonArray>
#include <QJsonDocument>

using namespace MqttPayloads;

namespace {
template <class... F> struct Overloaded : F... {
    using F::operator()...;
};
template <class... F> Overloaded(F...) -> Overloaded<F...>;

// How a board is served without a name in boards.conf: its node's name in
// topics, and the key its Home Assistant ids carry (the serial, or
// port-BUS-PORTS where the port tells it apart), which a new node name
// leaves alone.
QByteArray portKeyOf(const DeviceInfo& device)
{
    return topicName(QStringLiteral("port-") + QString(device.port).replace(QLatin1Char('.'), QLatin1Char('_')));
}

BoardPool::Naming identify(const DeviceInfo& device, const QMap<QString, QByteArray>& nodeNames)
{
    const QByteArray portKey = portKeyOf(device);
    const std::optional<QString> entry = DeviceEntries::match(device, nodeNames.keys());
    if (device.serial.isEmpty() || (entry && *entry == DeviceEntries::portEntry(device)))
        return {entry ? nodeNames.value(*entry) : portKey, portKey};
    return {entry ? nodeNames.value(*entry) : topicName(device.serial), topicName(device.serial)};
}

QByteArray nodeList(const QList<QByteArray>& names)
{
    QJsonArray list;
    for (const QByteArray& name : names)
        list.append(QString::fromUtf8(name));
    return QJsonDocument(list).toJson(QJsonDocument::Compact);
}
}  // namespace

RelayBridge::RelayBridge(UsbLibrary& library, Settings settings, Publish publish, QObject* parent)
    : QObject(parent),
      settings_(std::move(settings)),
      publish_(std::move(publish)),
      states_(settings_.stateDir),
      pool_(library, BoardPool::Settings{settings_.serials, settings_.boards, settings_.scanMs},
            [this](const DeviceInfo& device, const NamedBoard* named) { return nameOf(device, named); },
            [this](const QByteArray& name) { return claimOf(name); }),
      clock_([] { return QDeadlineTimer::current().deadline(); })
{
    connect(&pool_, &BoardPool::seen, this, &RelayBridge::seen);
    connect(&pool_, &BoardPool::taken, this, [this](const QByteArray& name) { taken(*pool_.entry(name)); });
    connect(&pool_, &BoardPool::gone, this, [this](const QByteArray& name) { letGo(*pool_.entry(name), QStringLiteral("is gone")); });
    connect(&pool_, &BoardPool::servedElsewhere, this, [this](const QByteArray& name, const DeviceInfo& device, const QByteArray& owner) {
        refuse(*pool_.entry(name), device, owner);
    });
    connect(&pool_, &BoardPool::notTaken, this, [this](const QByteArray& name, const DeviceInfo& device, const QString& why) {
        leftAlone(*pool_.entry(name), device, why, false);
    });
    connect(&pool_, &BoardPool::nameTaken, this, [this](const QByteArray& name, const DeviceInfo& device) {
        leftAlone(*pool_.entry(name), device, QStringLiteral("another board has the name %1 on the bus").arg(QString::fromUtf8(name)), true);
    });
    connect(&pool_, &BoardPool::cloneLeftAlone, this, [this](const QByteArray& name, const DeviceInfo& device, const QString& boundTo) {
        leftAlone(*pool_.entry(name), device,
                  QStringLiteral("node %1 is the board at port %2, and a board of the same serial number is not put in its place")
                      .arg(QString::fromUtf8(settings_.topics.base + '/' + name), boundTo),
                  true);
    });
}

RelayBridge::~RelayBridge() = default;

void RelayBridge::start()
{
    pool_.start();
}

void RelayBridge::markersLearned()
{
    connected_ = true;
    connectedAt_ = clock_();
    if (pool_.enabled())
        return publishAll();
    pool_.enable();
    publishStale();
    publishNodes();  // an earlier run's list goes now, taken boards or none
}

void RelayBridge::brokerLost()
{
    connected_ = false;
    returning_ = servedBy_;
    freedAt_.clear();  // a node is free only for as long as this daemon watched it be
}

void RelayBridge::scan()
{
    pool_.scan();
}

// boards.conf names a board over [boards] node.X; the key stays.
BoardPool::Naming RelayBridge::nameOf(const DeviceInfo& device, const NamedBoard* named) const
{
    BoardPool::Naming naming = identify(device, settings_.nodeNames);
    if (named)
        naming.name = named->name.toUtf8();
    if (named && named->serial.isEmpty() && !named->port.isEmpty())
        naming.key = portKeyOf(device);  // clones told apart by their ports stay apart in Home Assistant
    return naming;
}

void RelayBridge::seen(const QByteArray& name, const DeviceInfo& device)
{
    if (device.serial.isEmpty())
        qCInfo(lcMqtt).noquote() << "the board at port" << device.port << "has no serial number: serving it as"
                                 << QString::fromUtf8(settings_.topics.base + '/' + name);
    const QByteArray byNodeNames = identify(device, settings_.nodeNames).name;
    if (const Entry* board = pool_.entry(name); board && board->named && byNodeNames != identify(device, {}).name) {
        const QString port = DeviceEntries::portEntry(device);
        qCInfo(lcMqtt).noquote() << "boards.conf names the board at port" << device.port << QString::fromUtf8(name)
                                 << "- its node, not" << QString::fromUtf8(byNodeNames) << "of [boards] node."
                                        + (settings_.nodeNames.contains(port) ? port : device.serial);
    }
}

QByteArray RelayBridge::ownerElsewhere(const QByteArray& name) const
{
    const auto it = owners_.find(name);
    return it != owners_.end() && it->second != settings_.topics.id && onlineDaemons_.count(it->second)
               ? it->second
               : QByteArray();
}

// A node is taken only while this daemon is connected and nobody else
// serves it; one freed by its daemon's last will only once it has stayed
// free for FreedWaitMs (a broker that stops sends every client's will), and
// one another daemon served before this daemon's (re)connect not for
// ReturnWaitMs after it, unless that daemon comes back and clears its claim.
BoardPool::Claim RelayBridge::claimOf(const QByteArray& name) const
{
    if (const QByteArray owner = ownerElsewhere(name); !owner.isEmpty())
        return {owner};
    const qint64 now = clock_();
    const auto freed = freedAt_.find(name);
    return {{}, !connected_ || (freed != freedAt_.end() && now < freed->second + FreedWaitMs) ||
                    (returning_.count(name) && now < connectedAt_ + ReturnWaitMs)};
}

// A daemon's offline heard once the markers are known is news: its last
// will, or its goodbye. (A will is retained, like what was kept before.)
void RelayBridge::daemonSaid(const QByteArray& id, const QByteArray& availability)
{
    if (availability != "online") {
        if (connected_ && onlineDaemons_.count(id))
            for (const auto& [name, owner] : owners_)
                if (owner == id)
                    freedAt_[name] = clock_();
        onlineDaemons_.erase(id);
        return;
    }
    onlineDaemons_.insert(id);
}

void RelayBridge::refuse(Entry& board, const DeviceInfo& info, const QByteArray& owner)
{
    const QString why = QStringLiteral("daemon %1").arg(QString::fromUtf8(owner));
    if (board.refusal != why)
        qCCritical(lcMqtt).noquote()
            << "not serving board" << board.label() << "at port"
            << info.port + QLatin1Char(':') << "node" << QString::fromUtf8(settings_.topics.base + '/' + board.name)
            << "belongs to" << why << "which is online; give this board a node name of its own in [boards] (node."
                + (info.serial.isEmpty() ? DeviceEntries::portEntry(info) : printableText(info.serial))
                + " = NAME) or use another base topic";
    board.refusal = why;
}

void RelayBridge::leftAlone(Entry& board, const DeviceInfo& info, const QString& why, bool nameTaken)
{
    if (board.refusal != why) {
        if (nameTaken)
            qCWarning(lcMqtt).noquote() << "left board" << printableText(info.serial) << "at port" << info.port << "alone:" << why;
        else
            qCWarning(lcMqtt).noquote() << "cannot take board" << printableText(info.serial) << "at port" << info.port << "now:" << why;
    }
    board.refusal = why;
}

void RelayBridge::taken(Entry& board)
{
    HeldBoard& held = *board.held;
    const QByteArray name = board.name;
    published_[name].reset();
    connect(&held, &HeldBoard::changed, this, [this, name] {
        Entry& b = *pool_.entry(name);
        publishRelays(b, false);
        states_.wrote(name, b.label(), b.held->steady());
    });
    connect(&held, &HeldBoard::programChanged, this, [this, name] { publishProgram(*pool_.entry(name)); });
    connect(&held, &HeldBoard::problem, this, [](const QString& what) { qCWarning(lcMqtt).noquote() << what; });
    const DeviceInfo& info = held.info();
    qCInfo(lcMqtt).noquote() << "took board" << board.label() << QLatin1Char('(') + printableText(info.description)
                             << "by" << printableText(info.manufacturer) + QLatin1Char(')') << "at port" << info.port
                             << "as" << QString::fromUtf8(settings_.topics.base + '/' + board.name);
    servedBy_.erase(name), returning_.erase(name), freedAt_.erase(name);
    claim(board.name);
    subscribe_(settings_.topics.nodeFilter(board.name), true);
    if (!board.known && !board.serial.isEmpty()) {  // the ids of earlier versions, and of a key by serial number
        const QByteArray bySerial = topicName(board.serial);
        const auto& entries = pool_.entries();
        const bool keyUsed = std::any_of(entries.begin(), entries.end(), [&](const auto& e) { return e.second->key == bySerial; });
        for (int relay = 1; relay <= 8; ++relay) {
            publish_(settings_.topics.oldDiscovery(bySerial, relay), {});
            if (board.key != bySerial && !keyUsed && settings_.discovery)
                publish_(settings_.topics.discovery(bySerial, relay), {}), publish_(settings_.topics.buttonDiscovery(bySerial, relay), {});
        }
    }
    board.known = true;
    startUp(board);
    publishDiscovery(board);
    publishBoard(board);
    publishNodes();
}

void RelayBridge::letGo(Entry& board, const QString& why, bool yielded)
{
    if (yielded && board.held)
        board.held->finishPulses();  // the board stays: its relays end as they were asked to
    states_.keepDue(board.name);
    pool_.release(board);
    published_[board.name].reset();
    subscribe_(settings_.topics.nodeFilter(board.name), false);
    if (yielded) {
        qCCritical(lcMqtt).noquote() << "let go of board" << board.label() << "at port"
                                     << board.info.port + QLatin1Char(':') << why;
        publish_(settings_.topics.served(board.name), QByteArrayLiteral("offline"));
    } else {
        qCWarning(lcMqtt).noquote() << "board" << board.label() << "at port" << board.info.port << why
                                    << "- offline until it is back";
        publishBoard(board);
        if (owners_[board.name] == settings_.topics.id) {
            owners_.erase(board.name);
            publish_(settings_.topics.board(board.name, "owner"), {});
        }
    }
    publishNodes();
}

void RelayBridge::publishNodes()
{
    const QByteArray list = nodeList(onlineBoards());
    if (publishedNodes_ != list)
        publish_(settings_.topics.bridge("nodes"), list);
    publishedNodes_ = list;
}

// Nodes an earlier run served (its node list, its markers) that no daemon
// serves now go offline.
void RelayBridge::publishStale()
{
    std::set<QByteArray> stale;
    for (const QJsonValue& name : QJsonDocument::fromJson(earlierNodes_).array())
        stale.insert(name.toString().toUtf8());
    for (const auto& [name, owner] : owners_)
        if (owner == settings_.topics.id)
            stale.insert(name);
    for (const QByteArray& name : stale) {
        const Entry* board = pool_.entry(name);
        if (name.isEmpty() || name.contains('/') || name.contains('+') || name.contains('#') ||
            (board && board->online()) || !ownerElsewhere(name).isEmpty())
            continue;
        qCInfo(lcMqtt).noquote() << "node" << QString::fromUtf8(settings_.topics.base + '/' + name)
                                 << "was left online by an earlier run: offline now";
        publish_(settings_.topics.board(name, "availability"), QByteArrayLiteral("offline"));
        if (owners_.count(name)) {
            owners_.erase(name);
            publish_(settings_.topics.board(name, "owner"), {});
        }
    }
}

QList<QByteArray> RelayBridge::onlineBoards() const
{
    QList<QByteArray> names;
    for (const auto& [name, board] : pool_.entries())
        if (board->online())
            names.append(name);
    return names;
}

bool RelayBridge::readMarker(const QByteArray& topic, const QByteArray& payload, bool retained)
{
    const QByteArray prefix = settings_.topics.base + '/';
    const QList<QByteArray> parts = topic.startsWith(prefix) ? topic.mid(prefix.size()).split('/') : QList<QByteArray>{};
    if (parts.size() == 3 && parts[0] == "bridge" && parts[2] == "availability") {
        daemonSaid(parts[1], payload);
    } else if (topic == settings_.topics.bridge("nodes")) {
        if (!pool_.enabled())
            earlierNodes_ = payload;
    } else if (parts.size() == 2 && parts[1] == "owner" && !parts[0].isEmpty()) {
        ownerSaid(parts[0], payload, retained);
    } else {
        return false;
    }
    return true;
}

// Another daemon's claim on a node held here: the smaller id keeps it. A
// retained claim of a daemon that is not online is stale, and answered.
void RelayBridge::ownerSaid(const QByteArray& name, const QByteArray& owner, bool retained)
{
    if (owner.isEmpty()) {
        if (connected_)  // news, not what was kept: let go of on purpose, free at once
            servedBy_.erase(name), returning_.erase(name), freedAt_.erase(name);
        owners_.erase(name);
        return;
    }
    owners_[name] = owner;
    if (owner != settings_.topics.id && onlineDaemons_.count(owner))
        servedBy_[name] = owner;
    Entry* board = pool_.entry(name);
    if (!board || !board->online() || owner == settings_.topics.id)
        return;
    if (owner < settings_.topics.id && (!retained || onlineDaemons_.count(owner))) {
        board->refusal = QStringLiteral("daemon %1").arg(QString::fromUtf8(owner));
        return letGo(*board, QStringLiteral("daemon %1 serves node %2 too, and the smaller id keeps it; give this "
                                            "board a node name of its own in [boards] or use another base topic")
                                 .arg(QString::fromUtf8(owner), QString::fromUtf8(settings_.topics.base + '/' + name)),
                     true);
    }
    claim(name);
}

void RelayBridge::claim(const QByteArray& name)
{
    owners_[name] = settings_.topics.id;
    publish_(settings_.topics.board(name, "owner"), settings_.topics.id);
}

void RelayBridge::handleMessage(const QByteArray& topic, const QByteArray& payload, bool retained)
{
    if (readMarker(topic, payload, retained) || settings_.topics.isStatus(topic))
        return;
    const auto ignore = [&](const QString& why) {
        qCWarning(lcMqtt).noquote() << "ignored a message on" << quoted(topic, 200) + QLatin1Char(':')
                                    << why;
    };
    if (retained)
        return ignore(QStringLiteral("it is retained, and commands count only as they are sent"));
    Parsed parsed = parse(settings_.topics, topic, payload);
    if (!parsed.value)
        return ignore(parsed.error);
    Entry* board = pool_.entry(parsed.value->board);
    if (!board || !board->online())
        return ignore(QStringLiteral("this daemon holds no board %1")
                          .arg(quoted(parsed.value->board)));
    apply(*board, *parsed.value);
}

void RelayBridge::apply(Entry& board, const Command& command)
{
    HeldBoard& held = *board.held;
    const QString error = std::visit(
        Overloaded{
            [&](const RelayCommand& c) {
                switch (c.action) {
                case Switch::Pulse: return held.pulse(c.relay, false, c.ms);
                case Switch::Cycle: return held.pulse(c.relay, true, c.ms);
                case Switch::Toggle: return held.toggleRelay(c.relay);
                default: return held.setRelay(c.relay, c.action == Switch::On);
                }
            },
            [&](const StateCommand& c) { return held.setPattern(c.pattern); },
            [&](const ProgramCommand& c) { return held.play(c.rows, c.tickMs, c.repeat); },
            [&](const ControlCommand& c) {
                if (c.control == Control::Stop)
                    held.stop();
                else if (c.control == Control::Pause)
                    held.pause();
                else
                    held.resume();
                return QString();
            },
        },
        command.action);
    if (!error.isEmpty())
        qCWarning(lcMqtt).noquote() << error;
}

void RelayBridge::startUp(Entry& board)
{
    const NamedBoard::OnStart mode = board.named ? board.named->onStart : NamedBoard::OnStart::Keep;
    const std::optional<std::uint8_t> pattern = states_.startPattern(board.name, board.label(), mode);
    if (!pattern)
        return;
    // Said with the board's availability, right after this.
    if (const QString error = board.held->startWith(*pattern); !error.isEmpty())
        qCWarning(lcMqtt).noquote() << "could not set board" << board.label() << "as it starts -" << error;
    else
        qCInfo(lcMqtt).noquote() << "set board" << board.label() << "to" << RelayPattern::toText(*pattern) << "as it starts";
    states_.keep(board.name, board.label(), board.held->steady());
}

void RelayBridge::finishPulses()
{
    for (const auto& [name, board] : pool_.entries())
        if (board->online())
            board->held->finishPulses();
    states_.keepAllDue();
}

void RelayBridge::publishRelays(Entry& board, bool all)
{
    std::optional<std::uint8_t>& published = published_[board.name];
    const std::uint8_t pins = board.held->pins();
    for (int relay = 1; relay <= 8; ++relay) {
        const std::uint8_t bit = RelayPattern::bit(relay);
        if (all || !published || ((*published ^ pins) & bit))
            publish_(settings_.topics.relay(board.name, relay), (pins & bit) ? QByteArrayLiteral("ON") : QByteArrayLiteral("OFF"));
    }
    published = pins;
    publish_(settings_.topics.board(board.name, "state"), RelayPattern::toText(pins));
}

void RelayBridge::publishProgram(const Entry& board)
{
    if (!board.held)
        return;
    static constexpr const char* names[] = {"stopped", "running", "paused"};
    const BoardPlayer& player = board.held->player();
    publish_(settings_.topics.board(board.name, "program"),
             programState(names[static_cast<int>(player.state())], player.row(),
                          board.held->programLoaded() || player.state() != ProgramRunner::State::Stopped ? player.rowCount() : 0,
                          player.figures()));
}

void RelayBridge::publishDiscovery(const Entry& board)
{
    if (!settings_.discovery)
        return;
    DeviceText device{board.serial, board.info.description, board.info.manufacturer, {}, {}};
    if (board.named)
        device.name = board.named->name, device.relays = board.named->relays;
    for (int relay = 1; relay <= 8; ++relay) {
        publish_(settings_.topics.discovery(board.key, relay),
                 discoveryConfig(settings_.topics, board.name, board.key, relay, device));
        // A button for each relay with a pulse_ms; an empty config takes away one left from before.
        const bool pulses = board.named && board.named->pulseMs[std::size_t(relay - 1)] > 0;
        publish_(settings_.topics.buttonDiscovery(board.key, relay),
                 pulses ? pulseButtonConfig(settings_.topics, board.name, board.key, relay,
                                            board.named->relayName(relay), device)
                        : QByteArray());
    }
}

void RelayBridge::publishBoard(Entry& board)
{
    publish_(settings_.topics.served(board.name), board.online() ? QByteArrayLiteral("online") : QByteArrayLiteral("offline"));
    if (!board.online() && !ownerElsewhere(board.name).isEmpty())
        return;  // another daemon serves the node now
    publish_(settings_.topics.board(board.name, "availability"),
             board.online() ? QByteArrayLiteral("online") : QByteArrayLiteral("offline"));
    if (!board.online())
        return;
    publishRelays(board, true);
    publishProgram(board);
}

void RelayBridge::publishAll()
{
    for (const auto& [name, board] : pool_.entries()) {
        if (board->online() && owners_[name] != settings_.topics.id)
            ownerSaid(name, owners_[name], true);  // claimed while this daemon was away
        if (!board->known)
            continue;
        if (board->online()) {
            claim(name);
            subscribe_(settings_.topics.nodeFilter(name), true);
        }
        publishDiscovery(*board);
        publishBoard(*board);
    }
    publishedNodes_.reset();
    publishNodes();
}

bool RelayBridge::settled() const
{
    const auto& entries = pool_.entries();
    return std::all_of(entries.begin(), entries.end(), [](const auto& e) { return !e.second->online() || e.second->held->settled(); });
}

void RelayBridge::publishOffline()
{
    states_.keepAllDue();  // a cycle's make written since finishPulses() too
    for (const auto& [name, board] : pool_.entries()) {
        if (!board->online())
            continue;
        publish_(settings_.topics.board(name, "availability"), QByteArrayLiteral("offline"));
        publish_(settings_.topics.served(name), QByteArrayLiteral("offline"));
        publish_(settings_.topics.board(name, "owner"), {});
    }
    publish_(settings_.topics.bridge("nodes"), "[]");
    publish_(settings_.topics.bridgeAvailability(), QByteArrayLiteral("offline"));
}
