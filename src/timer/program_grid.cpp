#include "timer/program_grid.h"

#include <QHeaderView>
#include <QMouseEvent>

ProgramGrid::ProgramGrid(QWidget* parent) : QTableView(parent)
{
    horizontalHeader()->hide();
    verticalHeader()->hide();
    verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    verticalHeader()->setDefaultSectionSize(17);
    horizontalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    horizontalHeader()->setDefaultSectionSize(310);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setTabKeyNavigation(false);
    setWordWrap(false);
    QPalette face = palette();
    face.setBrush(QPalette::Base, face.button());
    setPalette(face);
}

int ProgramGrid::currentRow() const
{
    const QModelIndex current = currentIndex();
    return current.isValid() ? current.row() : 0;
}

void ProgramGrid::setCurrentRow(int row)
{
    if (!model() || row < 0 || row >= model()->rowCount())
        return;
    const QModelIndex target = model()->index(row, 0);
    selectionModel()->setCurrentIndex(target, QItemSelectionModel::ClearAndSelect |
                                                   QItemSelectionModel::Rows);
    scrollTo(target);
}

void ProgramGrid::mousePressEvent(QMouseEvent* event)
{
    const QModelIndex hit = indexAt(event->position().toPoint());
    if (event->button() != Qt::LeftButton || !hit.isValid()) {
        event->accept();
        return;
    }
    setFocus(Qt::MouseFocusReason);
    const int previous = currentRow();
    setCurrentRow(hit.row());
    event->accept();
    emit rowPicked(previous);
}

void ProgramGrid::mouseMoveEvent(QMouseEvent* event)
{
    // Dragging never moves the current row.
    event->accept();
}

void ProgramGrid::mouseDoubleClickEvent(QMouseEvent* event)
{
    mousePressEvent(event);
}

void ProgramGrid::keyPressEvent(QKeyEvent* event)
{
    const int before = currentRow();
    QTableView::keyPressEvent(event);
    const int after = currentRow();
    if (after != before) {
        setCurrentRow(after);
        emit rowPicked(before);
    }
}

void ProgramGrid::keyboardSearch(const QString& /*search*/)
{
    // Typed characters would move the current row, and so play a row.
}

void ProgramGrid::rowsAboutToBeRemoved(const QModelIndex& parent, int start, int end)
{
    QTableView::rowsAboutToBeRemoved(parent, start, end);
    // When the current row goes, the new last row becomes current.
    if (!parent.isValid() && currentRow() >= start && start > 0) {
        const QModelIndex target = model()->index(start - 1, 0);
        selectionModel()->setCurrentIndex(target, QItemSelectionModel::ClearAndSelect |
                                                       QItemSelectionModel::Rows);
    }
}
