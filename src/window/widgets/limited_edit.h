#pragma once

#include <QLineEdit>

// A line edit that limits what the operator types, not what the program
// puts in: an edit by the operator that would make the text longer than the
// limit (or longer than it already is, when the program set a longer text)
// is refused, and so is a character without a single-byte (Latin-1) form.
// Text set with setText() is kept whole.
class LimitedEdit final : public QLineEdit {
    Q_OBJECT
public:
    explicit LimitedEdit(int typedLimit, QWidget* parent = nullptr);
    int typedLimit() const { return limit_; }

private:
    void onTextEdited(const QString& text);
    void remember();

    int limit_;
    QString accepted_;
    int acceptedCursor_ = 0;
};
