#include "window/widgets/limited_edit.h"

#include <algorithm>

LimitedEdit::LimitedEdit(int typedLimit, QWidget* parent) : QLineEdit(parent), limit_(typedLimit)
{
    connect(this, &QLineEdit::textChanged, this, [this] {
        if (!isModified())
            remember();
    });
    connect(this, &QLineEdit::textEdited, this, &LimitedEdit::onTextEdited);
    connect(this, &QLineEdit::cursorPositionChanged, this, [this](int, int now) {
        if (text() == accepted_)
            acceptedCursor_ = now;
    });
}

void LimitedEdit::remember()
{
    accepted_ = text();
    acceptedCursor_ = cursorPosition();
}

void LimitedEdit::onTextEdited(const QString& now)
{
    const bool singleByte = std::all_of(now.cbegin(), now.cend(),
                                        [](QChar c) { return c.unicode() <= 0xFF; });
    const bool fits = now.size() <= std::max<qsizetype>(limit_, accepted_.size());
    if (singleByte && fits) {
        remember();
        return;
    }
    const int cursor = acceptedCursor_;
    const QSignalBlocker block(this);
    setText(accepted_);
    setCursorPosition(cursor);
}
