#pragma once

#include <QAbstractTableModel>

class ProgramList;

// Shows a program list as a one-column table of single-byte text.
class ProgramModel final : public QAbstractTableModel {
    Q_OBJECT
public:
    explicit ProgramModel(const ProgramList& list, QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

private:
    const ProgramList& list_;
};
