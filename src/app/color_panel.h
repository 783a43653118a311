#pragma once

#include <QLabel>

// Colours in the encoding that the panels are read back in: red in the
// lowest byte, green in the next, blue in the third.
namespace Colors {
inline constexpr int Red = 0x0000FF;         // 255
inline constexpr int Lime = 0x00FF00;        // 65280
inline constexpr int Green = 0x008000;
inline constexpr int ButtonFace = static_cast<int>(0x8000000F);  // the window's face colour
}

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
