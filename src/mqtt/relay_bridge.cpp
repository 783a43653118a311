#include "mqtt/relay_bridge.h"

#include "engine/config/rules_source.h"
#include "engine/device/board_link.h"
#include "engine/device/relay_board.h"
#include "engine/device/relay_pulser.h"
#include "engine/save_file.h"
#include "engine/program/board_player.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QElapsedTimer>
#include <QFile>
#include <QUrl>

#include <algorithm>

Q_LOGGING_CATEGORY(lcMqtt, "kestrune.mqtt", QtInfoMsg)

using namespace MqttPayloads;

namespace {
template <class... F> struct Overloaded : F... {
    using F::operator()...;
};
template <class... F> Overloaded(F...) -> Overloaded<F...>;

bool sameDevice(const DeviceInfo& a, const DeviceInfo& b)
{
    return a.serial == b.serial && a.port == b.port && a.bus == b.bus && a.address == b.address;
}

// Whether the allow-list (serials and port:PORT entries; empty: any) lets
// this daemon take the device.
bool allowed(const DeviceInfo& device, const QStringList& allowList)
{
    return allowList.isEmpty() || allowList.contains(QStringLiteral("port:") + device.port) ||
           (!device.serial.isEmpty() && allowList.contains(device.serial));
}

// How a board is served: its node's name in topics, and the key its Home
// Assistant ids carry (the serial, or port-BUS-PORTS where the port tells it
// apart), which a new node name leaves alone.
struct Identity {
    QByteArray name;
    QByteArray key;
};

Identity identify(const DeviceInfo& device, const QMap<QString, QByteArray>& nodeNames)
{
    const QByteArray portKey = topicName(QStringLiteral("port-") + QString(device.port).replace(QLatin1Char('.'), QLatin1Char('_')));
    if (const auto byPort = nodeNames.find(QStringLiteral("port:") + device.port); byPort != nodeNames.end())
        return {*byPort, portKey};
    if (device.serial.isEmpty())
        return {portKey, portKey};
    return {nodeNames.value(device.serial, topicName(device.serial)), topicName(device.serial)};
}

QByteArray nodeList(const QList<QByteArray>& names)
{
    QJsonArray list;
    for (const QByteArray& name : names)
        list.append(QString::fromUtf8(name));
    return QJsonDocument(list).toJson(QJsonDocument::Compact);
}
}  // namespace

// One board this daemon has seen. While taken it has a link of its own (so
// its slot never moves when other boards come and go) and a player.
struct RelayBridge::Board {
    QString serial;
    QString label() const { return serial.isEmpty() ? QStringLiteral("without serial") : printableText(serial); }
    QByteArray name;
    QByteArray key;  // see Identity
    const NamedBoard* named = nullptr;  // its section in boards.conf, if any
    DeviceInfo info;
    std::unique_ptr<BoardLink> link;
    std::unique_ptr<BoardPlayer> player;  // declared after link: destroyed first
    std::unique_ptr<RelayPulser> pulser;
    int slot = -1;
    std::uint8_t pins = 0;
    std::optional<std::uint8_t> published;  // relay levels last published
    bool known = false;                     // taken once: it has a discovery config
    bool programLoaded = false;
    QString refusal;                        // why the last take failed, logged once
    std::optional<std::uint8_t> saved;      // the state last kept in its file
    QElapsedTimer lastSave;
    bool saveDue = false;
    QString saveError;  // why the state could not be kept, logged once

    bool online() const { return player != nullptr; }
};

RelayBridge::RelayBridge(UsbLibrary& library, Settings settings, Publish publish, QObject* parent)
    : QObject(parent),
      settings_(std::move(settings)),
      publish_(std::move(publish)),
      library_(library),
      scanner_(std::make_unique<BoardLink>(library))
{
    connect(&scanTimer_, &QTimer::timeout, this, &RelayBridge::scan);
    saveTimer_.setSingleShot(true);
    connect(&saveTimer_, &QTimer::timeout, this, &RelayBridge::saveDueStates);
}

