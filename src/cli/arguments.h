#pragma once

#include "engine/device/board_finder.h"

#include <QString>
#include <QStringList>

#include <cstdint>
#include <optional>

// The command line of kestrune-cli, checked: a command with everything it
// needs, or a usage error in words.
namespace cli {

enum class Command { Help, Version, List, Get, Set, On, Off, Pulse, Cycle, Play };

struct Arguments {
    Command command = Command::Help;
    BoardSelector select;
    bool json = false;
    std::uint8_t pattern = 0;  // set: the pattern
    QStringList relays;        // on, off, pulse, cycle: numbers, names in boards.conf, or all
    QString boardsFile;        // --boards; empty: the default file, if there is one
    int forMs = 0;             // pulse, cycle: --for; 0: each relay's own length
    QString file;              // play
    int tickMs = 1;
    bool repeat = false;
    bool offAtEnd = false;
    bool quiet = false;
    bool direct = false;       // --direct: never through the board service
};

// The arguments, or the usage error when there are none.
using Parsed = Outcome<Arguments>;

// arguments as QCoreApplication::arguments() gives them, program name first.
// Options may stand before or after the positional arguments.
Parsed parse(const QStringList& arguments);

QString usage();

}  // namespace cli
