#include "window/widgets/program_grid.h"

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
    setCurrentRow(hit.row());
    event->accept();
    emit rowPicked(hit.row());
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
        emit rowPicked(after);
    }
}

void ProgramGrid::keyboardSearch(const QString& /*search*/)
{
    // Typed characters would move the current row, and so play a row.
}
