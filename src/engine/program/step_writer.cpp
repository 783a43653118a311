#include "engine/program/step_writer.h"

#include "engine/device/board_link.h"
#include "engine/device/board_lock.h"
#include "engine/device/interlock.h"
#include "engine/program/program_row.h"

StepWriter::StepWriter(BoardLink& link, int index, QObject* parent)
    : QObject(parent), link_(link), index_(index)
{
    makeTimer_.setSingleShot(true);
    makeTimer_.setTimerType(Qt::PreciseTimer);
    connect(&makeTimer_, &QTimer::timeout, this, &StepWriter::make);
}

StepWriter::~StepWriter() = default;

QString StepWriter::refusal(const std::vector<QByteArray>& rows) const
{
    for (std::size_t row = 0; row < rows.size(); ++row) {
        const QString why =
            Interlock::conflict(link_.rules(index_), ProgramRow::pattern(rows[row], static_cast<int>(row)));
        if (!why.isEmpty())
            return QStringLiteral("row %1 cannot be played: %2").arg(row + 1).arg(why);
    }
    return {};
}

QString StepWriter::error() const
{
    return error_.isEmpty() ? link_.lastError() : error_;
}

UsbLibrary::Status StepWriter::write(std::uint8_t pattern)
{
    cancel();
    error_.clear();
    auto lock = link_.lock(index_, BoardLock::WaitMs);
    if (!lock->held()) {
        error_ = lock->error();
        return UsbLibrary::Failed;
    }
    const BoardRules& rules = link_.rules(index_);
    std::uint8_t pins = 0;
    if (!rules.interlocks.isEmpty())
        if (const auto status = link_.read(index_, pins); status != UsbLibrary::Ok)
            return status;
    const std::uint8_t first = Interlock::breakPattern(rules, pins, pattern);
    const UsbLibrary::Status status = link_.write(index_, first);
    if (status == UsbLibrary::Ok && first != pattern) {
        pending_ = pattern;
        lock_ = std::move(lock);
        makeTimer_.start(rules.deadTimeMs);
    }
    return status;
}

void StepWriter::make()
{
    const auto status = link_.write(index_, pending_);
    lock_.reset();
    if (status != UsbLibrary::Ok)
        emit makeFailed(link_.lastError());
    else
        emit made();
}

void StepWriter::cancel()
{
    makeTimer_.stop();
    lock_.reset();
}
