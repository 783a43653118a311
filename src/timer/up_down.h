#pragma once

#include <QWidget>

class QLineEdit;
class QToolButton;

// Two arrow buttons coupled to an edit. The position is whatever number the
// edit shows: reading it parses the edit's text, and setting it writes plain
// digits into the edit (and nothing when the value is unchanged). An arrow
// click moves the position by one within [min, max], then emits clicked().
class UpDown final : public QWidget {
    Q_OBJECT
public:
    UpDown(QLineEdit* buddy, int minimum, int maximum, QWidget* parent = nullptr);

    // The edit's number clamped to the range; text that is not a number
    // (an empty field, say) reads as the lowest position.
    int position() const;
    void setPosition(int value);

    void stepUp() { step(+1); }
    void stepDown() { step(-1); }

signals:
    void clicked();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void step(int delta);

    QLineEdit* buddy_;
    QToolButton* up_;
    QToolButton* down_;
    int min_;
    int max_;
};
