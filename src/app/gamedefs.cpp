// Loads the game definitions compiled into the launcher.
#include <QString>

bool loadGameDefinitions(QString *error)
{
    Q_UNUSED(error);
    return true;
}
