#include "mqtt/held_board.h"

#include "engine/config/rules_source.h"
#include "engine/device/board_link.h"
#include "engine/device/board_lock.h"
#include "engine/device/relay_board.h"

Outcome<std::unique_ptr<HeldBoard>> HeldBoard::take(UsbLibrary& library, const BoardsConf& boards, int index,
                                                    const DeviceInfo& device)
{
    // Opened only if it is still the board listed: a board plugged in since
    // the list was made is never touched. Its lock is held while the board
    // is, so no write of the daemon ever waits for another process.
    auto link = std::make_unique<BoardLink>(library);
    link->setRulesSource(rulesFrom(boards));
    auto lock = std::make_unique<BoardLock>(library.lockFolder(), device.port, 0);
    if (!lock->held())
        return Outcome<std::unique_ptr<HeldBoard>>::failure(lock->error());
    std::uint8_t pins = 0;
    if (link->open(index, device) != UsbLibrary::Ok || link->read(index, pins) != UsbLibrary::Ok)
        return Outcome<std::unique_ptr<HeldBoard>>::failure(link->lastError());
    return Outcome<std::unique_ptr<HeldBoard>>::success(std::unique_ptr<HeldBoard>(
        new HeldBoard(std::move(lock), std::move(link), index, device, pins, boards.board(device))));
}

HeldBoard::HeldBoard(std::unique_ptr<BoardLock> lock, std::unique_ptr<BoardLink> link, int slot, const DeviceInfo& device,
                     std::uint8_t pins, const NamedBoard* named)
    : lock_(std::move(lock)),
      link_(std::move(link)),
      slot_(slot),
      info_(device),
      pins_(pins),
      named_(named),
      timeline_(std::make_unique<BoardTimeline>(*link_, slot)),
      player_(std::make_unique<BoardPlayer>(*timeline_))
{
    // The relays' past is unknown before this daemon took the board, and
    // nobody else switches it from now on: the dead time counts from here.
    timeline_->readPins();
    const QString serial = printableText(info_.serial);
    connect(link_.get(), &BoardLink::failed, this, &HeldBoard::failed);
    connect(timeline_.get(), &BoardTimeline::wrote, this, &HeldBoard::readBack);
    connect(player_.get(), &BoardPlayer::stepStarted, this, &HeldBoard::programChanged);
    for (auto signal : {&BoardPlayer::stopped, &BoardPlayer::paused, &BoardPlayer::resumed})
        connect(player_.get(), signal, this, &HeldBoard::programChanged);
    connect(player_.get(), &BoardPlayer::writeFailed, this, [this, serial](const QString& what) {
        emit problem(QStringLiteral("program on board %1 stopped: %2").arg(serial, what));
        emit programChanged();
    });
    connect(timeline_.get(), &BoardTimeline::secondEdge, this, [this, serial](std::uint8_t, bool ok) {
        if (!ok)
            emit problem(QStringLiteral("could not end a pulse on board %1 - %2").arg(serial, timeline_->error()));
    });
}

HeldBoard::~HeldBoard()
{
    player_->stop();
}

void HeldBoard::readBack()
{
    std::uint8_t pins = 0;
    if (link_->read(slot_, pins) != UsbLibrary::Ok)
        return;  // the link says so: whoever holds the board looks at the bus
    pins_ = pins;
    emit changed();
}

QString HeldBoard::set(std::uint8_t mask, std::uint8_t levels)
{
    return timeline_->set(mask, levels, [this] { player_->stop(); });
}

QString HeldBoard::setRelay(int relay, bool on)
{
    const std::uint8_t bit = RelayPattern::bit(relay);
    return set(bit, on ? bit : 0);
}

QString HeldBoard::toggleRelay(int relay)
{
    return timeline_->toggle(RelayPattern::bit(relay), [this] { player_->stop(); });
}

QString HeldBoard::pulse(int relay, bool cycle, int ms)
{
    std::array<int, 8> lengths{};
    lengths[std::size_t(relay - 1)] = pulseLength(named_, relay, ms);
    return pulse(cycle, lengths);
}

QString HeldBoard::pulse(bool cycle, const std::array<int, 8>& ms)
{
    return timeline_->pulse(cycle, ms, [this] { player_->stop(); });
}

QString HeldBoard::setPattern(std::uint8_t pattern)
{
    return set(0xFF, pattern);
}

QString HeldBoard::startWith(std::uint8_t pattern)
{
    const QString error = timeline_->set(0xFF, pattern);
    // Read back without a word: the board's first state is said with its availability.
    if (std::uint8_t pins = 0; link_->read(slot_, pins) == UsbLibrary::Ok)
        pins_ = pins;
    return error;
}

QString HeldBoard::play(std::vector<QByteArray> rows, int tickMs, bool repeat)
{
    const QString error = player_->play(std::move(rows), tickMs, repeat);
    if (!error.isEmpty())
        return error;
    programLoaded_ = true;
    timeline_->dropEdges(0xFF);
    return {};
}

void HeldBoard::stop()
{
    player_->stop();
}

void HeldBoard::pause()
{
    player_->pause();
}

void HeldBoard::resume()
{
    player_->resume();
}

void HeldBoard::finishPulses()
{
    if (timeline_->pendingEdges())
        timeline_->finish();
}

bool HeldBoard::answers() const
{
    std::uint8_t pins = 0;
    return link_->read(slot_, pins) == UsbLibrary::Ok;
}
