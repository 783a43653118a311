#include "engine/device/relay_board.h"

#include "engine/device/board_link.h"
#include "engine/device/board_lock.h"
#include "engine/device/interlock.h"

#include <QThread>

namespace RelayPattern {

QByteArray toText(std::uint8_t pattern)
{
    QByteArray text(8, '0');
    for (int relay = 1; relay <= 8; ++relay)
        if (pattern & bit(relay))
            text[relay - 1] = '1';
    return text;
}

std::optional<std::uint8_t> fromText(QByteArrayView text)
{
    if (text.size() != 8)
        return std::nullopt;
    std::uint8_t pattern = 0;
    for (int relay = 1; relay <= 8; ++relay) {
        const char c = text[relay - 1];
        if (c != '0' && c != '1')
            return std::nullopt;
        if (c == '1')
            pattern |= bit(relay);
    }
    return pattern;
}

}  // namespace RelayPattern

RelayBoard::RelayBoard(BoardLink& link, int index, Pause pause)
    : link_(link),
      index_(index),
      pause_(pause ? std::move(pause) : [](int ms) { QThread::msleep(static_cast<unsigned long>(ms)); }),
      lockWaitMs_(BoardLock::WaitMs)
{
}

QString RelayBoard::error() const
{
    return error_.isEmpty() ? link_.lastError() : error_;
}

UsbLibrary::Status RelayBoard::read(std::uint8_t& pins)
{
    error_.clear();
    return link_.read(index_, pins);
}

UsbLibrary::Status RelayBoard::change(bool read,
                                      const std::function<std::optional<std::uint8_t>(std::uint8_t)>& next,
                                      std::uint8_t* written)
{
    error_.clear();
    if (!link_.isOpen(index_))
        return UsbLibrary::Failed;  // nothing to write to: no lock is worth waiting for
    const auto lock = link_.lock(index_, lockWaitMs_);
    if (!lock->held()) {
        error_ = lock->error();
        return UsbLibrary::Failed;
    }
    const BoardRules& rules = link_.rules(index_);
    std::uint8_t pins = 0;
    if (read || !rules.interlocks.isEmpty())
        if (const auto status = link_.read(index_, pins); status != UsbLibrary::Ok)
            return status;
    const std::optional<std::uint8_t> pattern = next(pins);
    if (!pattern)
        return UsbLibrary::Failed;
    if (const QString why = Interlock::conflict(rules, *pattern); !why.isEmpty()) {
        error_ = QStringLiteral("refused: ") + why;
        return UsbLibrary::Failed;
    }
    if (const std::uint8_t first = Interlock::breakPattern(rules, pins, *pattern); first != *pattern) {
        if (written)
            *written = first;
        if (const auto status = link_.write(index_, first); status != UsbLibrary::Ok)
            return status;
        pause_(rules.deadTimeMs);
    }
    if (written)
        *written = *pattern;
    return link_.write(index_, *pattern);
}

UsbLibrary::Status RelayBoard::write(std::uint8_t pattern, std::uint8_t* written)
{
    return change(false, [&](std::uint8_t) { return pattern; }, written);
}

std::optional<std::uint8_t> RelayBoard::switched(std::uint8_t pins, std::uint8_t mask, std::uint8_t levels)
{
    const BoardRules& rules = link_.rules(index_);
    const auto on = static_cast<std::uint8_t>(mask & levels);
    // Two relays of one group asked on together: refused, not one of them picked.
    if (const QString why = Interlock::conflict(rules, on); !why.isEmpty()) {
        error_ = QStringLiteral("refused: ") + why;
        return std::nullopt;
    }
    return Interlock::switchOn(rules, static_cast<std::uint8_t>((pins & ~mask) | on), on);
}

UsbLibrary::Status RelayBoard::setRelays(std::uint8_t mask, std::uint8_t levels, std::uint8_t* written)
{
    return change(true, [&](std::uint8_t pins) { return switched(pins, mask, levels); }, written);
}

UsbLibrary::Status RelayBoard::toggleRelays(std::uint8_t mask, std::uint8_t* written)
{
    return change(true, [&](std::uint8_t pins) { return switched(pins, mask, static_cast<std::uint8_t>(~pins)); },
                  written);
}
