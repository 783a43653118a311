// Feeds arbitrary bytes to the boards.conf reader: a file is refused with
// FILE:LINE: REASON, or everything it accepted keeps the file's rules.
#include "engine/config/boards_conf.h"

#include <QRegularExpression>

#include <cstdint>
#include <cstdlib>
#include <set>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const BoardsConf conf = BoardsConf::parse(QStringLiteral("b.conf"), bytes);
    static const QRegularExpression refusal(QStringLiteral("^b\\.conf:[1-9][0-9]*: \\S"));
    if (!conf.ok()) {
        if (!conf.boards.isEmpty() || !refusal.match(conf.error).hasMatch())
            std::abort();
        return 0;
    }
    std::set<QString> names;
    for (const NamedBoard& board : conf.boards) {
        if (!BoardsConf::validName(board.name) || !names.insert(board.name).second ||
            (board.serial.isEmpty() && board.port.isEmpty()) || conf.named(board.name) != &board)
            std::abort();
        std::set<QString> relays;
        for (int relay = 1; relay <= 8; ++relay) {
            const QString& name = board.relays[std::size_t(relay - 1)];
            if (!name.isEmpty() && (!BoardsConf::validName(name) || !relays.insert(name).second || board.relay(name) != relay))
                std::abort();
        }
        std::set<int> grouped;
        for (const QList<int>& group : board.rules.interlocks) {
            if (group.size() < 2)
                std::abort();
            for (const int relay : group)
                if (relay < 1 || relay > 8 || !grouped.insert(relay).second)
                    std::abort();
        }
        if (board.rules.deadTimeMs < 0 || board.rules.deadTimeMs > 10000)
            std::abort();
        for (const int ms : board.pulseMs)
            if (ms < 0 || ms > 24 * 60 * 60 * 1000)
                std::abort();
    }
    return 0;
}
