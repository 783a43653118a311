#include "engine/program/board_player.h"

#include "engine/device/board_link.h"
#include "engine/program/program_row.h"

BoardPlayer::BoardPlayer(BoardTimeline& timeline, QObject* parent)
    : QObject(parent), timeline_(timeline), runner_(list_, [this](int row) { load(row); })
{
    runner_.setTimer(&timer_);
    runner_.setHeadless(&MonotonicClock::system());
    connect(&timer_, &TickTimer::timeout, &runner_, &ProgramRunner::tick);
    connect(&runner_, &ProgramRunner::finished, this, &BoardPlayer::stopped);
    connect(&timeline_, &BoardTimeline::made, this, [this] {
        if (runner_.isActive())
            emit stepMade();
    });
    connect(&timeline_, &BoardTimeline::writeFailed, this, [this](const QString& what) {
        if (!runner_.isActive())
            return;
        runner_.stop();
        emit writeFailed(what);
    });
    // Told once the runner has counted the step, so its figures include it.
    connect(&runner_, &ProgramRunner::stepStarted, this, [this](int row) {
        if (written_)
            emit stepStarted(row, *std::exchange(written_, std::nullopt), runner_.count());
    });
}

QString BoardPlayer::play(std::vector<QByteArray> rows, int tickMs, bool repeat)
{
    if (tickMs < 1 || tickMs > 60000)
        return QStringLiteral("the tick must be 1 to 60000 ms, not %1").arg(tickMs);
    if (QString error = ProgramRow::firstError(rows); !error.isEmpty())
        return error;
    for (std::size_t row = 0; row < rows.size(); ++row)
        if (const QString why = timeline_.refusal(ProgramRow::pattern(rows[row], static_cast<int>(row))); !why.isEmpty())
            return QStringLiteral("row %1 cannot be played: %2").arg(row + 1).arg(why);
    runner_.stop();
    list_.replaceAll(std::move(rows));
    timer_.setInterval(tickMs);
    runner_.setRepeat(repeat);
    runner_.start();
    return {};
}

void BoardPlayer::stop()
{
    if (!runner_.isActive())
        return;
    runner_.stop();
    timeline_.dropMakes();  // a stop never makes
    emit stopped();
}

void BoardPlayer::pause()
{
    if (runner_.state() != ProgramRunner::State::Running)
        return;
    runner_.pause();
    emit paused();
}

void BoardPlayer::resume()
{
    if (runner_.state() != ProgramRunner::State::Paused)
        return;
    runner_.resume();
    emit resumed();
}

void BoardPlayer::load(int row)
{
    list_.setCurrent(row);
    const QByteArray& text = list_.text(row);
    const std::uint8_t pattern = ProgramRow::pattern(text, row);
    // A row without a duration of its own counts on from the step before,
    // as it does in the window.
    if (const auto duration = ProgramRow::duration(text))
        runner_.setCount(*duration);
    if (const QString error = timeline_.set(0xFF, pattern); !error.isEmpty()) {
        runner_.stop();
        emit writeFailed(error);
        return;
    }
    written_ = pattern;
}

QString BoardPlayer::summary() const
{
    const HeadlessSchedule::Figures& f = figures();
    const auto ms = [](std::chrono::nanoseconds t) { return QString::number(double(t.count()) / 1e6, 'f', 3); };
    QString text = QStringLiteral("%1 steps, %2 written late, largest lateness %3 ms")
                       .arg(f.steps).arg(f.late).arg(ms(f.largest));
    if (f.end.count() >= 0)
        text += QStringLiteral(", ended %1 ms late").arg(ms(f.end));
    return text;
}
