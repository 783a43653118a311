#include "timer/program_model.h"

ProgramModel::ProgramModel(QObject* parent) : QAbstractTableModel(parent), rows_(1) {}

int ProgramModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : count();
}

int ProgramModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : 1;
}

QVariant ProgramModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.row() >= count() || role != Qt::DisplayRole)
        return {};
    return QString::fromLatin1(text(index.row()));
}

Qt::ItemFlags ProgramModel::flags(const QModelIndex& index) const
{
    return index.isValid() ? Qt::ItemIsEnabled | Qt::ItemIsSelectable : Qt::NoItemFlags;
}

void ProgramModel::setText(int row, const QByteArray& text)
{
    if (row < 0 || row >= count())
        return;
    auto& slot = rows_[static_cast<std::size_t>(row)];
    if (slot == text)
        return;
    slot = text;
    const QModelIndex changed = index(row, 0);
    emit dataChanged(changed, changed, {Qt::DisplayRole});
}

void ProgramModel::setCount(int wanted)
{
    wanted = std::max(wanted, 1);
    const int now = count();
    if (wanted > now) {
        beginInsertRows({}, now, wanted - 1);
        rows_.resize(static_cast<std::size_t>(wanted));
        endInsertRows();
    } else if (wanted < now) {
        beginRemoveRows({}, wanted, now - 1);
        rows_.resize(static_cast<std::size_t>(wanted));
        endRemoveRows();
    }
}

void ProgramModel::replaceAll(std::vector<QByteArray> rows)
{
    if (rows.empty())
        rows.emplace_back();
    beginResetModel();
    rows_ = std::move(rows);
    endResetModel();
}
