#pragma once
#include <QList>
#include <QString>

// A matchmaking region: the code sent to the server and the name shown to the player.
struct Region {
    QString code;
    QString name;
};

// The seven regions, in display order. Built on first use, kept until exit.
const QList<Region> &regions();
