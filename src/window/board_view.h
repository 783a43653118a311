#pragma once

#include <QWidget>

#include <vector>

class QLabel;
class SimulatedLibrary;

// A read-only window that shows each simulated board's eight relays as
// lamps, so the program can be watched working without hardware. It follows
// every byte written to a board.
class BoardView final : public QWidget {
    Q_OBJECT
public:
    explicit BoardView(SimulatedLibrary& library, QWidget* parent = nullptr);
    ~BoardView() override;

    // Lamp colour of relay (1-8) on board, as shown: true = energised.
    bool lampOn(int board, int relay) const;

public slots:
    void refresh();

private:
    SimulatedLibrary& library_;
    std::vector<std::vector<QLabel*>> lamps_;
    std::vector<QLabel*> states_;
    std::vector<int> shownPins_;  // per board, the pins the lamps show
};
