#include "window/label_dialog.h"

#include "session/window_session.h"
#include "window/widgets/limited_edit.h"

#include <QKeyEvent>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>

#include <algorithm>

namespace {
constexpr int TypedLimit = 10;
}

LabelDialog::LabelDialog(WindowSession& session) : QWidget(nullptr, Qt::Dialog), session_(session)
{
    setObjectName(QStringLiteral("Form2"));
    setWindowTitle(QStringLiteral("Setting"));
    setAttribute(Qt::WA_QuitOnClose, false);

    Label1 = new QLabel(QStringLiteral("ON"), this);
    Label1->setObjectName(QStringLiteral("Label1"));
    Label1->setGeometry(8, 16, 16, 13);
    Label2 = new QLabel(QStringLiteral("OFF"), this);
    Label2->setObjectName(QStringLiteral("Label2"));
    Label2->setGeometry(8, 48, 20, 13);

    Button1 = new QPushButton(QStringLiteral("OK"), this);
    Button1->setObjectName(QStringLiteral("Button1"));
    Button1->setGeometry(56, 88, 75, 25);
    Edit1 = new LimitedEdit(TypedLimit, this);
    Edit1->setObjectName(QStringLiteral("Edit1"));
    Edit1->setGeometry(32, 16, 121, 21);
    Edit1->setText(QStringLiteral("Edit1"));
    Edit2 = new LimitedEdit(TypedLimit, this);
    Edit2->setObjectName(QStringLiteral("Edit2"));
    Edit2->setGeometry(32, 48, 121, 21);
    Edit2->setText(QStringLiteral("Edit2"));
    Label1->setBuddy(Edit1);
    Label2->setBuddy(Edit2);
    // The captions take the width their text needs in the window's font; the
    // edits start after the wider one and keep their right edge.
    QFont font = this->font();
    font.setPointSize(8);
    setFont(font);
    Label1->adjustSize();
    Label2->adjustSize();
    const int left = std::max(32, std::max(Label1->geometry().right(), Label2->geometry().right()) + 5);
    for (QWidget* edit : {static_cast<QWidget*>(Edit1), static_cast<QWidget*>(Edit2)})
        edit->setGeometry(left, edit->y(), edit->geometry().right() + 1 - left, edit->height());
    setTabOrder(Button1, Edit1);
    setTabOrder(Edit1, Edit2);

    connect(Button1, &QPushButton::clicked, this, &LabelDialog::completeLabelEdit);
    for (QWidget* w : {static_cast<QWidget*>(Button1), static_cast<QWidget*>(Edit1),
                       static_cast<QWidget*>(Edit2)})
        w->installEventFilter(this);

    // Outer size 192 x 150 on a frame of the usual thickness.
    setFixedSize(184, 123);
    move(532, 228);
}

bool LabelDialog::isEnter(const QEvent* event)
{
    if (event->type() != QEvent::KeyPress)
        return false;
    const int key = static_cast<const QKeyEvent*>(event)->key();
    return key == Qt::Key_Return || key == Qt::Key_Enter;
}

bool LabelDialog::eventFilter(QObject* watched, QEvent* event)
{
    // Edit1KeyPress, Edit2KeyPress and Button1KeyPress: Enter completes the
    // edit; every other key reaches the control as usual.
    if (isEnter(event)) {
        completeLabelEdit();
        return true;
    }
    return QWidget::eventFilter(watched, event);
}

void LabelDialog::keyPressEvent(QKeyEvent* event)
{
    // FormKeyPress
    if (isEnter(event)) {
        completeLabelEdit();
        return;
    }
    QWidget::keyPressEvent(event);
}

void LabelDialog::showTexts(const QString& onText, const QString& offText)
{
    Edit1->setText(onText);
    Edit2->setText(offText);
}

void LabelDialog::completeLabelEdit()
{
    QString refusal;
    session_.guarded([this, &refusal] { refusal = session_.completeLabelEdit(Edit1->text(), Edit2->text()); });
    // Refused texts stay as typed, for the operator to mend.
    if (!refusal.isEmpty()) {
        QMessageBox::warning(this, windowTitle(), refusal);
        return;
    }
    hide();
}
