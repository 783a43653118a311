#pragma once

#include <QComboBox>

// An editable combo box that announces its list is about to open, so the
// boards can be discovered again before the operator picks one.
class BoardComboBox final : public QComboBox {
    Q_OBJECT
public:
    explicit BoardComboBox(QWidget* parent = nullptr);
    void showPopup() override;

signals:
    void aboutToDropDown();
};
