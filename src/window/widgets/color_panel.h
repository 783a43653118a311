#pragma once

#include "window/looks.h"

#include <QLabel>

// A flat panel with a centred caption and a colour that reads back exactly
// as it was set.
class ColorPanel final : public QLabel {
    Q_OBJECT
public:
    explicit ColorPanel(const QString& caption, QWidget* parent = nullptr);

    int color() const { return color_; }
    void setColor(int color);

private:
    int color_ = Colors::ButtonFace;
};
