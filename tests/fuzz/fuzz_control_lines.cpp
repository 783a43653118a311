// Feeds arbitrary bytes, cut into pieces where the first byte says, to the
// control socket's line reader, and each line to the message parser. A line
// handed out is whole, at most MaxLine bytes and in the order sent; once a
// line runs past MaxLine nothing more is handed out; a message parsed has an
// id from 0 to 2^53.
#include "engine/control/control_lines.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    const std::size_t piece = data[0] % 64 + 1;
    const QByteArray input(reinterpret_cast<const char*>(data + 1), qsizetype(size - 1));
    ControlLines::LineReader reader;
    QByteArray handedOut;
    bool overflowed = false;
    for (qsizetype at = 0; at < input.size(); at += qsizetype(piece)) {
        if (!reader.feed(input.mid(at, qsizetype(piece))))
            overflowed = true;
        while (const std::optional<QByteArray> line = reader.next()) {
            if (overflowed || line->size() > ControlLines::MaxLine || line->contains('\n'))
                std::abort();
            handedOut += *line + '\n';
            for (const bool request : {false, true})
                if (const auto message = ControlLines::parse(*line, request); message.ok() && (message.value->id < 0 || message.value->id > (qint64(1) << 53)))
                    std::abort();
        }
    }
    if (!input.startsWith(handedOut))
        std::abort();
    return 0;
}
