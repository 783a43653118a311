#include "engine/labels/label_table.h"

#include "engine/save_file.h"

#include <QFile>
#include <QFileInfo>

LabelTable::LabelTable()
{
    for (int s = 0; s < SlotCount; ++s)
        slots_[static_cast<std::size_t>(s)] = defaultLabel(s);
}

QByteArray LabelTable::defaultLabel(int slot)
{
    const int relay = slot % 8 + 1;
    return "Relay " + QByteArray::number(relay) + (slot < 8 ? " ON" : " OFF");
}

void LabelTable::setSlot(int slot, const QByteArray& text)
{
    if (slot < 0 || slot >= SlotCount)
        return;
    QByteArray label = text.left(MaxLength);
    const auto nul = label.indexOf('\0');
    if (nul >= 0)
        label.truncate(nul);
    slots_[static_cast<std::size_t>(slot)] = label;
}

QByteArray LabelTable::image() const
{
    QByteArray bytes(FileSize, '\0');
    for (int s = 0; s < SlotCount; ++s) {
        const QByteArray& label = slots_[static_cast<std::size_t>(s)];
        std::copy(label.begin(), label.end(), bytes.begin() + s * RecordSize);
    }
    return bytes;
}

LabelTable LabelTable::fromImage(const QByteArray& bytes)
{
    LabelTable table;
    const qsizetype available = std::min<qsizetype>(bytes.size(), FileSize);
    for (int s = 0; s < SlotCount; ++s) {
        const qsizetype start = static_cast<qsizetype>(s) * RecordSize;
        if (start >= available)
            break;
        const QByteArray record = bytes.mid(start, std::min<qsizetype>(RecordSize, available - start));
        const auto nul = record.indexOf('\0');
        if (nul >= 0)
            table.slots_[static_cast<std::size_t>(s)] = record.left(nul);
        else if (record.size() == RecordSize)
            table.slots_[static_cast<std::size_t>(s)] = record.left(MaxLength);
        // A record cut short without its NUL keeps the default label.
    }
    return table;
}

namespace LabelFile {

bool load(const QString& path, LabelTable& table)
{
    QFile file(path);
    if (!QFileInfo(path).isFile() || !file.open(QIODevice::ReadWrite | QIODevice::ExistingOnly))
        return false;
    const QByteArray bytes = file.read(LabelTable::FileSize);
    table = LabelTable::fromImage(bytes);
    return true;
}

QString save(const QString& path, const LabelTable& table)
{
    const QFileInfo info(path);
    if (info.exists() && (!info.isFile() || !info.isWritable()))
        return QStringLiteral("%1 is not a writable file; it was left as it is").arg(path);
    if (const QString reason = saveWholeFile(path, table.image()); !reason.isEmpty())
        return QStringLiteral("cannot write %1: %2").arg(path, reason);
    return {};
}

}  // namespace LabelFile