RelayBridge::~RelayBridge() = default;

void RelayBridge::start()
{
    scanTimer_.start(settings_.scanMs);
}

void RelayBridge::markersLearned()
{
    if (learned_)
        return publishAll();
    learned_ = true;
    scan();
    publishStale();
}

void RelayBridge::scanSoon()
{
    if (scanQueued_)
        return;
    scanQueued_ = true;
    QTimer::singleShot(0, this, &RelayBridge::scan);
}

void RelayBridge::scan()
{
    scanQueued_ = false;
    if (!learned_)
        return;
    const QList<DeviceInfo> devices = scanner_->list();
    // A board held is gone when it is no longer listed where it was and its
    // handle has died with it (a list that missed it once changes nothing).
    for (auto& entry : boards_) {
        Board& board = *entry.second;
        std::uint8_t pins = 0;
        if (board.online() &&
            std::none_of(devices.begin(), devices.end(),
                         [&](const DeviceInfo& d) { return sameDevice(d, board.info); }) &&
            board.link->read(board.slot, pins) != UsbLibrary::Ok)
            letGo(board, QStringLiteral("is gone"));
    }
    for (int index = 0; index < devices.size(); ++index) {
        const DeviceInfo& device = devices[index];
        if (!allowed(device, settings_.serials))
            continue;
        const Identity identity = identify(device, settings_.nodeNames);
        // boards.conf names a board over [boards] node.X; the key stays.
        const NamedBoard* named = settings_.boards.board(device);
        const QByteArray name = named ? named->name.toUtf8() : identity.name;
        auto& entry = boards_[name];
        if (!entry) {
            entry = std::make_unique<Board>();
            entry->serial = device.serial;
            entry->name = name;
            entry->key = identity.key;
            entry->named = named;
            if (device.serial.isEmpty())
                qCInfo(lcMqtt).noquote() << "the board at port" << device.port << "has no serial number: serving it as"
                                         << QString::fromUtf8(settings_.topics.base + '/' + name);
            if (named && identity.name != identify(device, {}).name) {
                const QString port = QStringLiteral("port:") + device.port;
                qCInfo(lcMqtt).noquote() << "boards.conf names the board at port" << device.port << named->name
                                         << "- its node, not" << QString::fromUtf8(identity.name) << "of [boards] node."
                                                + (settings_.nodeNames.contains(port) ? port : device.serial);
            }
        }
        Board& board = *entry;
        if (board.key != identity.key || board.serial != device.serial || board.named != named ||
            (board.online() && !sameDevice(board.info, device))) {
            const QString why = QStringLiteral("another board has the name %1 on the bus")
                                    .arg(QString::fromUtf8(board.name));
            if (board.refusal != why)
                qCWarning(lcMqtt).noquote() << "left board" << printableText(device.serial) << "at port"
                                            << device.port << "alone:" << why;
            board.refusal = why;
            continue;
        }
        if (board.online())
            continue;
        if (const QByteArray owner = ownerElsewhere(board.name); !owner.isEmpty())
            refuse(board, device, owner);
        else
            take(board, index, device);
    }
}

QByteArray RelayBridge::ownerElsewhere(const QByteArray& name) const
{
    const auto it = owners_.find(name);
    return it != owners_.end() && it->second != settings_.topics.id && onlineDaemons_.count(it->second)
               ? it->second
               : QByteArray();
}

void RelayBridge::refuse(Board& board, const DeviceInfo& info, const QByteArray& owner)
{
    const QString why = QStringLiteral("daemon %1").arg(QString::fromUtf8(owner));
    if (board.refusal != why)
        qCCritical(lcMqtt).noquote()
            << "not serving board" << board.label() << "at port"
            << info.port + QLatin1Char(':') << "node" << QString::fromUtf8(settings_.topics.base + '/' + board.name)
            << "belongs to" << why << "which is online; give this board a node name of its own in [boards] (node."
                + (info.serial.isEmpty() ? QStringLiteral("port:") + info.port : printableText(info.serial))
                + " = NAME) or use another base topic";
    board.refusal = why;
}

