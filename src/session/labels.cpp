// The label table's file and the label dialog's two operations.
#include "session/window_session.h"

#include <QLoggingCategory>

void WindowSession::loadLabels()
{
    LabelTable loaded;
    if (!LabelFile::load(QString::fromLatin1(LabelFile::FileName), loaded))
        loaded = LabelTable();
    labels = loaded;
    // A relay shown on (a lime indicator) offers its turn-off label; any
    // other colour, the start-up face colour included, its turn-on label.
    for (int relay = 1; relay <= RelayCount; ++relay)
        setCaption(relay, indicators[static_cast<std::size_t>(relay)] == Lamp::On);
    for (int relay = 1; relay <= RelayCount; ++relay)
        barCaptions[static_cast<std::size_t>(relay)] = captions[static_cast<std::size_t>(relay)];
    emit changed(BarCaptions);
}

void WindowSession::saveLabels()
{
    if (const QString error = LabelFile::save(QString::fromLatin1(LabelFile::FileName), labels); !error.isEmpty())
        qCWarning(lcSession).noquote() << "labels not saved:" << error;
}

void WindowSession::relayButtonPressed(int editedLabelIndex, bool rightButton)
{
    labelBeingEdited = editedLabelIndex;
    const int relay = (editedLabelIndex - 1) % RelayCount + 1;
    labelOnText = labelText(labels.turnOn(relay));
    labelOffText = labelText(labels.turnOff(relay));
    emit changed(LabelEdits);
    if (rightButton)
        emit labelDialogRequested();
    saveLabels();
}

QString WindowSession::completeLabelEdit(const QString& onText, const QString& offText)
{
    // Labels keep at most 18 characters of what was typed, in Latin-1.
    constexpr int StoredLimit = 18;
    const QByteArray on = onText.left(StoredLimit).toLatin1();
    const QByteArray off = offText.left(StoredLimit).toLatin1();
    // A button's caption decides what its next click does: with both labels
    // the same, every click would switch the relay on.
    if (on == off)
        return QStringLiteral("The ON and OFF labels must differ: a relay button's caption tells "
                              "whether its next click switches the relay on or off.\n\n"
                              "Both would be stored as \"%1\".")
            .arg(QString::fromLatin1(on));
    const int relay = (labelBeingEdited - 1) % RelayCount + 1;
    if (relay >= 1 && relay <= RelayCount) {
        labels.setSlot(relay - 1, on);
        labels.setSlot(relay + RelayCount - 1, off);
    }
    pause(PauseMs);
    return {};
}
