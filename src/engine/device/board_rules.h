#pragma once

#include <QList>

// The safety rules of one board, as boards.conf gives them. Everything above
// the board link speaks of relays on and off; these rules say how that
// reaches the pins.
struct BoardRules {
    // Groups of relay numbers (1-8): at most one relay of a group may be on,
    // and a switch-over inside a group breaks before it makes.
    QList<QList<int>> interlocks;
    // The pause between the break and the make of a switch-over, 0-10000 ms.
    int deadTimeMs = 100;
    // A relay is on while its pin is low.
    bool invert = false;

    bool operator==(const BoardRules&) const = default;
};
