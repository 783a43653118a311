// Timer mode: the step bars, the program list and its files, and the runner.
#include "session/window_session.h"

#include "engine/device/relay_board.h"
#include "engine/program/program_file.h"
#include "engine/program/program_row.h"
#include "engine/program/range_error.h"

#include <utility>

// ---------------------------------------------------------------- step bars

void WindowSession::toggleStepBar(int relay)
{
    requireBoards();
    std::uint8_t bars = 0;
    for (int r = 1; r <= RelayCount; ++r)
        bars |= barLowered(r) ? 0 : RelayPattern::bit(r);
    const std::uint8_t bit = RelayPattern::bit(relay);
    const std::uint8_t planned = timeline(selected).headed(bars, bit, static_cast<std::uint8_t>(~bars));
    if (refused(QStringLiteral("Switching relay %1").arg(relay), planned))
        return;
    // A bar raised lowers the others of its interlock group.
    const auto lowered = static_cast<std::uint8_t>(bars & ~planned & ~bit);
    setBar(relay, barLowered(relay));
    for (int other = 1; other <= RelayCount; ++other)
        if (lowered & RelayPattern::bit(other))
            setBar(other, false);
    writeStepBarsToBoard();
    awaitMakes();
    indicatorsFromStepBars();
    pause(PauseMs);
    currentRowFromBoard();
    updateCurrentRowDuration();
    captionsFromBoard();
    copyCaptionToStepBar(static_cast<unsigned>(relay));
    for (unsigned other = 1; other <= RelayCount; ++other)
        if (lowered & RelayPattern::bit(static_cast<int>(other)))
            copyCaptionToStepBar(other);
}

void WindowSession::writeStepBarsToBoard()
{
    std::uint8_t state = 0;
    for (int relay = 1; relay <= RelayCount; ++relay)
        if (!barLowered(relay))
            state |= static_cast<std::uint8_t>(1u << (relay - 1));
    relayByte = state;
    writeRelayByte();
}

void WindowSession::indicatorsFromStepBars()
{
    for (int relay = 1; relay <= RelayCount; ++relay)
        setIndicator(relay, barLowered(relay) ? Lamp::Off : Lamp::On);
}

void WindowSession::stepBarsFromBoard()
{
    readRelayByte();
    for (int relay = 1; relay <= RelayCount; ++relay)
        setBar(relay, (relayByte >> (relay - 1)) & 1);
}

void WindowSession::copyCaptionToStepBar(unsigned relay)
{
    if (relay < 1 || relay > RelayCount)
        return;
    barCaptions[relay] = captions[relay];
    emit changed(BarCaptions);
}

// ---------------------------------------------------------------- program list

void WindowSession::currentRowFromBoard()
{
    readRelayByte();
    program.setText(program.current(), RelayPattern::toText(relayByte));
}

QString WindowSession::loadCurrentRow()
{
    requireBoards();
    const int row = program.current();
    const QByteArray text = currentText();
    ProgramRow::requirePattern(text, row);
    if (const QString why = timeline(selected).refusal(ProgramRow::pattern(text, row)); !why.isEmpty())
        return QStringLiteral("Row %1 cannot be loaded: %2").arg(row + 1).arg(why);
    loadAtResume_ = false;
    auto at = [&](int position) { return ProgramRow::lineChar(text, row, position); };
    for (int relay = 1; relay <= RelayCount; ++relay)
        setBar(relay, at(relay) == '1');
    for (int relay = 1; relay <= RelayCount; ++relay) {
        const auto bit = static_cast<std::uint8_t>(1u << (relay - 1));
        relayByte = at(relay) == '0' ? (relayByte & static_cast<std::uint8_t>(~bit)) : (relayByte | bit);
    }
    writeRelayByte();
    for (int relay = 1; relay <= RelayCount; ++relay)
        setIndicator(relay, at(relay) == '0' ? Lamp::Off : Lamp::On);
    for (int relay = 1; relay <= RelayCount; ++relay)
        setCaption(relay, at(relay) != '0');
    // Rows of another length carry no duration that could be read safely;
    // the timer value then stays as it is.
    if (text.size() >= 10 && text.size() <= 13)
        setTimerValue(QString::fromLatin1(text.mid(9)));
    return {};
}

bool WindowSession::loadRow(int row)
{
    program.setCurrent(row);
    // A run cannot go on in a row that cannot be played: it stops at once,
    // before the error is reported.
    QString refusal;
    try {
        refusal = loadCurrentRow();
    } catch (const RangeError&) {
        haltRun();
        throw;
    }
    if (refusal.isEmpty())
        return true;
    haltRun();
    emit errorRaised(refusal);
    return false;
}

void WindowSession::haltRun()
{
    // As Stop does; the count it puts back into a row that cannot take it
    // raises no second message.
    const bool quiet = std::exchange(quietRangeErrors_, true);
    runner.stop();
    quietRangeErrors_ = quiet;
}

bool WindowSession::makeRowCurrent(int row)
{
    return row == program.current() || loadRow(row);
}

