#include "boardlink/board_combo_box.h"

BoardComboBox::BoardComboBox(QWidget* parent) : QComboBox(parent)
{
    setEditable(true);
    setInsertPolicy(QComboBox::NoInsert);
    setMaxVisibleItems(35);
}

void BoardComboBox::showPopup()
{
    emit aboutToDropDown();
    QComboBox::showPopup();
}
