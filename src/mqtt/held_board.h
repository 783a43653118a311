#pragma once

#include "engine/config/boards_conf.h"
#include "engine/device/board_timeline.h"
#include "engine/outcome.h"
#include "engine/program/board_player.h"

#include <QObject>

#include <array>
#include <cstdint>
#include <memory>

class BoardLink;
class BoardLock;

// A board the daemon holds: a link of its own (so that its slot never moves
// when other boards come and go), the board's lock for as long as it is
// held, its timeline (every write goes through it), its player, and its pins
// as last read. Each operation returns why it was refused or failed, in the
// timeline's or player's words, empty when it was done.
class HeldBoard final : public QObject {
    Q_OBJECT
public:
    // Takes the board's lock without waiting, then opens device index of a
    // discovery in bit-bang mode under the rules of boards, only if it is
    // still the device described, and reads its pins; or says why it could
    // not.
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
    // the default): a running program stops (its pending make dropped), and
    // the relay's pending edge gives way, as a later command has the last
    // word. A refused command changes nothing, the program included.
    QString set(std::uint8_t mask, std::uint8_t levels);
    QString setRelay(int relay, bool on);
    QString toggleRelay(int relay);
    QString pulse(int relay, bool cycle, int ms);
    QString pulse(bool cycle, const std::array<int, 8>& ms);
    // Every relay at once, as setRelay.
    QString setPattern(std::uint8_t pattern);
    // The state on_start asks for, as the board is taken: pins() follow
    // without changed(), as the board's first state is said with it.
    QString startWith(std::uint8_t pattern);
    QString play(std::vector<QByteArray> rows, int tickMs, bool repeat);
    void stop();
    void pause();
    void resume();
    // Performs the pending second edges now: before a clean exit, or before
    // the board is let go while it stays attached.
    void finishPulses();
    // Nothing is pending on the board: after finishPulses(), a cycle's make
    // that waits for its dead time is still to come.
    bool settled() const { return timeline_->idle(); }
    // The levels once the pending makes and edges are done: the state to keep.
    std::uint8_t steady() const { return timeline_->steady(); }
    // Whether the board still answers a read.
    bool answers() const;
    // The board's timeline and player, for a side that follows its writes.
    BoardTimeline& timeline() { return *timeline_; }
    BoardPlayer& player() { return *player_; }

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
    HeldBoard(std::unique_ptr<BoardLock> lock, std::unique_ptr<BoardLink> link, int slot, const DeviceInfo& device,
              std::uint8_t pins, const NamedBoard* named);
    void readBack();

    std::unique_ptr<BoardLock> lock_;
    std::unique_ptr<BoardLink> link_;
    int slot_ = -1;
    DeviceInfo info_;
    std::uint8_t pins_ = 0;
    const NamedBoard* named_ = nullptr;
    std::unique_ptr<BoardTimeline> timeline_;  // declared after link_: destroyed first
    std::unique_ptr<BoardPlayer> player_;
    bool programLoaded_ = false;
};
