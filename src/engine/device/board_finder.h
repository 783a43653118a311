#pragma once

#include "engine/device/usb_library.h"
#include "engine/outcome.h"

#include <QString>

class BoardLink;
class BoardsConf;

// Which board a front end addresses: by number (1-based, the n of "Relay
// Board n"), by serial number or by port path; with none of them, the one
// board attached.
struct BoardSelector {
    int number = 0;  // 0: not chosen by number
    QString serial;  // empty: not chosen by serial
    QString port;    // empty: not chosen by port
    QString name;    // empty: not chosen by its name in boards.conf
};

// Finds the device a selector names among the boards attached now, from one
// discovery of link: the index it gives is opened through what that
// discovery recorded (BoardLink::open), so it is that board or none.
namespace BoardFinder {

// The 0-based index in link's discovery of the one board that matches; or
// why none does, with the attached boards listed one a line.
using Result = Outcome<int>;

// conf gives the boards' names; without it no board has a name.
Result find(BoardLink& link, const BoardSelector& selector, const BoardsConf* conf = nullptr);

// One board as a line: number, serial, description and port, tab-separated
// (a field the device does not tell stays empty; control characters
// escaped), then its name in conf when it has one.
QString line(int index, const DeviceInfo& info, const BoardsConf* conf = nullptr);

}  // namespace BoardFinder
