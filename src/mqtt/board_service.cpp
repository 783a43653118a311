#include "mqtt/board_service.h"

#include "engine/device/device_entries.h"
#include "engine/device/holder_list.h"
#include "engine/device/relay_board.h"
#include "mqtt/daemon_log.h"
#include "mqtt/held_board.h"
#include "mqtt/mqtt_payloads.h"

using MqttPayloads::topicName;

namespace {
// How a board is named without a name in boards.conf: its node name of
// [boards] node.X, else its serial; and the key that stays with it when its
// name changes (the serial, or port-BUS-PORTS where the port tells it apart).
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
}  // namespace

BoardService::BoardService(UsbLibrary& library, Settings settings, QObject* parent)
    : QObject(parent),
      settings_(std::move(settings)),
      states_(settings_.stateDir),
      pool_(library, BoardPool::Settings{settings_.serials, settings_.boards, settings_.scanMs},
            [this](const DeviceInfo& device, const NamedBoard* named) { return nameOf(device, named); })
{
    connect(&pool_, &BoardPool::seen, this, [this](const QByteArray& name, const DeviceInfo& device) {
        if (device.serial.isEmpty())
            qCInfo(lcMqtt).noquote() << "the board at port" << device.port << "has no serial number: serving it as" << where(name);
        const QByteArray byNodeNames = identify(device, settings_.nodeNames).name;
        if (const Entry* board = pool_.entry(name); board && board->named && byNodeNames != identify(device, {}).name) {
            const QString port = DeviceEntries::portEntry(device);
            qCInfo(lcMqtt).noquote() << "boards.conf names the board at port" << device.port << QString::fromUtf8(name)
                                     << "- its node, not" << QString::fromUtf8(byNodeNames) << "of [boards] node."
                                            + (settings_.nodeNames.contains(port) ? port : device.serial);
        }
        emit seen(name, device);
    });
    connect(&pool_, &BoardPool::taken, this, [this](const QByteArray& name) { take(*pool_.entry(name)); });
    connect(&pool_, &BoardPool::gone, this, [this](const QByteArray& name) {
        Entry& board = *pool_.entry(name);
        qCWarning(lcMqtt).noquote() << "board" << board.label() << "at port" << board.info.port << "is gone"
                                    << "- offline until it is back";
        states_.keepDue(name);
        pool_.release(board);
        writeHolderList();
        emit gone(name);
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
                      .arg(where(name), boundTo),
                  true);
    });
    connect(&pool_, &BoardPool::looked, this, &BoardService::looked);
}

BoardService::~BoardService() = default;

void BoardService::start()
{
    writeHolderList();
    pool_.start();
    pool_.enable();
}

void BoardService::scan()
{
    pool_.scan();
}

// boards.conf names a board over [boards] node.X; the key stays.
BoardPool::Naming BoardService::nameOf(const DeviceInfo& device, const NamedBoard* named) const
{
    BoardPool::Naming naming = identify(device, settings_.nodeNames);
    if (named)
        naming.name = named->name.toUtf8();
    if (named && named->serial.isEmpty() && !named->port.isEmpty())
        naming.key = portKeyOf(device);  // clones told apart by their ports stay apart in Home Assistant
    return naming;
}

QList<QByteArray> BoardService::heldBoards() const
{
    QList<QByteArray> names;
    for (const auto& [name, board] : pool_.entries())
        if (board->online())
            names.append(name);
    return names;
}

void BoardService::leftAlone(Entry& board, const DeviceInfo& info, const QString& why, bool nameTaken)
{
    if (board.refusal != why) {
        if (nameTaken)
            qCWarning(lcMqtt).noquote() << "left board" << printableText(info.serial) << "at port" << info.port << "alone:" << why;
        else
            qCWarning(lcMqtt).noquote() << "cannot take board" << printableText(info.serial) << "at port" << info.port << "now:" << why;
    }
    board.refusal = why;
}

void BoardService::take(Entry& board)
{
    HeldBoard& held = *board.held;
    const QByteArray name = board.name;
    connect(&held, &HeldBoard::changed, this, [this, name] {
        const Entry& b = *pool_.entry(name);
        states_.wrote(name, b.label(), b.held->steady());
        emit changed(name);
    });
    connect(&held, &HeldBoard::programChanged, this, [this, name] { emit programChanged(name); });
    connect(&held, &HeldBoard::problem, this, [](const QString& what) { qCWarning(lcMqtt).noquote() << what; });
    const DeviceInfo& info = held.info();
    qCInfo(lcMqtt).noquote() << "took board" << board.label() << QLatin1Char('(') + printableText(info.description)
                             << "by" << printableText(info.manufacturer) + QLatin1Char(')') << "at port" << info.port
                             << "as" << where(name);
    startUp(board);
    writeHolderList();
    emit taken(name);
    board.known = true;
}

void BoardService::startUp(Entry& board)
{
    const NamedBoard::OnStart mode = board.named ? board.named->onStart : NamedBoard::OnStart::Keep;
    const std::optional<std::uint8_t> pattern = states_.startPattern(board.name, board.label(), mode);
    if (!pattern)
        return;
    // Said with the board's first state, right after this.
    if (const QString error = board.held->startWith(*pattern); !error.isEmpty())
        qCWarning(lcMqtt).noquote() << "could not set board" << board.label() << "as it starts -" << error;
    else
        qCInfo(lcMqtt).noquote() << "set board" << board.label() << "to" << RelayPattern::toText(*pattern) << "as it starts";
    states_.keep(board.name, board.label(), board.held->steady());
}

void BoardService::finishPulses()
{
    for (const auto& [name, board] : pool_.entries())
        if (board->online())
            board->held->finishPulses();
    states_.keepAllDue();
}

bool BoardService::settled() const
{
    const auto& entries = pool_.entries();
    return std::all_of(entries.begin(), entries.end(), [](const auto& e) { return !e.second->online() || e.second->held->settled(); });
}

void BoardService::close()
{
    states_.keepAllDue();  // a cycle's make written since finishPulses() too
    for (const auto& [name, board] : pool_.entries())
        pool_.release(*board);
    writeHolderList();
}

void BoardService::writeHolderList()
{
    if (settings_.holderList.isEmpty())
        return;
    QList<DeviceInfo> held;
    for (const auto& [name, board] : pool_.entries())
        if (board->online())
            held << board->info;
    const QString error = HolderList::write(settings_.holderList, held);
    if (!error.isEmpty() && error != holderError_)
        qCWarning(lcMqtt).noquote() << error << "- other programs refused a board it holds cannot name it";
    holderError_ = error;
}
