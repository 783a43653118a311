#include "timer/up_down.h"

#include <QKeyEvent>
#include <QLineEdit>
#include <QToolButton>
#include <QVBoxLayout>

UpDown::UpDown(QLineEdit* buddy, int minimum, int maximum, QWidget* parent)
    : QWidget(parent), buddy_(buddy), min_(minimum), max_(maximum)
{
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    up_ = new QToolButton(this);
    down_ = new QToolButton(this);
    up_->setObjectName(QStringLiteral("UpArrow"));
    down_->setObjectName(QStringLiteral("DownArrow"));
    up_->setArrowType(Qt::UpArrow);
    down_->setArrowType(Qt::DownArrow);
    for (auto* arrow : {up_, down_}) {
        arrow->setAutoRepeat(true);
        arrow->setFocusPolicy(Qt::NoFocus);
        arrow->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
        column->addWidget(arrow);
    }
    connect(up_, &QToolButton::clicked, this, [this] { step(+1); });
    connect(down_, &QToolButton::clicked, this, [this] { step(-1); });
    buddy_->installEventFilter(this);
}

int UpDown::position() const
{
    bool ok = false;
    const int value = buddy_->text().toInt(&ok, 10);
    if (!ok)
        return min_;
    return std::clamp(value, min_, max_);
}

void UpDown::setPosition(int value)
{
    value = std::clamp(value, min_, max_);
    if (value == position())
        return;
    buddy_->setText(QString::number(value));
}

void UpDown::step(int delta)
{
    setPosition(position() + delta);
    emit clicked();
}

bool UpDown::eventFilter(QObject* watched, QEvent* event)
{
    // The arrow keys in the edit work like the arrow buttons.
    if (watched == buddy_ && event->type() == QEvent::KeyPress) {
        const auto* key = static_cast<QKeyEvent*>(event);
        if (key->key() == Qt::Key_Up || key->key() == Qt::Key_Down) {
            step(key->key() == Qt::Key_Up ? +1 : -1);
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}
