// Windows-1252 texts at the window toolkit's edge. A character that the code
// page lacks becomes '?', as Windows does for an ANSI program.
#pragma once

#include <QString>

#include "platform/text.h"

namespace platform {

inline QString ToQString(const AnsiString& s) {
    const std::string utf8 = AnsiToUtf8(s);
    return QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size()));
}

inline AnsiString FromQString(const QString& s) {
    const QByteArray utf8 = s.toUtf8();
    return Utf8ToAnsi(std::string_view(utf8.constData(), static_cast<std::size_t>(utf8.size())));
}

// Message texts use a lone carriage return as their line break.
inline QString ToDisplayText(const AnsiString& s) {
    QString text = ToQString(s);
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    text.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    return text;
}

}  // namespace platform