void RelayBridge::take(Board& board, int index, const DeviceInfo& info)
{
    // Opened only if it is still the board listed (and allowed): a board
    // plugged in since the list was made is never touched.
    auto link = std::make_unique<BoardLink>(library_);
    link->setRulesSource(rulesFrom(settings_.boards));
    std::uint8_t pins = 0;
    if (link->open(index, info) != UsbLibrary::Ok || link->read(index, pins) != UsbLibrary::Ok) {
        const QString why = link->lastError();
        if (board.refusal != why)
            qCWarning(lcMqtt).noquote() << "cannot take board" << printableText(info.serial) << "at port"
                                        << info.port << "now:" << why;
        board.refusal = why;
        return;
    }
    board.refusal.clear();
    board.info = info;
    board.link = std::move(link);
    board.slot = index;
    board.pins = pins;
    board.published.reset();
    board.programLoaded = false;
    board.player = std::make_unique<BoardPlayer>(*board.link, index);
    board.pulser = std::make_unique<RelayPulser>(*board.link, index);
    connect(board.link.get(), &BoardLink::failed, this, &RelayBridge::scanSoon);
    Board* b = &board;
    connect(board.player.get(), &BoardPlayer::stepStarted, this, [this, b] {
        wrote(*b);
        publishProgram(*b);
    });
    connect(board.pulser.get(), &RelayPulser::secondEdge, this, [this, b](std::uint8_t, UsbLibrary::Status status) {
        if (status == UsbLibrary::Ok)
            return wrote(*b);
        qCWarning(lcMqtt).noquote() << "could not end a pulse on board" << printableText(b->serial) << "-"
                                    << b->pulser->error();
    });
    connect(board.player.get(), &BoardPlayer::stepMade, this, [this, b] { wrote(*b); });
    for (auto signal : {&BoardPlayer::stopped, &BoardPlayer::paused, &BoardPlayer::resumed})
        connect(board.player.get(), signal, this, [this, b] { publishProgram(*b); });
    connect(board.player.get(), &BoardPlayer::writeFailed, this, [this, b](const QString& what) {
        qCWarning(lcMqtt).noquote() << "program on board" << printableText(b->serial) << "stopped:" << what;
        publishProgram(*b);
    });
    qCInfo(lcMqtt).noquote() << "took board" << board.label() << QLatin1Char('(') + printableText(info.description)
                             << "by" << printableText(info.manufacturer) + QLatin1Char(')') << "at port" << info.port
                             << "as" << QString::fromUtf8(settings_.topics.base + '/' + board.name);
    claim(board.name);
    subscribe_(settings_.topics.nodeFilter(board.name), true);
    if (!board.known && !board.serial.isEmpty())  // the ids of earlier versions
        for (int relay = 1; relay <= 8; ++relay)
            publish_(settings_.topics.oldDiscovery(topicName(board.serial), relay), {});
    board.known = true;
    startUp(board);
    publishDiscovery(board);
    publishBoard(board);
    publishNodes();
}

