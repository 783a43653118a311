#include "mqtt/held_board.h"

#include "engine/config/rules_source.h"
#include "engine/device/board_link.h"
#include "engine/device/relay_board.h"

Outcome<std::unique_ptr<HeldBoard>> HeldBoard::take(UsbLibrary& library, const BoardsConf& boards, int index,
                                                    const DeviceInfo& device)
{
    // Opened only if it is still the board listed: a board plugged in since
    // the list was made is never touched.
    auto link = std::make_unique<BoardLink>(library);
    link->setRulesSource(rulesFrom(boards));
    std::uint8_t pins = 0;
    if (link->open(index, device) != UsbLibrary::Ok || link->read(index, pins) != UsbLibrary::Ok)
        return Outcome<std::unique_ptr<HeldBoard>>::failure(link->lastError());
    return Outcome<std::unique_ptr<HeldBoard>>::success(
        std::unique_ptr<HeldBoard>(new HeldBoard(std::move(link), index, device, pins, boards.board(device))));
}

HeldBoard::HeldBoard(std::unique_ptr<BoardLink> link, int slot, const DeviceInfo& device, std::uint8_t pins,
                     const NamedBoard* named)
    : link_(std::move(link)),
      slot_(slot),
      info_(device),
      pins_(pins),
      named_(named),
      player_(std::make_unique<BoardPlayer>(*link_, slot)),
      pulser_(std::make_unique<RelayPulser>(*link_, slot))
{
    const QString serial = printableText(info_.serial);
    connect(link_.get(), &BoardLink::failed, this, &HeldBoard::failed);
    connect(player_.get(), &BoardPlayer::stepStarted, this, [this] {
        readBack();
        emit programChanged();
    });
    connect(player_.get(), &BoardPlayer::stepMade, this, &HeldBoard::readBack);
    for (auto signal : {&BoardPlayer::stopped, &BoardPlayer::paused, &BoardPlayer::resumed})
        connect(player_.get(), signal, this, &HeldBoard::programChanged);
    connect(player_.get(), &BoardPlayer::writeFailed, this, [this, serial](const QString& what) {
        emit problem(QStringLiteral("program on board %1 stopped: %2").arg(serial, what));
        emit programChanged();
    });
    connect(pulser_.get(), &RelayPulser::secondEdge, this, [this, serial](std::uint8_t, UsbLibrary::Status status) {
        if (status == UsbLibrary::Ok)
            return readBack();
        emit problem(QStringLiteral("could not end a pulse on board %1 - %2").arg(serial, pulser_->error()));
    });
}

HeldBoard::~HeldBoard()
{
    player_->stop();
}

QString HeldBoard::written(UsbLibrary::Status status, const QString& error)
{
    if (status == UsbLibrary::Ok) {
        readBack();
        return {};
    }
    return QStringLiteral("could not switch board %1 - %2").arg(printableText(info_.serial), error);
}

void HeldBoard::readBack()
{
    std::uint8_t pins = 0;
    if (link_->read(slot_, pins) != UsbLibrary::Ok)
        return;  // the link says so: whoever holds the board looks at the bus
    pins_ = pins;
    emit changed();
}

QString HeldBoard::setRelay(int relay, bool on)
{
    player_->stop();
    const std::uint8_t bit = RelayPattern::bit(relay);
    pulser_->cancel(bit);
    RelayBoard relays(*link_, slot_);
    const UsbLibrary::Status status = relays.setRelays(bit, on ? bit : 0);
    return written(status, relays.error());
}

QString HeldBoard::toggleRelay(int relay)
{
    player_->stop();
    const std::uint8_t bit = RelayPattern::bit(relay);
    pulser_->cancel(bit);
    RelayBoard relays(*link_, slot_);
    const UsbLibrary::Status status = relays.toggleRelays(bit);
    return written(status, relays.error());
}

QString HeldBoard::pulse(int relay, RelayPulser::Kind kind, int ms)
{
    player_->stop();
    pulser_->cancel(RelayPattern::bit(relay));
    std::array<int, 8> lengths{};
    lengths[std::size_t(relay - 1)] = pulseLength(named_, relay, ms);
    const UsbLibrary::Status status = pulser_->start(kind, lengths);
    return written(status, pulser_->error());
}

QString HeldBoard::setPattern(std::uint8_t pattern)
{
    player_->stop();
    pulser_->cancel(0xFF);
    RelayBoard relays(*link_, slot_);
    const UsbLibrary::Status status = relays.write(pattern);
    return written(status, relays.error());
}

QString HeldBoard::startWith(std::uint8_t pattern)
{
    RelayBoard relays(*link_, slot_);
    const UsbLibrary::Status status = relays.write(pattern);
    // Read back without a word: the board's first state is said with its availability.
    if (std::uint8_t pins = 0; link_->read(slot_, pins) == UsbLibrary::Ok)
        pins_ = pins;
    return status == UsbLibrary::Ok ? QString() : relays.error();
}

QString HeldBoard::play(std::vector<QByteArray> rows, int tickMs, bool repeat)
{
    const QString error = player_->play(std::move(rows), tickMs, repeat);
    if (!error.isEmpty())
        return QStringLiteral("ignored a program for board %1: %2").arg(printableText(info_.serial), error);
    programLoaded_ = true;
    pulser_->cancel(0xFF);
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
    if (pulser_->pending())
        pulser_->finish();
}

bool HeldBoard::answers() const
{
    std::uint8_t pins = 0;
    return link_->read(slot_, pins) == UsbLibrary::Ok;
}
