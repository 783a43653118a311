// Feeds arbitrary bytes to the window's program file reader and to the strict
// reader of the command line and the daemon, and checks their rows.
#include "engine/device/relay_board.h"
#include "engine/program/program_file.h"
#include "engine/program/program_row.h"
#include "engine/program/strict_program.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QByteArray content(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const std::vector<QByteArray> rows = ProgramFile::parse(content);
    if (rows.empty())
        std::abort();
    qsizetype kept = 0;
    for (const QByteArray& row : rows) {
        if (row.size() > ProgramFile::PieceLength || row.contains('\n'))
            std::abort();
        kept += row.size();
    }
    // Only line ends are dropped: LF, and a CR right before one.
    if (kept > content.size() || kept < content.size() - content.count('\n') * 2)
        std::abort();
    // Rows in program form survive a save and a reopen unchanged.
    std::vector<QByteArray> programRows;
    for (const QByteArray& row : rows)
        if (row.size() < ProgramFile::PieceLength && !row.contains('\r'))
            programRows.push_back(row);
    if (!programRows.empty() &&
        ProgramFile::parse(ProgramFile::serialize(programRows)) != programRows)
        std::abort();

    // Strict: the first fault and its line, or only rows, each a playable row
    // kept byte for byte; only line ends and a leading byte-order mark go.
    const StrictProgram::Result strict = StrictProgram::parse(content);
    if (strict.ok() == (strict.line > 0) || strict.ok() == strict.rows.empty())
        std::abort();
    QByteArray joined;
    for (const QByteArray& row : strict.rows) {
        const auto pattern = RelayPattern::fromText(row.left(8));
        if (!StrictProgram::rowError(row).isEmpty() || !pattern || ProgramRow::pattern(row, 0) != *pattern ||
            ProgramRow::duration(row) != row.mid(9).toInt())
            std::abort();
        joined += row;
    }
    QByteArray rest = content.startsWith("\xEF\xBB\xBF") ? content.mid(3) : content;
    if (strict.ok() && rest.replace("\r\n", "").replace("\n", "") != joined)
        std::abort();
    return 0;
}
