#pragma once

#include "engine/device/board_timeline.h"
#include "engine/device/relay_board.h"
#include "engine/program/program_list.h"
#include "engine/program/program_runner.h"
#include "engine/program/tick_timer.h"

#include <QByteArray>
#include <QObject>
#include <QString>

#include <cstdint>
#include <optional>
#include <vector>

// Plays programs on one board without a window: a program list, a runner and
// a tick timer of its own. Every row is checked before anything is written;
// each step's pattern goes to the board through its timeline, under the
// board's rules: a make that must wait its dead time is pending there, and
// the next row never cancels or hastens it. A program that ends by itself
// leaves a pending make to be written at its time; stop() drops it. One
// player per board.
// It keeps time by the clock: a step begins a whole number of ticks after the
// program's start, however late the process was (see ProgramRunner).
class BoardPlayer final : public QObject {
    Q_OBJECT
public:
    explicit BoardPlayer(BoardTimeline& timeline, QObject* parent = nullptr);

    // Replaces what plays with rows, ticking every tickMs (1-60000) ms.
    // Returns an empty text when it started, else the reason (the range error
    // naming the first row that cannot be played, or the first row the
    // board's interlocks refuse); nothing is written then.
    QString play(std::vector<QByteArray> rows, int tickMs, bool repeat);
    void stop();
    void pause();
    void resume();

    ProgramRunner::State state() const { return runner_.state(); }
    int row() const { return list_.current(); }
    int rowCount() const { return list_.count(); }
    // The steps written since the last play() and how late.
    const HeadlessSchedule::Figures& figures() const { return runner_.figures(); }
    // One line: steps, how many written late, the largest lateness and,
    // once the program ended by itself, how late it ended.
    QString summary() const;

signals:
    // A step began: its row (0-based), the pattern written and its duration.
    void stepStarted(int row, std::uint8_t pattern, int duration);
    // A make that a step left pending (a change-over inside an interlock
    // group) has been written.
    void stepMade();
    // The program ended by itself, or by stop().
    void stopped();
    void paused();
    void resumed();
    // Writing a step's pattern failed (the board was pulled out, say);
    // the program is stopped.
    void writeFailed(const QString& what);

private:
    void load(int row);

    BoardTimeline& timeline_;
    ProgramList list_;
    TickTimer timer_;
    ProgramRunner runner_;
    std::optional<std::uint8_t> written_;  // the pattern the row loaded wrote
};
