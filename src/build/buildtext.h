#pragma once
// Small text helpers shared by the build pipeline's files (private to src/build).

#include <QCoreApplication>
#include <QDir>
#include <QString>

namespace buildtext {

// The page's words: one translation context for all it shows.
inline QString pageText(const char *text)
{
    return QCoreApplication::translate("BuildPage", text);
}

inline QString native(const QString &path)
{
    return QDir::toNativeSeparators(path);
}

// Error texts may hold paragraphs; a launcher log entry is one line.
inline QString oneLine(QString text)
{
    text.replace(QLatin1Char('\n'), QLatin1Char(' '));
    return text;
}

} // namespace buildtext
