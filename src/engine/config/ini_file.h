#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <optional>

// The settings files' INI style, shared by every reader of one (the daemon's
// kestruned.conf, boards.conf): "[section]" lines and "key = value" lines; a whole
// line starting with '#' or ';' is a comment. A value is taken as written,
// only one pair of surrounding double quotes dropped, so a password keeps
// every character. What the keys mean is the caller's: this reads the shape.
// Hand-written: QSettings' INI reader escapes, splits lists and lower-cases
// nothing reliably, and could not tell the line of a mistake.
namespace IniFile {

struct Entry {
    int line = 0;  // 1-based
    QString key;
    QString value;
};

struct Section {
    int line = 0;  // the "[...]" line; 0 for the lines before the first section
    QString name;  // as written between the brackets, trimmed
    QList<Entry> entries;
};

struct Result {
    QList<Section> sections;  // the first one is the unnamed one before any "[...]"
    int errorLine = 0;        // the first line that is neither of the two forms; 0: none
};

Result parse(const QByteArray& content);

// "yes", "true", "on", "1" and "no", "false", "off", "0", in any case.
std::optional<bool> truth(const QString& text);

// The content of a settings file of at most maxSize bytes, or why not, in a
// sentence that names the file.
struct FileContent {
    QByteArray content;
    QString error;  // empty when read
};
FileContent read(const QString& path, qint64 maxSize = 64 * 1024);

// Whether a settings file at a default path that could not be read is there
// all the same: nothing when it is simply absent (its name does not exist in
// a folder that exists and may be searched; a folder missing on the way
// counts alike), else why it is not "no file" (empty: it exists). A folder
// that cannot be searched, a symbolic link to nothing at any step, a loop or
// any other failure is not absence: the caller refuses the file.
std::optional<QString> notAbsent(const QString& path);

}  // namespace IniFile