void RelayBridge::letGo(Board& board, const QString& why, bool yielded)
{
    if (board.saveDue)
        saveState(board);
    board.player->stop();
    board.pulser.reset();  // a board gone takes no second edge
    board.player.reset();
    board.link.reset();
    board.published.reset();
    subscribe_(settings_.topics.nodeFilter(board.name), false);
    if (yielded) {
        qCCritical(lcMqtt).noquote() << "let go of board" << board.label() << "at port"
                                     << board.info.port + QLatin1Char(':') << why;
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
        const Board* board = boardNamed(name);
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

RelayBridge::Board* RelayBridge::boardNamed(const QByteArray& name)
{
    const auto it = boards_.find(name);
    return it == boards_.end() ? nullptr : it->second.get();
}

QList<QByteArray> RelayBridge::onlineBoards() const
{
    QList<QByteArray> names;
    for (const auto& [name, board] : boards_)
        if (board->online())
            names.append(name);
    return names;
}

bool RelayBridge::readMarker(const QByteArray& topic, const QByteArray& payload, bool retained)
{
    const QByteArray prefix = settings_.topics.base + '/';
    const QList<QByteArray> parts = topic.startsWith(prefix) ? topic.mid(prefix.size()).split('/') : QList<QByteArray>{};
    if (parts.size() == 3 && parts[0] == "bridge" && parts[2] == "availability") {
        if (payload == "online")
            onlineDaemons_.insert(parts[1]);
        else
            onlineDaemons_.erase(parts[1]);
    } else if (topic == settings_.topics.bridge("nodes")) {
        if (!learned_)
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
        owners_.erase(name);
        return;
    }
    owners_[name] = owner;
    Board* board = boardNamed(name);
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
    if (readMarker(topic, payload, retained))
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
    Board* board = boardNamed(parsed.value->board);
    if (!board || !board->online())
        return ignore(QStringLiteral("this daemon holds no board %1")
                          .arg(quoted(parsed.value->board)));
    apply(*board, *parsed.value);
}

void RelayBridge::apply(Board& board, const Command& command)
{
    RelayBoard relays(*board.link, board.slot);
    const auto written = [&](UsbLibrary::Status status) {
        if (status == UsbLibrary::Ok)
            return wrote(board);
        qCWarning(lcMqtt).noquote() << "could not switch board" << printableText(board.serial) << "-"
                                    << relays.error();
    };
    std::visit(Overloaded{
                   [&](const RelayCommand& c) {
                       board.player->stop();
                       const std::uint8_t bit = RelayPattern::bit(c.relay);
                       board.pulser->cancel(bit);  // a later command has the last word
                       if (c.action == Switch::Pulse || c.action == Switch::Cycle) {
                           std::array<int, 8> ms{};
                           ms[c.relay - 1] = pulseLength(board.named, c.relay, c.ms);
                           return written(board.pulser->start(
                               c.action == Switch::Pulse ? RelayPulser::Kind::Pulse : RelayPulser::Kind::Cycle, ms));
                       }
                       written(c.action == Switch::Toggle
                                   ? relays.toggleRelays(bit)
                                   : relays.setRelays(bit, c.action == Switch::On ? bit : 0));
                   },
                   [&](const StateCommand& c) {
                       board.player->stop();
                       board.pulser->cancel(0xFF);
                       written(relays.write(c.pattern));
                   },
                   [&](const ProgramCommand& c) {
                       const QString error = board.player->play(c.rows, c.tickMs, c.repeat);
                       if (!error.isEmpty())
                           qCWarning(lcMqtt).noquote() << "ignored a program for board"
                                                       << printableText(board.serial) + QLatin1Char(':') << error;
                       else
                           board.programLoaded = true, board.pulser->cancel(0xFF);
                   },
                   [&](const ControlCommand& c) {
                       if (c.control == Control::Stop)
                           board.player->stop();
                       else if (c.control == Control::Pause)
                           board.player->pause();
                       else
                           board.player->resume();
                   },
               },
               command.action);
}

void RelayBridge::wrote(Board& board)
{
    readBack(board);
    if (settings_.stateDir.isEmpty() || board.saved == board.pins)
        return;
    board.saveDue = true;
    if (!board.lastSave.isValid() || board.lastSave.hasExpired(250))
        saveState(board);
    else if (!saveTimer_.isActive())
        saveTimer_.start(250);
}

QString RelayBridge::stateFile(const Board& board) const
{
    // Percent-encoded: a node name may hold any character but / + #, and "." or "..".
    return settings_.stateDir + QLatin1Char('/') + QString::fromLatin1(QUrl::toPercentEncoding(QString::fromUtf8(board.name))) +
           QStringLiteral(".state");
}

void RelayBridge::saveState(Board& board)
{
    board.saveDue = false;
    board.lastSave.start();
    const QString error = saveWholeFile(stateFile(board), RelayPattern::toText(board.pins) + '\n');
    if (!error.isEmpty() && error != board.saveError)
        qCWarning(lcMqtt).noquote() << "cannot keep the state of board" << board.label() << "in" << stateFile(board)
                                    << "-" << error;
    board.saveError = error;
    if (error.isEmpty())
        board.saved = board.pins;
}

void RelayBridge::startUp(Board& board)
{
    using OnStart = NamedBoard::OnStart;
    const OnStart mode = board.named ? board.named->onStart : OnStart::Keep;
    std::optional<std::uint8_t> pattern;
    if (mode == OnStart::Off)
        pattern = 0;
    if (mode == OnStart::Restore) {
        QFile file(stateFile(board));
        if (settings_.stateDir.isEmpty() || !file.open(QIODevice::ReadOnly))
            qCInfo(lcMqtt).noquote() << "board" << board.label() << "has no state kept: keeping its relays as they are";
        else if (!(pattern = RelayPattern::fromText(file.read(9).trimmed())))
            qCWarning(lcMqtt).noquote() << stateFile(board) << "holds no relay pattern: keeping the relays of board"
                                        << board.label() << "as they are";
    }
    if (!pattern)
        return;
    RelayBoard relays(*board.link, board.slot);
    if (relays.write(*pattern) != UsbLibrary::Ok)
        qCWarning(lcMqtt).noquote() << "could not set board" << board.label() << "as it starts -"
                                    << relays.error();
    else
        qCInfo(lcMqtt).noquote() << "set board" << board.label() << "to" << RelayPattern::toText(*pattern) << "as it starts";
    // Said with the board's availability, right after this.
    if (std::uint8_t pins = 0; board.link->read(board.slot, pins) == UsbLibrary::Ok)
        board.pins = pins;
    if (!settings_.stateDir.isEmpty() && board.saved != board.pins)
        saveState(board);
}

void RelayBridge::finishPulses()
{
    for (auto& entry : boards_)
        if (entry.second->online() && entry.second->pulser->pending())
            entry.second->pulser->finish();
    saveDueStates();
}

void RelayBridge::saveDueStates()
{
    for (auto& entry : boards_)
        if (entry.second->saveDue)
            saveState(*entry.second);
}

void RelayBridge::readBack(Board& board)
{
    std::uint8_t pins = 0;
    if (board.link->read(board.slot, pins) != UsbLibrary::Ok)
        return;  // the link says so; the next scan sees whether the board is gone
    board.pins = pins;
    publishRelays(board, false);
}

void RelayBridge::publishRelays(Board& board, bool all)
{
    for (int relay = 1; relay <= 8; ++relay) {
        const std::uint8_t bit = RelayPattern::bit(relay);
        if (all || !board.published || ((*board.published ^ board.pins) & bit))
            publish_(settings_.topics.relay(board.name, relay),
                     (board.pins & bit) ? QByteArrayLiteral("ON") : QByteArrayLiteral("OFF"));
    }
    board.published = board.pins;
    publish_(settings_.topics.board(board.name, "state"), RelayPattern::toText(board.pins));
}

void RelayBridge::publishProgram(const Board& board)
{
    if (!board.player)
        return;
    static constexpr const char* names[] = {"stopped", "running", "paused"};
    publish_(settings_.topics.board(board.name, "program"),
             programState(names[static_cast<int>(board.player->state())], board.player->row(),
                          board.programLoaded || board.player->state() != ProgramRunner::State::Stopped
                              ? board.player->rowCount()
                              : 0,
                          board.player->figures()));
}

void RelayBridge::publishDiscovery(const Board& board)
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

void RelayBridge::publishBoard(Board& board)
{
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
    for (auto& [name, board] : boards_) {
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

void RelayBridge::publishOffline()
{
    for (auto& [name, board] : boards_) {
        if (!board->online())
            continue;
        publish_(settings_.topics.board(name, "availability"), QByteArrayLiteral("offline"));
        publish_(settings_.topics.board(name, "owner"), {});
    }
    publish_(settings_.topics.bridge("nodes"), "[]");
    publish_(settings_.topics.bridgeAvailability(), QByteArrayLiteral("offline"));
}
