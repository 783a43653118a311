#include "window/widgets/performance_graph.h"

#include <QLinearGradient>
#include <QPainter>

PerformanceGraph::PerformanceGraph(QWidget* parent) : QWidget(parent)
{
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void PerformanceGraph::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    QLinearGradient fill(0, 0, 0, height());
    fill.setColorAt(0.0, QColor(0, 48, 0));
    fill.setColorAt(1.0, Qt::black);
    painter.fillRect(rect(), fill);
    painter.setPen(QColor(0, 128, 0));
    constexpr int Cell = 12;
    for (int x = 0; x < width(); x += Cell)
        painter.drawLine(x, 0, x, height());
    for (int y = height() - 1; y >= 0; y -= Cell)
        painter.drawLine(0, y, width(), y);
}
