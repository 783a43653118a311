#include "session/window_session.h"

#include "engine/config/rules_source.h"

#include <QThread>

#include <algorithm>
#include <stdexcept>

Q_LOGGING_CATEGORY(lcSession, "kestrune", QtInfoMsg)

WindowSession::WindowSession(UsbLibrary& library, QObject* parent)
    : QObject(parent),
      link(library),
      runner(program, [this](int row) { loadRow(row); }),
      pause([](int ms) { QThread::msleep(static_cast<unsigned long>(ms)); })
{
    captions.fill(QString());
    barCaptions.fill(QString());
    indicators.fill(Lamp::Unlit);
    barCaptions[1] = QStringLiteral("ABCDEFGHIJ");
    tickTimer.setInterval(1);
    runner.setTimer(&tickTimer);

    connect(&runner, &ProgramRunner::stateChanged, this, [this](ProgramRunner::State state) {
        if (state == ProgramRunner::State::Stopped)
            loadAtResume_ = false;
        emit changed(RunState);
    });
    // The timer value shows the count: the program writes it as plain digits
    // whenever the count moves away from the number shown, and puts the
    // step's own duration back when a step ends.
    connect(&runner, &ProgramRunner::countChanged, this, &WindowSession::setTimerPosition);
    connect(&runner, &ProgramRunner::stepEnded, this,
            [this](int saved) { setTimerValue(QString::number(saved)); });
}

WindowSession::~WindowSession()
{
    tickTimer.setEnabled(false);
}

// ---------------------------------------------------------------- lifecycle

void WindowSession::startUp()
{
    boards = BoardsConf::load(boardsFile, false);
    if (!boards.ok())
        emit errorRaised(boards.error);
    link.setRulesSource(rulesFrom(boards));
    loadLabels();
    setStatus(false, QStringLiteral("Board not found !"));
    program.setText(0, "00000000-0");
    program.setCount(1);
    discoverBoards();
    relayByte = 0;
    // Relay operations address the first board listed until the operator
    // picks one; it is followed wherever a later look at the bus lists it.
    if (!boardEntries.isEmpty())
        followed = boardEntries.first().device;
    // The window starts out showing the relays as the first board has them,
    // and says it found the board it shows.
    if (!boards.ok()) {
        setStatus(false, RefusedConf);  // no board was opened; the lamps stay unlit
    } else if (link.isOpen(selected)) {
        setStatus(true, QStringLiteral("Board found !"));
        refreshFromBoard();
        for (unsigned relay = 1; relay <= RelayCount; ++relay)
            copyCaptionToStepBar(relay);
    }
    tickTimer.setEnabled(false);
}

void WindowSession::shutDown()
{
    for (const auto& line : timelines_)
        if (line)
            line->dropMakes();  // nothing is made after the window is gone
    link.close(0);
    saveLabels();
}

void WindowSession::requireBoards() const
{
    if (!boards.ok())
        throw std::runtime_error(boards.error.toLocal8Bit().toStdString());
}

// ---------------------------------------------------------------- views as data

void WindowSession::setStatus(bool found, const QString& text)
{
    boardFound = found;
    statusText = text;
    emit changed(Status);
}

void WindowSession::setCaption(int relay, bool on)
{
    captions[static_cast<std::size_t>(relay)] =
        labelText(on ? labels.turnOff(relay) : labels.turnOn(relay));
    emit changed(Captions);
}

void WindowSession::setBar(int relay, bool raised)
{
    barsRaised[static_cast<std::size_t>(relay)] = raised;
    emit changed(Bars);
}

void WindowSession::setIndicator(int relay, Lamp lamp)
{
    indicators[static_cast<std::size_t>(relay)] = lamp;
    emit changed(Indicators);
}

// ---------------------------------------------------------------- timer value

int WindowSession::timerPosition() const
{
    bool ok = false;
    const int value = timerValue.toInt(&ok, 10);
    return ok ? std::clamp(value, 0, MaxTimerValue) : 0;
}

void WindowSession::setTimerValue(const QString& text)
{
    if (text == timerValue)
        return;
    timerValue = text;
    emit changed(TimerValue);
    // Only the handling of the change ends at a range error; whatever set
    // the value goes on.
    guarded([this] {
        try {
            timerValueEdited();
        } catch (const RangeError&) {
            if (!quietRangeErrors_)
                throw;
        }
    });
}

void WindowSession::setTimerPosition(int position)
{
    position = std::clamp(position, 0, MaxTimerValue);
    if (position != timerPosition())
        setTimerValue(QString::number(position));
}

void WindowSession::editTimerValue(const QString& text)
{
    if (text == timerValue)
        return;
    timerValue = text;
    emit changed(TimerValue);
    timerValueEdited();
}

void WindowSession::timerValueEdited()
{
    // The count is whatever number the timer value shows.
    runner.setCount(timerPosition());
    updateCurrentRowDuration();
}