void WindowSession::pickRow(int row)
{
    if (row < 0 || row >= program.count())
        return;
    // During a run, a row the run leaves gets back the duration its step
    // began with, and the picked row's step starts from its own duration.
    // Picking the row being counted reloads it and leaves the count alone.
    const bool leaves = runActive() && row != program.current();
    if (leaves)
        restoreStepDuration(program.current());
    if (loadRow(row) && leaves)
        runner.restartStep();
}

void WindowSession::restoreStepDuration(int row)
{
    program.setText(row, ProgramRow::withDuration(program.text(row), savedStepDuration()));
}

void WindowSession::restartStep()
{
    // The step starts over from the current row's own duration.
    const QByteArray& text = currentText();
    if (text.size() >= 10 && text.size() <= 13 && text[8] == '-')
        setTimerValue(QString::fromLatin1(text.mid(9)));
    runner.restartStep();
}

void WindowSession::beginStepInCurrentRow()
{
    // The current row becomes the step being counted, from its own duration:
    // loaded at once while running; while paused its count shows, and it is
    // loaded when the run resumes.
    if (runner.state() == ProgramRunner::State::Running) {
        if (loadRow(program.current()))
            runner.restartStep();
    } else if (runner.state() == ProgramRunner::State::Paused) {
        restartStep();
        loadAtResume_ = true;
    }
}

void WindowSession::addRow()
{
    if (runActive())
        restoreStepDuration(program.current());
    const QByteArray copy = currentText();
    program.setCount(program.count() + 1);
    program.setText(program.count() - 1, copy);
    if (makeRowCurrent(program.count() - 1) && runActive())
        runner.restartStep();
}

void WindowSession::clearLastRow()
{
    const int count = program.count();
    const bool removesCurrent = count > 1 && program.current() == count - 1;
    program.setCount(count - 1);
    // The run goes on in the new last row, as a step of its own.
    if (removesCurrent)
        beginStepInCurrentRow();
}

void WindowSession::clearAllRows()
{
    program.setCount(2);
    program.setText(0, "00000000-0");
    program.setText(1, "00000000-0");
    makeRowCurrent(1);
    makeRowCurrent(0);
    program.setCount(1);
    if (runActive())
        runner.restartStep();
}

// ---------------------------------------------------------------- program files

QString WindowSession::saveProgram(const QString& path) const
{
    std::vector<QByteArray> rows = program.rows();
    // While a step is being counted its row shows the remaining count; the
    // file keeps the step's own duration.
    if (runActive()) {
        auto& counted = rows[static_cast<std::size_t>(program.current())];
        counted = ProgramRow::withDuration(counted, savedStepDuration());
    }
    return ProgramFile::write(path, rows);
}

QString WindowSession::openProgram(const QString& path)
{
    // The list is replaced only once the file has been read whole.
    auto file = ProgramFile::read(path);
    if (!file.ok())
        return file.error;
    program.replaceAll(std::move(*file.value));
    // During a run the program goes on with its row 0 as a step of its own.
    beginStepInCurrentRow();
    return {};
}

// ---------------------------------------------------------------- runner

void WindowSession::updateCurrentRowDuration()
{
    const int row = program.current();
    const QByteArray text = currentText();
    ProgramRow::requirePattern(text, row);
    QByteArray completed = text.left(8);
    completed.append('-');

    const int p = timerPosition();
    if (p == 0) {
        completed.append('0');
    } else {
        const int digits = p <= 9 ? 1 : p <= 99 ? 2 : p <= 999 ? 3 : 4;
        if (timerValue.size() < digits)
            throw RangeError(QStringLiteral("Range error in the timer value \"%1\" of program "
                                            "row %2: it has no character %3.")
                                 .arg(timerValue)
                                 .arg(row + 1)
                                 .arg(timerValue.size() + 1));
        completed.append(timerValue.left(digits).toLatin1());
    }
    program.setText(row, completed);
}

void WindowSession::tick()
{
    // A row the runner cannot play ends the run before the error is
    // reported (see loadRow), so that no later tick raises it again.
    runner.tick();
}

void WindowSession::startOrStop()
{
    if (runActive()) {
        runner.stop();
        return;
    }
    // A first row that cannot be played starts no run.
    requireBoards();
    ProgramRow::requirePattern(program.text(0), 0);
    runner.start();
}

void WindowSession::pauseOrResume()
{
    if (runner.state() == ProgramRunner::State::Running) {
        runner.pause();
    } else if (runner.state() == ProgramRunner::State::Paused) {
        runner.resume();
        if (loadAtResume_)
            beginStepInCurrentRow();
    }
}

void WindowSession::setRepeat(bool repeat)
{
    runner.setRepeat(repeat);
    emit changed(Repeat);
}

void WindowSession::setResolution(int milliseconds)
{
    resolution = milliseconds;
    tickTimer.setInterval(milliseconds);
    resolutionText = QString::number(milliseconds);
    emit changed(Resolution);
}

void WindowSession::stepTimerValue(int delta)
{
    setTimerPosition(timerPosition() + delta);
    updateCurrentRowDuration();
}
