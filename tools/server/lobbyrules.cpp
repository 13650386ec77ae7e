#include "lobbyrules.h"
#include "matchrules.h"

#include <algorithm>

namespace lobby {

QString kindName(Kind kind)
{
    return kind == Kind::Koth       ? QStringLiteral("koth")
           : kind == Kind::Practice ? QStringLiteral("practice")
                                    : QStringLiteral("versus");
}

QString makeCode(const std::function<quint32(quint32)> &randomBelow)
{
    const quint32 n = quint32(sizeof(CodeAlphabet) - 1);
    QString code;
    for (int i = 0; i < CodeLength; ++i)
        code += QChar::fromLatin1(CodeAlphabet[randomBelow(n) % n]);
    return code;
}

QString normalizeCode(const QString &typed)
{
    return typed.trimmed().toUpper();
}

bool isCode(const QString &code)
{
    if (code.size() != CodeLength)
        return false;
    const QString alphabet = QString::fromLatin1(CodeAlphabet);
    return std::all_of(code.begin(), code.end(), [&alphabet](QChar c) { return alphabet.contains(c); });
}

QString wrongField(const QJsonObject &msg, std::initializer_list<Field> fields)
{
    for (const Field &f : fields) {
        const QJsonValue v = msg.value(QLatin1String(f.key));
        if (v.isUndefined())
            continue;
        const bool ok = f.kind == FieldKind::Text   ? v.isString()
                        : f.kind == FieldKind::Bool ? v.isBool()
                                                    : v.isDouble();
        if (!ok)
            return QString::fromLatin1(f.key);
    }
    return {};
}

QString parseCreate(const QJsonObject &msg, const QString &hostName, int defaultRounds, CreateRequest &out,
                    QString *message)
{
    const QString wrong = wrongField(msg, {{"name", FieldKind::Text},
                                           {"game", FieldKind::Text},
                                           {"mode", FieldKind::Text},
                                           {"password", FieldKind::Text},
                                           {"rounds", FieldKind::Number},
                                           {"region", FieldKind::Text},
                                           {"character", FieldKind::Text},
                                           {"link", FieldKind::Text},
                                           {"koth", FieldKind::Bool},
                                           {"server_rtt", FieldKind::Number}});
    if (!wrong.isEmpty()) {
        *message = QStringLiteral("The field \"%1\" has the wrong type.").arg(wrong);
        return QStringLiteral("bad_request");
    }
    out.mode = msg.value("mode").toString(QStringLiteral("versus"));
    const bool koth = msg.value("koth").toBool();
    if (out.mode != "versus" && out.mode != "sparring") {
        *message = QStringLiteral("A lobby is versus or Rovivi Practice (sparring).");
        return QStringLiteral("bad_mode");
    }
    if (koth && out.mode != "versus") {
        *message = QStringLiteral("King of the Hill is played in versus.");
        return QStringLiteral("bad_mode");
    }
    out.kind = out.mode == "sparring" ? Kind::Practice : koth ? Kind::Koth : Kind::Versus;
    const QJsonValue rounds = msg.value("rounds");
    const double r = rounds.isUndefined() ? defaultRounds : rounds.toDouble();
    if (!rounds.isUndefined() && r != 1 && r != 3 && r != 5) {
        *message = QStringLiteral("A lobby plays 1, 3 or 5 rounds.");
        return QStringLiteral("bad_rounds");
    }
    // Practice is one endless round whatever was asked.
    out.rounds = out.kind == Kind::Practice ? 1 : int(r);
    out.password = msg.value("password").toString();
    if (out.password.size() > MaxPasswordLength) {
        *message = QStringLiteral("A lobby password has at most %1 characters.").arg(MaxPasswordLength);
        return QStringLiteral("bad_password");
    }
    // Tabs and line breaks fold into blanks; any other control character has no place in a name
    // that every member's menu shows.
    const QString rawName = msg.value("name").toString();
    if (std::any_of(rawName.begin(), rawName.end(),
                    [](QChar ch) { return ch.category() == QChar::Other_Control && !ch.isSpace(); })) {
        *message = QStringLiteral("A lobby name has no control characters.");
        return QStringLiteral("bad_name");
    }
    out.name = rawName.simplified().left(MaxNameLength).trimmed();
    if (out.name.isEmpty())
        out.name = QStringLiteral("%1's lobby").arg(hostName);
    out.game = msg.value("game").toString(QStringLiteral("orx")).left(32);
    if (out.game.isEmpty())
        out.game = QStringLiteral("orx");
    out.region = msg.value("region").toString().left(16);
    out.character = msg.value("character").toString().left(64);
    if (out.character.isEmpty())
        out.character = QStringLiteral("-");
    out.link = msg.value("link").toString().left(16);
    out.serverRtt = matchrules::clampRtt(msg.value("server_rtt"), -1);
    return {};
}

int playerCount(const QList<Member> &members)
{
    return int(std::count_if(members.begin(), members.end(), [](const Member &m) { return !m.spectator; }));
}

int seatCount(const QList<Member> &members)
{
    return int(std::count_if(members.begin(), members.end(), [](const Member &m) { return !m.watcher; }));
}

void kothFill(QList<Member> &members)
{
    QList<Member *> line;
    for (Member &m : members) {
        if (m.spectator && !m.watcher)
            line.append(&m);
    }
    std::stable_sort(line.begin(), line.end(),
                     [](const Member *a, const Member *b) { return a->line < b->line; });
    int players = playerCount(members);
    int next = 1;
    for (Member *m : line) {
        if (players < VersusPlayers) {
            m->spectator = false;
            m->line = 0;
            m->ready = false;
            ++players;
        } else {
            m->line = next++;
        }
    }
}

int kingOf(const QList<Member> &members, int king)
{
    for (const Member &m : members)
        if (m.accountId == king && !m.spectator)
            return king;
    for (const Member &m : members)
        if (!m.spectator)
            return m.accountId;
    return -1;
}

void kothAfterMatch(QList<Member> &members, int loserAccount)
{
    int back = 0;
    for (const Member &m : members)
        back = qMax(back, m.line);
    for (Member &m : members) {
        if (m.accountId == loserAccount && !m.spectator) {
            m.spectator = true;
            m.ready = false;
            m.line = back + 1;
        }
    }
    kothFill(members);
}

void nextCharacters(const QString last[2], const QString fallback[2], int lastWinner, const QString choice[2],
                    bool keepWinner, QString out[2], int *keep)
{
    auto lastChar = [&](int i) { return last[i].isEmpty() || last[i] == "-" ? fallback[i] : last[i]; };
    const int chooser = lastWinner == 1 || lastWinner == 2 ? 3 - lastWinner : 1;
    const bool rematch = choice[chooser - 1] == "rematch";
    for (int i = 0; i < 2; ++i)
        out[i] = rematch ? lastChar(i) : QStringLiteral("-");
    *keep = 0;
    if (keepWinner && (lastWinner == 1 || lastWinner == 2)) {
        out[lastWinner - 1] = lastChar(lastWinner - 1);
        *keep = lastWinner;
    }
}

} // namespace lobby
