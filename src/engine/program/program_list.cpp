#include "engine/program/program_list.h"

#include <algorithm>

ProgramList::ProgramList(QObject* parent) : QObject(parent), rows_(1) {}

void ProgramList::setText(int row, const QByteArray& text)
{
    if (row < 0 || row >= count())
        return;
    auto& slot = rows_[static_cast<std::size_t>(row)];
    if (slot == text)
        return;
    slot = text;
    emit textChanged(row);
}

void ProgramList::setCount(int wanted)
{
    wanted = std::max(wanted, 1);
    const int now = count();
    if (wanted == now)
        return;
    emit aboutToResize(now, wanted);
    rows_.resize(static_cast<std::size_t>(wanted));
    const bool currentGone = current_ >= wanted;
    if (currentGone)
        current_ = wanted - 1;
    emit resized(now, wanted);
    if (currentGone)
        emit currentChanged(current_);
}

void ProgramList::replaceAll(std::vector<QByteArray> rows)
{
    if (rows.empty())
        rows.emplace_back();
    emit aboutToReplace();
    rows_ = std::move(rows);
    current_ = 0;
    emit replaced();
    emit currentChanged(current_);
}

void ProgramList::setCurrent(int row)
{
    if (row < 0 || row >= count() || row == current_)
        return;
    current_ = row;
    emit currentChanged(row);
}
