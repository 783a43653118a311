#pragma once

#include <QByteArray>
#include <QString>

#include <array>

// The sixteen relay labels: slots 0-7 are the turn-on labels of relays 1-8,
// slots 8-15 their turn-off labels. Each label is single-byte text of at most
// 19 bytes, stored and compared byte for byte.
class LabelTable {
public:
    static constexpr int SlotCount = 16;
    static constexpr int RecordSize = 20;
    static constexpr int MaxLength = RecordSize - 1;
    static constexpr int FileSize = SlotCount * RecordSize;

    LabelTable();  // the default labels

    static QByteArray defaultLabel(int slot);

    const QByteArray& slot(int slot) const { return slots_[static_cast<std::size_t>(slot)]; }
    void setSlot(int slot, const QByteArray& text);  // keeps at most 19 bytes

    const QByteArray& turnOn(int relay) const { return slot(relay - 1); }
    const QByteArray& turnOff(int relay) const { return slot(relay + 7); }

    // The file image: sixteen 20-byte records, each the label, a NUL and zero fill.
    QByteArray image() const;

    // Reads as much of an image as bytes holds. A record cut short by the end
    // of the data counts only if its NUL lies inside the data; a record
    // without NUL gives its first 19 bytes; slots the data does not cover keep
    // their default labels. Bytes beyond the 320th are ignored.
    static LabelTable fromImage(const QByteArray& bytes);

private:
    std::array<QByteArray, SlotCount> slots_;
};

// Labels are single-byte text shown as Latin-1.
inline QString labelText(const QByteArray& label) { return QString::fromLatin1(label); }

// The label file "labels.dat". Loading fails (and the caller keeps the
// defaults) when the file is missing or cannot be opened for reading and
// writing. Saving replaces the file atomically, or writes it in place in a
// folder where no new file can be made, and never touches a file the
// operator cannot write. Saving returns an error text, empty on success.
namespace LabelFile {
inline constexpr const char* FileName = "labels.dat";
bool load(const QString& path, LabelTable& table);
QString save(const QString& path, const LabelTable& table);
}
