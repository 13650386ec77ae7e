#include "accountrules.h"

#include <QCoreApplication>
#include <QRegularExpression>

QString loginProblem(const QString &name, const QString &password, const QString &repeat, bool create)
{
    static const QRegularExpression pattern(QStringLiteral("^[A-Za-z0-9_-]{3,16}$"));
    if (!pattern.match(name).hasMatch())
        return QCoreApplication::translate("LoginDialog", "Names are 3-16 letters, digits, '_' or '-'.");
    if (password.size() < 6 || password.size() > 128)
        return QCoreApplication::translate("LoginDialog", "Passwords are 6-128 characters.");
    if (create && repeat != password)
        return QCoreApplication::translate("LoginDialog", "The two passwords differ.");
    return QString();
}
