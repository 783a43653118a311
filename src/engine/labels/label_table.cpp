#include "engine/labels/label_table.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

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

bool save(const QString& path, const LabelTable& table, QString* error)
{
    const QFileInfo info(path);
    if (info.exists() && (!info.isFile() || !info.isWritable())) {
        if (error)
            *error = QStringLiteral("%1 is not a writable file; it was left as it is").arg(path);
        return false;
    }
    QSaveFile file(path);
    // In a folder where no new file can be made, the file is written in place.
    file.setDirectWriteFallback(true);
    const QByteArray bytes = table.image();
    // Flush before committing: commit() would replace the file even when the
    // buffered write fell short (a full disk, say).
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.flush() ||
        !file.commit()) {
        if (error)
            *error = QStringLiteral("cannot write %1: %2").arg(path, file.errorString());
        return false;
    }
    return true;
}

}  // namespace LabelFile
