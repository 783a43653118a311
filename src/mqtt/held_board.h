#pragma once

#include "engine/config/boards_conf.h"
#include "engine/device/relay_pulser.h"
#include "engine/outcome.h"
#include "engine/program/board_player.h"

#include <QObject>

#include <cstdint>
#include <memory>

class BoardLink;

// A board the daemon holds: a link of its own (so that its slot never moves
// when other boards come and go), its player and its pulser, and its pins as
// last read. Each operation returns an error text, empty when it was done.
class HeldBoard final : public QObject {
    Q_OBJECT
public:
    // Opens device index of a discovery in bit-bang mode under the rules of
    // boards, only if it is still the device described, and reads its pins;
    // or says why it could not.
    static Outcome<std::unique_ptr<HeldBoard>> take(UsbLibrary& library, const BoardsConf& boards, int index,
                                                    const DeviceInfo& device);
    ~HeldBoard() override;  // pending second edges are forgotten: finish first where they must happen

    const DeviceInfo& info() const { return info_; }
    const NamedBoard* named() const { return named_; }
    std::uint8_t pins() const { return pins_; }
    const BoardPlayer& player() const { return *player_; }
    // A program was accepted since the board was taken.
    bool programLoaded() const { return programLoaded_; }

    // A relay on, off or toggled, pulsed or cycled (ms 0: its pulse_ms, or
    // the default): a running program stops, and the relay's pending edge
    // is forgotten, as a later command has the last word.
    QString setRelay(int relay, bool on);
    QString toggleRelay(int relay);
    QString pulse(int relay, RelayPulser::Kind kind, int ms);
    // Every relay at once; a program stops and every pending edge is forgotten.
    QString setPattern(std::uint8_t pattern);
    // The state on_start asks for, as the board is taken: pins() follow
    // without changed(), as the board's first state is said with it.
    QString startWith(std::uint8_t pattern);
    QString play(std::vector<QByteArray> rows, int tickMs, bool repeat);
    void stop();
    void pause();
    void resume();
    // Performs the pending second edges now: before a clean exit.
    void finishPulses();
    std::uint8_t pendingPulses() const { return pulser_->pending(); }
    // Whether the board still answers a read.
    bool answers() const;

signals:
    // Something was written and pins() read back.
    void changed();
    // The program started a step, stopped, paused, resumed or failed.
    void programChanged();
    // A write or read failed: the board may be gone.
    void failed();
    // What went wrong where no caller waits for it (a pulse's end, a step).
    void problem(const QString& what);

private:
    HeldBoard(std::unique_ptr<BoardLink> link, int slot, const DeviceInfo& device, std::uint8_t pins, const NamedBoard* named);
    QString written(UsbLibrary::Status status, const QString& error);
    void readBack();

    std::unique_ptr<BoardLink> link_;
    int slot_ = -1;
    DeviceInfo info_;
    std::uint8_t pins_ = 0;
    const NamedBoard* named_ = nullptr;
    std::unique_ptr<BoardPlayer> player_;  // declared after link_: destroyed first
    std::unique_ptr<RelayPulser> pulser_;
    bool programLoaded_ = false;
};
