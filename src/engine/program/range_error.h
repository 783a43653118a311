#pragma once

#include <QString>

#include <exception>

// Raised when a handler reads a character past the end of a text. It ends
// the running handler; what the handler did before stays done.
class RangeError final : public std::exception {
public:
    explicit RangeError(QString message) : message_(std::move(message)) {}
    const QString& message() const { return message_; }
    const char* what() const noexcept override { return "range error"; }

private:
    QString message_;
};
