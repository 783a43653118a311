#pragma once

#include <QAbstractTableModel>
#include <QByteArray>

#include <vector>

// The rows of the program list: one column of single-byte text, never fewer
// than one row. The rows are the program; nothing else holds it.
class ProgramModel final : public QAbstractTableModel {
    Q_OBJECT
public:
    explicit ProgramModel(QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

    int count() const { return static_cast<int>(rows_.size()); }
    const QByteArray& text(int row) const { return rows_[static_cast<std::size_t>(row)]; }
    void setText(int row, const QByteArray& text);

    // Grows with empty rows or cuts rows off the end; never below one row.
    void setCount(int count);
    void replaceAll(std::vector<QByteArray> rows);
    const std::vector<QByteArray>& rows() const { return rows_; }

private:
    std::vector<QByteArray> rows_;
};
