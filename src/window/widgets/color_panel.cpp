#include "window/widgets/color_panel.h"

#include <QPalette>

ColorPanel::ColorPanel(const QString& caption, QWidget* parent) : QLabel(caption, parent)
{
    setAlignment(Qt::AlignCenter);
    setFrameStyle(QFrame::Panel | QFrame::Raised);
    setAutoFillBackground(true);
    setTextFormat(Qt::PlainText);
}

void ColorPanel::setColor(int color)
{
    if (color == color_)
        return;
    color_ = color;
    QPalette pal = palette();
    if (color == Colors::ButtonFace) {
        pal.setColor(QPalette::Window, QPalette().color(QPalette::Button));
    } else {
        const auto c = static_cast<unsigned>(color);
        pal.setColor(QPalette::Window, QColor(c & 0xFF, (c >> 8) & 0xFF, (c >> 16) & 0xFF));
    }
    setPalette(pal);
}
