#pragma once

#include <QTableView>

// The one-column grid that shows the program. The operator makes a row
// current by clicking it (the current row too) or by moving with the keys;
// each such action emits rowPicked once. Rows made current by the program
// (setCurrentRow) emit nothing. Character keys do nothing: there is no
// type-ahead search. The cells show the window's face colour.
class ProgramGrid final : public QTableView {
    Q_OBJECT
public:
    explicit ProgramGrid(QWidget* parent = nullptr);

    int currentRow() const;

public slots:
    // Makes row current and selected, without emitting rowPicked.
    void setCurrentRow(int row);

signals:
    void rowPicked(int row);

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void keyboardSearch(const QString& search) override;
};
