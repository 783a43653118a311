// Feeds arbitrary bytes to the program file reader and checks its rows.
#include "timer/program_file.h"

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
    return 0;
}
