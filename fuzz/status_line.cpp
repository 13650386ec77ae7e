// The game's status file: the input is what "status.txt" holds. The launcher takes its first line
// as Latin-1, trimmed (as the game channel's poll does), splits it into its word and key=value
// pairs, and builds the result it reports from them; a refused pick's reason is anonymised before
// it goes to the log or the server.

#include "match/gamelogreading.h"
#include "match/matchrules.h"

#include <QJsonObject>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char *>(data), qsizetype(size));
    const qsizetype lf = bytes.indexOf('\n');
    const QString line = QString::fromLatin1(lf < 0 ? bytes : bytes.left(lf)).trimmed();
    if (line.isEmpty())
        return 0;
    const matchrules::StatusLine status = matchrules::parseStatus(line);
    QJsonObject result{{"winner", status.values.value("winner").toInt()},
                       {"p1_rounds", status.values.value("p1_rounds").toInt()},
                       {"p2_rounds", status.values.value("p2_rounds").toInt()}};
    if (status.values.contains("p1_char"))
        result.insert("p1_char", status.values.value("p1_char"));
    if (status.values.contains("p2_char"))
        result.insert("p2_char", status.values.value("p2_char"));
    matchrules::resultSummary(result);
    if (status.word == "result")
        matchrules::resultPayload(QJsonObject{{"type", "match_result"}, {"winner", result.value("winner")}},
                                  QJsonObject{{"match", status.values.value("match")}}, {});
    const qsizetype marker = line.indexOf(QLatin1String(" refused_why="));
    if (marker >= 0)
        gamelog::anonymiseLine(line.mid(marker + 13));
    gamelog::anonymiseLine(line);
    return 0;
}
