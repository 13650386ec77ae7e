#include "gamedata/region.h"

#include <QCoreApplication>

const QList<Region> &regions()
{
    static const QList<Region> table{
        {QStringLiteral("na"), QCoreApplication::translate("Game", "North America")},
        {QStringLiteral("sa"), QCoreApplication::translate("Game", "South America")},
        {QStringLiteral("eu"), QCoreApplication::translate("Game", "Europe")},
        {QStringLiteral("me"), QCoreApplication::translate("Game", "Middle East")},
        {QStringLiteral("af"), QCoreApplication::translate("Game", "Africa")},
        {QStringLiteral("as"), QCoreApplication::translate("Game", "Asia")},
        {QStringLiteral("oc"), QCoreApplication::translate("Game", "Oceania")},
    };
    return table;
}
