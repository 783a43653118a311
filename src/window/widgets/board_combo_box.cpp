#include "window/widgets/board_combo_box.h"

#include <QWheelEvent>

BoardComboBox::BoardComboBox(QWidget* parent) : QComboBox(parent)
{
    setEditable(true);
    setInsertPolicy(QComboBox::NoInsert);
    setMaxVisibleItems(35);
    setFocusPolicy(Qt::StrongFocus);  // a wheel turn alone does not take the focus
}

void BoardComboBox::showPopup()
{
    emit aboutToDropDown();
    QComboBox::showPopup();
}

void BoardComboBox::wheelEvent(QWheelEvent* event)
{
    // Without the focus a wheel turn, meant to scroll past the box, would
    // silently pick another board.
    if (!hasFocus()) {
        event->ignore();
        return;
    }
    QComboBox::wheelEvent(event);
}
