#pragma once

#include <QString>
#include <QStringList>

namespace elo {

constexpr int Start = 1500;
constexpr int K = 32;

// The 16 named ranks, lowest first, with the Elo each one starts at.
struct Rank {
    int from;
    const char *title;
};
const Rank *ranks(int *count);
QString titleFor(int elo);

// Points the winner of a set gains and the loser gives up (always the same amount, at least 1).
int delta(int winnerElo, int loserElo);

} // namespace elo
