#include "window/widgets/up_down.h"

#include <QKeyEvent>
#include <QLineEdit>
#include <QToolButton>
#include <QVBoxLayout>

UpDown::UpDown(QLineEdit* buddy, QWidget* parent) : QWidget(parent), buddy_(buddy)
{
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    for (int delta : {+1, -1}) {
        auto* arrow = new QToolButton(this);
        arrow->setObjectName(delta > 0 ? QStringLiteral("UpArrow") : QStringLiteral("DownArrow"));
        arrow->setArrowType(delta > 0 ? Qt::UpArrow : Qt::DownArrow);
        arrow->setAutoRepeat(true);
        arrow->setFocusPolicy(Qt::NoFocus);
        arrow->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
        column->addWidget(arrow);
        connect(arrow, &QToolButton::clicked, this, [this, delta] { emit stepped(delta); });
    }
    buddy_->installEventFilter(this);
}

bool UpDown::eventFilter(QObject* watched, QEvent* event)
{
    // The arrow keys in the edit work like the arrow buttons.
    if (watched == buddy_ && event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent*>(event)->key();
        if (key == Qt::Key_Up || key == Qt::Key_Down) {
            emit stepped(key == Qt::Key_Up ? +1 : -1);
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}
