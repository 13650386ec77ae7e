#pragma once
// The Support page: the two public channels where the project is followed, each a card with a
// button that opens its address. Names and addresses come from the distribution file
// ":/distribution/support.json".

#include "page.h"

#include <QByteArray>
#include <QList>
#include <QString>

struct SupportChannel {
    QString service;
    QString description;
    QString shortAddress;
    QString buttonText;
    QString url;
};

struct SupportContent {
    QString person;
    QList<SupportChannel> channels; // only the usable ones, in the page's order
};

// Reads the distribution file; a channel whose address is missing or not https is left out and
// named in `problems`.
SupportContent readSupportContent(const QByteArray &json, QStringList *problems);

class SupportPage : public Page {
    Q_OBJECT
public:
    // `distribution` empty: the compiled-in file.
    explicit SupportPage(QWidget *parent = nullptr, const QByteArray &distribution = QByteArray());
};
