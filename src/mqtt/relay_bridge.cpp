#include "mqtt/relay_bridge.h"

#include "engine/device/board_link.h"
#include "engine/device/relay_board.h"
#include "engine/program/board_player.h"

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
}  // namespace

// One board this daemon has seen. While taken it has a link of its own (so
// its slot never moves when other boards come and go) and a player.
struct RelayBridge::Board {
    QString serial;
    QByteArray name;
    DeviceInfo info;
    std::unique_ptr<BoardLink> link;
    std::unique_ptr<BoardPlayer> player;  // declared after link: destroyed first
    int slot = -1;
    std::uint8_t pins = 0;
    std::optional<std::uint8_t> published;  // relay levels last published
    bool known = false;                     // taken once: it has a discovery config
    bool programLoaded = false;
    QString refusal;                        // why the last take failed, logged once

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
}

RelayBridge::~RelayBridge() = default;

void RelayBridge::setRulesSource(std::function<BoardRules(const DeviceInfo&)> source)
{
    scanner_->setRulesSource(std::move(source));
}

void RelayBridge::start()
{
    scan();
    scanTimer_.start(settings_.scanMs);
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
        if (device.serial.isEmpty() ||
            (!settings_.serials.isEmpty() && !settings_.serials.contains(device.serial)))
            continue;
        auto& entry = boards_[topicName(device.serial)];
        if (!entry) {
            entry = std::make_unique<Board>();
            entry->serial = device.serial;
            entry->name = topicName(device.serial);
        }
        Board& board = *entry;
        if (board.serial != device.serial || (board.online() && !sameDevice(board.info, device))) {
            const QString why = QStringLiteral("another board has the name %1 on the bus")
                                    .arg(QString::fromUtf8(board.name));
            if (board.refusal != why)
                qCWarning(lcMqtt).noquote() << "left board" << printableText(device.serial) << "at port"
                                            << device.port << "alone:" << why;
            board.refusal = why;
            continue;
        }
        if (!board.online())
            take(board, index, device);
    }
}

void RelayBridge::take(Board& board, int index, const DeviceInfo& info)
{
    // Opened only if it is still the board listed (and allowed): a board
    // plugged in since the list was made is never touched.
    auto link = std::make_unique<BoardLink>(library_);
    link->setRulesSource(scanner_->rulesSource());
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
    board.player = std::make_unique<BoardPlayer>(*board.link, index);
    connect(board.link.get(), &BoardLink::failed, this, &RelayBridge::scanSoon);
    Board* b = &board;
    connect(board.player.get(), &BoardPlayer::stepStarted, this, [this, b] {
        readBack(*b);
        publishProgram(*b);
    });
    for (auto signal : {&BoardPlayer::stopped, &BoardPlayer::paused, &BoardPlayer::resumed})
        connect(board.player.get(), signal, this, [this, b] { publishProgram(*b); });
    connect(board.player.get(), &BoardPlayer::writeFailed, this, [this, b](const QString& what) {
        qCWarning(lcMqtt).noquote() << "program on board" << printableText(b->serial) << "stopped:" << what;
        publishProgram(*b);
    });
    qCInfo(lcMqtt).noquote() << "took board" << printableText(info.serial) << QLatin1Char('(') + printableText(info.description)
                             << "by" << printableText(info.manufacturer) + QLatin1Char(')') << "at port" << info.port
                             << "as" << QString::fromUtf8(settings_.topics.base + '/' + board.name);
    board.known = true;
    publishDiscovery(board);
    publishBoard(board);
}

void RelayBridge::letGo(Board& board, const QString& why)
{
    board.player->stop();
    board.player.reset();
    board.link.reset();
    board.published.reset();
    qCWarning(lcMqtt).noquote() << "board" << printableText(board.serial) << "at port" << board.info.port << why
                                << "- offline until it is back";
    publishBoard(board);
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

void RelayBridge::handleMessage(const QByteArray& topic, const QByteArray& payload, bool retained)
{
    const auto ignore = [&](const QString& why) {
        qCWarning(lcMqtt).noquote() << "ignored a message on" << quoted(topic, 200) + QLatin1Char(':')
                                    << why;
    };
    if (retained)
        return ignore(QStringLiteral("it is retained, and commands count only as they are sent"));
    Parsed parsed = parse(settings_.topics, topic, payload);
    if (!parsed.command)
        return ignore(parsed.error);
    Board* board = boardNamed(parsed.command->board);
    if (!board || !board->online())
        return ignore(QStringLiteral("this daemon holds no board %1")
                          .arg(quoted(parsed.command->board)));
    apply(*board, *parsed.command);
}

void RelayBridge::apply(Board& board, const Command& command)
{
    RelayBoard relays(*board.link, board.slot);
    const auto written = [&](UsbLibrary::Status status) {
        if (status == UsbLibrary::Ok)
            return readBack(board);
        qCWarning(lcMqtt).noquote() << "could not switch board" << printableText(board.serial) << "-"
                                    << relays.error();
    };
    std::visit(Overloaded{
                   [&](const RelayCommand& c) {
                       board.player->stop();
                       const std::uint8_t bit = RelayPattern::bit(c.relay);
                       written(c.action == Switch::Toggle
                                   ? relays.toggleRelays(bit)
                                   : relays.setRelays(bit, c.action == Switch::On ? bit : 0));
                   },
                   [&](const StateCommand& c) {
                       board.player->stop();
                       written(relays.write(c.pattern));
                   },
                   [&](const ProgramCommand& c) {
                       const QString error = board.player->play(c.rows, c.tickMs, c.repeat);
                       if (!error.isEmpty())
                           qCWarning(lcMqtt).noquote() << "ignored a program for board"
                                                       << printableText(board.serial) + QLatin1Char(':') << error;
                       else
                           board.programLoaded = true;
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
                              : 0));
}

void RelayBridge::publishDiscovery(const Board& board)
{
    if (!settings_.discovery)
        return;
    const DeviceText device{board.serial, board.info.description, board.info.manufacturer};
    for (int relay = 1; relay <= 8; ++relay)
        publish_(settings_.topics.discovery(board.name, relay),
                 discoveryConfig(settings_.topics, board.name, relay, device));
}

void RelayBridge::publishBoard(Board& board)
{
    publish_(settings_.topics.board(board.name, "availability"),
             board.online() ? QByteArrayLiteral("online") : QByteArrayLiteral("offline"));
    if (!board.online())
        return;
    publishRelays(board, true);
    publishProgram(board);
}

void RelayBridge::publishAll()
{
    publish_(settings_.topics.bridgeAvailability(), QByteArrayLiteral("online"));
    for (auto& [name, board] : boards_) {
        if (!board->known)
            continue;
        publishDiscovery(*board);
        publishBoard(*board);
    }
}

void RelayBridge::publishOffline()
{
    for (auto& [name, board] : boards_)
        if (board->known)
            publish_(settings_.topics.board(name, "availability"), QByteArrayLiteral("offline"));
    publish_(settings_.topics.bridgeAvailability(), QByteArrayLiteral("offline"));
}
