#include "window/widgets/program_model.h"

#include "engine/program/program_list.h"

ProgramModel::ProgramModel(const ProgramList& list, QObject* parent)
    : QAbstractTableModel(parent), list_(list)
{
    connect(&list, &ProgramList::aboutToResize, this, [this](int from, int to) {
        if (to > from)
            beginInsertRows({}, from, to - 1);
        else
            beginRemoveRows({}, to, from - 1);
    });
    connect(&list, &ProgramList::resized, this, [this](int from, int to) {
        if (to > from)
            endInsertRows();
        else
            endRemoveRows();
    });
    connect(&list, &ProgramList::aboutToReplace, this, &ProgramModel::beginResetModel);
    connect(&list, &ProgramList::replaced, this, &ProgramModel::endResetModel);
    connect(&list, &ProgramList::textChanged, this, [this](int row) {
        const QModelIndex changed = index(row, 0);
        emit dataChanged(changed, changed, {Qt::DisplayRole});
    });
}

int ProgramModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : list_.count();
}

int ProgramModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : 1;
}

QVariant ProgramModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.row() >= list_.count() || role != Qt::DisplayRole)
        return {};
    return QString::fromLatin1(list_.text(index.row()));
}

Qt::ItemFlags ProgramModel::flags(const QModelIndex& index) const
{
    return index.isValid() ? Qt::ItemIsEnabled | Qt::ItemIsSelectable : Qt::NoItemFlags;
}
