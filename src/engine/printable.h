#pragma once

#include <QByteArrayView>
#include <QString>

// The text for a terminal or a log: control characters and the backslash
// escaped (a tab as "\t", ESC as "\x1b", "\" as "\\"), so that a device's
// string can neither move the cursor nor break a column. Qt has no escaper
// of this form.
inline QString printableText(const QString& text)
{
    QString out;
    for (const QChar c : text) {
        if (c == QLatin1Char('\\'))
            out += QStringLiteral("\\\\");
        else if (c == QLatin1Char('\t'))
            out += QStringLiteral("\\t");
        else if (c == QLatin1Char('\n'))
            out += QStringLiteral("\\n");
        else if (c == QLatin1Char('\r'))
            out += QStringLiteral("\\r");
        else if (c.category() == QChar::Other_Control)
            out += QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0'));
        else
            out += c;
    }
    return out;
}

// Bytes for a message, in double quotes: printable ASCII as is, every other
// byte (and the backslash and the quote) as \xNN, so that no control byte
// reaches a terminal or a log. Cut after max bytes with "..."; max < 0: whole.
QString quotedBytes(QByteArrayView bytes, qsizetype max = -1);
