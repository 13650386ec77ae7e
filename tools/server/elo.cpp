#include "elo.h"

#include <cmath>

namespace elo {

namespace {
const Rank kRanks[] = {
    {0, "Wood"},        {1000, "Stone"},  {1100, "Copper"},      {1200, "Bronze"},
    {1300, "Iron"},     {1400, "Steel"},  {1500, "Silver"},      {1575, "Gold"},
    {1650, "Platinum"}, {1725, "Cobalt"}, {1800, "Mithril"},     {1875, "Adamant"},
    {1950, "Diamond"},  {2050, "Master"}, {2150, "Grandmaster"}, {2300, "Legend"},
};
} // namespace

const Rank *ranks(int *count)
{
    *count = int(std::size(kRanks));
    return kRanks;
}

QString titleFor(int value)
{
    QString title = QString::fromLatin1(kRanks[0].title);
    for (const Rank &r : kRanks) {
        if (value >= r.from)
            title = QString::fromLatin1(r.title);
    }
    return title;
}

int delta(int winnerElo, int loserElo)
{
    const double expected = 1.0 / (1.0 + std::pow(10.0, (loserElo - winnerElo) / 400.0));
    const int d = int(std::lround(K * (1.0 - expected)));
    return d < 1 ? 1 : d;
}

} // namespace elo
