#pragma once
// The sign-in dialog's own checks, before anything goes to the server.

#include <QString>

// Empty when the name (already trimmed) and password may be sent, otherwise the warning to show.
// `repeat` counts only when creating an account.
QString loginProblem(const QString &name, const QString &password, const QString &repeat, bool create);
