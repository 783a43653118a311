#pragma once

#include <QWidget>

class WindowSession;
class LimitedEdit;
class QLabel;
class QPushButton;

// The "Setting" dialog that renames one relay's two labels. Modeless: it is
// shown next to the main window, which stays usable. OK or Enter stores the
// two texts in the label table and hides the dialog, unless the session
// refuses them (a message says why and the dialog stays); closing it from
// the window frame stores nothing.
class LabelDialog final : public QWidget {
    Q_OBJECT
public:
    // The dialog edits the labels of the relay the session last named.
    explicit LabelDialog(WindowSession& session);

    // Puts the texts the session gives into the two edits.
    void showTexts(const QString& onText, const QString& offText);

    LimitedEdit* Edit1;
    LimitedEdit* Edit2;
    QPushButton* Button1;
    QLabel* Label1;
    QLabel* Label2;

    void completeLabelEdit();  // Button1Click, and Enter in the dialog

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    static bool isEnter(const QEvent* event);

    WindowSession& session_;
};
