// Feeds arbitrary bytes to the label file reader and checks what it keeps.
#include "engine/labels/label_table.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const LabelTable table = LabelTable::fromImage(bytes);
    for (int s = 0; s < LabelTable::SlotCount; ++s) {
        const QByteArray& label = table.slot(s);
        if (label.size() > LabelTable::MaxLength || label.contains('\0'))
            std::abort();
    }
    // What the program writes it reads back the same.
    const QByteArray image = table.image();
    if (image.size() != LabelTable::FileSize)
        std::abort();
    const LabelTable again = LabelTable::fromImage(image);
    for (int s = 0; s < LabelTable::SlotCount; ++s)
        if (again.slot(s) != table.slot(s))
            std::abort();
    return 0;
}
