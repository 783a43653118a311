#pragma once

#include <QWidget>

// The dark, gridded backdrop behind the step bars. It only frames them:
// nothing feeds it data.
class PerformanceGraph final : public QWidget {
    Q_OBJECT
public:
    explicit PerformanceGraph(QWidget* parent = nullptr);

protected:
    void paintEvent(QPaintEvent* event) override;
};
