#pragma once

#include <QByteArray>
#include <QObject>

#include <vector>

// The rows of a program, never fewer than one, and the current row. The rows
// are the program; a view shows them and the signals say what changed.
class ProgramList final : public QObject {
    Q_OBJECT
public:
    explicit ProgramList(QObject* parent = nullptr);

    int count() const { return static_cast<int>(rows_.size()); }
    const QByteArray& text(int row) const { return rows_[static_cast<std::size_t>(row)]; }
    const std::vector<QByteArray>& rows() const { return rows_; }
    void setText(int row, const QByteArray& text);

    // Grows with empty rows or cuts rows off the end; never below one row.
    // When the current row is cut off, the new last row becomes current.
    void setCount(int count);
    // New rows; row 0 becomes current.
    void replaceAll(std::vector<QByteArray> rows);

    int current() const { return current_; }
    // Moves the current row; out-of-range rows are ignored.
    void setCurrent(int row);

signals:
    void aboutToResize(int from, int to);
    void resized(int from, int to);
    void aboutToReplace();
    void replaced();
    void textChanged(int row);
    void currentChanged(int row);

private:
    std::vector<QByteArray> rows_;
    int current_ = 0;
};
