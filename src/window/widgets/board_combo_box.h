#pragma once

#include <QComboBox>

// An editable combo box that announces its list is about to open, so the
// boards can be discovered again before the operator picks one. A wheel turn
// picks another board only while the box has the keyboard focus.
class BoardComboBox final : public QComboBox {
    Q_OBJECT
public:
    explicit BoardComboBox(QWidget* parent = nullptr);
    void showPopup() override;

protected:
    void wheelEvent(QWheelEvent* event) override;

signals:
    void aboutToDropDown();
};
