#pragma once

#include <QWidget>

class QLineEdit;
class QToolButton;

// Two arrow buttons beside an edit. An arrow click, or the Up or Down key in
// the edit, emits stepped() with +1 or -1; what a step does is the owner's.
class UpDown final : public QWidget {
    Q_OBJECT
public:
    UpDown(QLineEdit* buddy, QWidget* parent = nullptr);

signals:
    void stepped(int delta);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QLineEdit* buddy_;
};
