#include "engine/printable.h"

QString quotedBytes(QByteArrayView bytes, qsizetype max)
{
    QString text = QStringLiteral("\"");
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        if (i == max) {
            text += QStringLiteral("...");
            break;
        }
        const auto c = static_cast<unsigned char>(bytes[i]);
        if (c >= 0x20 && c < 0x7F && c != '\\' && c != '"')
            text += QLatin1Char(static_cast<char>(c));
        else
            text += QStringLiteral("\\x%1").arg(c, 2, 16, QLatin1Char('0'));
    }
    return text + QLatin1Char('"');
}
