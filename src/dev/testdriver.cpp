#include "dev/testdriver.h"

#include "bridge/menubridge.h"
#include "core/log.h"
#include "dev/driverrules.h"
#include "game/gameprocess.h"
#include "match/matchseries.h"
#include "platform/platform.h"

#include <QFile>
#include <QJsonArray>
#include <QTimer>

namespace {

QString str(const QJsonObject &o, const char *key)
{
    return o.value(QLatin1String(key)).toString();
}

bool holdsName(const QJsonValue &list, const QString &name)
{
    return list.toArray().contains(QJsonValue(name));
}

// The game is showing a match (or its ending): a rating waits until the match is over on screen.
bool matchOnScreen(MatchController::Phase phase)
{
    return (phase >= MatchController::Connecting && phase <= MatchController::Finishing) ||
           phase == MatchController::Watching;
}

} // namespace

TestDriver::TestDriver(const LaunchOptions &opts, ServerClient *serverClient, MatchController *controller,
                       MenuBridge *menuBridge, QObject *parent)
    : QObject(parent), options(opts), server(serverClient), match(controller), bridge(menuBridge)
{
    bridge->setCharacter(options.character == QLatin1String("-") ? QString() : options.character);

    connect(server, &ServerClient::stateChanged, this, &TestDriver::onState);
    connect(server, &ServerClient::loggedIn, this,
            [this] { QTimer::singleShot(300, this, &TestDriver::tryStartFlow); });
    connect(server, &ServerClient::message, this, &TestDriver::onMessage);
    connect(match, &MatchController::gameStatusChanged, this, [this] {
        if (!flowStarted)
            QTimer::singleShot(0, this, &TestDriver::tryStartFlow);
    });
    connect(match, &MatchController::matchFound, this, &TestDriver::onMatchFound);
    connect(match, &MatchController::seriesChanged, this, &TestDriver::onSeriesChanged);
    connect(match, &MatchController::phaseChanged, this,
            [this](MatchController::Phase phase, const QString &) { onPhase(phase); });

    if (!options.queue.isEmpty() || !options.lobby.isEmpty() || options.play)
        QTimer::singleShot(500, this, &TestDriver::startGame);
}

void TestDriver::ask(const QString &line)
{
    logCli(QStringLiteral("ask %1").arg(line));
    bridge->handleRequest(line);
}

void TestDriver::logCli(const QString &text)
{
    appendLog(QStringLiteral("cli: ") + text);
}

QString TestDriver::lobbyName() const
{
    return driverrules::lobbyName(options.lobbyName);
}

QString TestDriver::lobbyMode() const
{
    return driverrules::lobbyMode(options.mode);
}

QString TestDriver::password() const
{
    return qEnvironmentVariable(options.passwordEnv.toLocal8Bit().constData());
}

void TestDriver::startGame()
{
    if (playStarted)
        return;
    playStarted = true;
    QString reason;
    if (match->startPlayerGame(&reason))
        logCli(QStringLiteral("the game is starting, as PLAY does"));
    else
        logCli(QStringLiteral("the game could not start: %1").arg(reason));
}

void TestDriver::onState(ServerClient::State state)
{
    // An answer can never come over a link that dropped: forget the request, so that the next
    // connection signs in again.
    if (state == ServerClient::Offline || state == ServerClient::Connecting)
        loginRequestId = -1;
    if (state == ServerClient::Rovivi)
        signIn();
}

void TestDriver::signIn()
{
    // After a test drop the link resumes with its token by itself; a password login would be a
    // second session.
    if (options.user.isEmpty() || server->state() == ServerClient::LoggedIn || loginRequestId != -1 ||
        dropScheduled)
        return;
    const QString secret = password();
    if (secret.isEmpty()) {
        logCli(QStringLiteral("%1 is not set; not signing in").arg(options.passwordEnv));
        return;
    }
    loginFallbackUsed = loginFallbackUsed || !options.registerAccount;
    loginRequestId = options.registerAccount ? server->registerAccount(options.user, secret)
                                             : server->login(options.user, secret);
    logCli(QStringLiteral("signing in as %1").arg(options.user));
}

bool TestDriver::takeLoginAnswer(const QJsonObject &msg)
{
    if (loginRequestId == -1)
        return false;
    const QJsonValue id = msg.value(QLatin1String("id"));
    if ((id.isUndefined() ? -2 : id.toInteger(-2)) != loginRequestId)
        return false;
    loginRequestId = -1;
    if (str(msg, "type") != QLatin1String("error"))
        return true; // the link's loggedIn follows
    const QString code = str(msg, "code");
    logCli(QStringLiteral("login failed: %1").arg(code));
    if (code == QLatin1String("name_taken") && !loginFallbackUsed) {
        // The account exists already: sign in to it, once.
        loginFallbackUsed = true;
        loginRequestId = server->login(options.user, password());
    }
    return true;
}

void TestDriver::onMessage(const QJsonObject &msg)
{
    if (takeLoginAnswer(msg) || options.lobby.isEmpty())
        return;
    const QString type = str(msg, "type");
    if (type == QLatin1String("lobbies")) {
        onLobbies(msg);
    } else if (type == QLatin1String("lobby")) {
        if (options.lobbyOwnFirst && !lobbyFound)
            ownLobbyMade = true;
        lobbySteps(msg);
    }
}

void TestDriver::tryStartFlow()
{
    if (flowStarted || (options.queue.isEmpty() && options.lobby.isEmpty()) ||
        server->state() != ServerClient::LoggedIn)
        return;
    GameProcess *game = match->matchGame();
    if (!game || !game->isMenuGame() || !game->isRunning() || game->statusWord() != QLatin1String("ready"))
        return;
    flowStarted = true;
    if (options.queue.isEmpty()) {
        startLobbyFlow();
        return;
    }
    logCli(QStringLiteral("queueing %1").arg(options.queue));
    ask(QStringLiteral("queue kind=%1").arg(options.queue));
    if (options.cancelSearchSeconds >= 0) {
        QTimer::singleShot(options.cancelSearchSeconds * 1000, this, [this] {
            const MatchController::Phase phase = match->phase();
            if (phase == MatchController::Searching || phase == MatchController::Found)
                ask(QStringLiteral("cancel"));
        });
    }
}

void TestDriver::onMatchFound(const QJsonObject &found)
{
    if (options.autoAcceptSeconds < 0 || !found.value(QLatin1String("accept_required")).toBool())
        return;
    const QString matchId = str(found, "match");
    QTimer::singleShot(options.autoAcceptSeconds * 1000, this, [this, matchId] {
        // Accepted by hand, cancelled or replaced meanwhile: nothing to answer.
        if (match->phase() == MatchController::Found && str(match->currentMatch(), "match") == matchId)
            ask(QStringLiteral("accept"));
    });
}

void TestDriver::onSeriesChanged(const QJsonObject &series)
{
    if (options.queue.isEmpty() || series.value(QLatin1String("ranked")).toBool() ||
        str(series, "state") != QLatin1String("between") ||
        series.value(QLatin1String("you_ready")).toBool() || match->choiceExpected() ||
        match->phase() == MatchController::AtResult)
        return;
    const QString seriesId = str(series, "series");
    if (rematchCount < options.rematches) {
        const QString key =
            seriesId + QLatin1Char('/') + QString::number(series.value(QLatin1String("played")).toInteger());
        if (key == lastRematchKey)
            return; // this pause has its choice already
        lastRematchKey = key;
        const QString choice = driverrules::rematchChoice(options.rematchChoices, rematchCount);
        ++rematchCount;
        logCli(QStringLiteral("rematch %1 of %2 (%3)").arg(rematchCount).arg(options.rematches).arg(choice));
        QTimer::singleShot(2000, this, [this, seriesId, choice] {
            const QJsonObject now = match->seriesFlow()->series();
            if (str(now, "series") == seriesId && str(now, "state") == QLatin1String("between") &&
                !now.value(QLatin1String("you_ready")).toBool())
                bridge->handleRequest(QStringLiteral("rematch value=%1").arg(choice));
        });
    } else if (options.leaveSeries) {
        logCli(QStringLiteral("leaving the series"));
        QTimer::singleShot(2000, this, [this, seriesId] {
            if (str(match->seriesFlow()->series(), "series") == seriesId)
                ask(QStringLiteral("leave"));
        });
    }
}

void TestDriver::onPhase(MatchController::Phase phase)
{
    if (phase == MatchController::Idle) {
        // The ready step may have waited for the end of a match.
        if (!options.lobby.isEmpty() && !lastLobbyMessage.isEmpty())
            lobbySteps(lastLobbyMessage);
    } else if (phase == MatchController::AtResult) {
        if (options.dropAtResultSeconds > 0 && !dropScheduled) {
            dropScheduled = true;
            QTimer::singleShot(options.dropAtResultSeconds * 1000, this, [this] {
                if (server->state() == ServerClient::Offline)
                    return;
                logCli(QStringLiteral("dropping the server connection at the result screen"));
                server->dropForTest();
            });
        }
    }
}

void TestDriver::startLobbyFlow()
{
    if (lobbyFlowStarted)
        return;
    lobbyFlowStarted = true;
    const QString name = lobbyName();
    const QString mode = lobbyMode();
    if (options.lobby == QLatin1String("host")) {
        logCli(QStringLiteral("creating %1lobby \"%2\" (%3)")
                   .arg(options.koth ? QStringLiteral("King of the Hill ") : QString(), name, mode));
        ask(QStringLiteral("lobby_create name=%1 mode=%2 koth=%3 private=0")
                .arg(driverrules::percentEncoded(name), mode,
                     options.koth ? QStringLiteral("1") : QStringLiteral("0")));
        return;
    }
    if (options.lobbyOwnFirst && options.lobby == QLatin1String("join")) {
        logCli(QStringLiteral("creating a lobby of my own first"));
        ask(QStringLiteral("lobby_create mode=%1 koth=0 private=0").arg(mode));
    }
    logCli(QStringLiteral("looking for lobby \"%1\"").arg(name));
    lobbySearchTimer = new QTimer(this);
    lobbySearchTimer->setInterval(1000);
    connect(lobbySearchTimer, &QTimer::timeout, this, &TestDriver::lobbySearchTick);
    lobbySearchTimer->start();
}

void TestDriver::lobbySearchTick()
{
    if (lobbyFound) {
        lobbySearchTimer->stop();
        return;
    }
    if (options.lobbyCodeFile.isEmpty()) {
        ask(QStringLiteral("lobbies"));
        return;
    }
    QString code;
    QFile file(options.lobbyCodeFile);
    if (file.open(QIODevice::ReadOnly))
        code = QString::fromLatin1(file.readAll()).trimmed();
    if (code.isEmpty() || (options.lobbyOwnFirst && !ownLobbyMade))
        return; // read again on the next tick
    lobbyFound = true;
    lobbySearchTimer->stop();
    joinByCode(code);
}

void TestDriver::joinByCode(const QString &code)
{
    logCli(QStringLiteral("%1 lobby %2")
               .arg(watchMode() ? QStringLiteral("watching") : QStringLiteral("joining"), code));
    ask(watchMode() ? QStringLiteral("lobby_join code=%1 watch=1").arg(code)
                    : QStringLiteral("lobby_join code=%1").arg(code));
}

void TestDriver::onLobbies(const QJsonObject &msg)
{
    if (options.lobby != QLatin1String("join") && !watchMode())
        return;
    if (lobbyFound || !lobbyFlowStarted || (options.lobbyOwnFirst && !ownLobbyMade))
        return;
    const QString code =
        driverrules::pickLobby(msg.value(QLatin1String("lobbies")).toArray(), lobbyName(), watchMode());
    if (code.isEmpty())
        return; // the next tick asks again
    lobbyFound = true;
    if (lobbySearchTimer)
        lobbySearchTimer->stop();
    joinByCode(code);
}

void TestDriver::lobbySteps(const QJsonObject &msg)
{
    const QJsonObject lobby = msg.value(QLatin1String("lobby")).toObject();
    // Until the wanted lobby is found, the messages concern the lobby of one's own.
    if (options.lobbyOwnFirst && options.lobby == QLatin1String("join") && !lobbyFound)
        return;
    lastLobbyMessage = msg;

    const QString code = str(lobby, "id");
    if (options.lobby == QLatin1String("host") && !options.lobbyCodeFile.isEmpty() && !codeWritten) {
        codeWritten = true;
        // Whole or not at all: a joiner polling the file never reads half a code.
        QString error;
        const bool written = platform::writeFileAtomically(options.lobbyCodeFile, code.toLatin1(), &error);
        logCli(QStringLiteral("lobby code %1 in %2").arg(code, options.lobbyCodeFile));
        if (!written)
            logCli(QStringLiteral("lobby code file not written: %1").arg(error));
    }

    const QString me = server->accountName();
    const QJsonObject rating = lobby.value(QLatin1String("rating")).toObject();
    if (options.rate >= 1 && !rating.isEmpty()) {
        const QString ratedMatch = str(rating, "match");
        if (ratedMatch != lastRatedMatch && holdsName(rating.value(QLatin1String("raters")), me) &&
            !holdsName(rating.value(QLatin1String("rated")), me) && !matchOnScreen(match->phase())) {
            lastRatedMatch = ratedMatch;
            logCli(QStringLiteral("rating %1's win %2").arg(str(rating, "winner")).arg(options.rate));
            server->send(QJsonObject{{QStringLiteral("type"), QStringLiteral("lobby_rate")},
                                     {QStringLiteral("match"), ratedMatch},
                                     {QStringLiteral("score"), options.rate}});
        }
    }

    if (watchMode())
        return;

    const QList<QJsonObject> players = driverrules::lobbyPlayers(lobby);
    const QJsonObject own = driverrules::ownPlayer(lobby, me);
    const bool takesPart = !own.isEmpty();

    if (str(lobby, "state") == QLatin1String("in_match")) {
        if (options.leaveLobbyInMatchSeconds > 0 && !inLobbyMatch && !leftLobby && lobbyMatchesPlayed == 0) {
            QTimer::singleShot(options.leaveLobbyInMatchSeconds * 1000, this, [this] {
                // A first match over before the timer keeps the player in, also when the next
                // one has begun.
                if (leftLobby || !inLobbyMatch || lobbyMatchesPlayed != 0)
                    return;
                leftLobby = true;
                ask(QStringLiteral("lobby_leave"));
            });
        }
        inLobbyMatch = true;
        return;
    }
    if (inLobbyMatch) {
        inLobbyMatch = false;
        ++lobbyMatchesPlayed;
        logCli(QStringLiteral("lobby match %1 of %2 over").arg(lobbyMatchesPlayed).arg(options.lobbyMatches));
    }
    if (options.leaveLobby && lobbyMatchesPlayed >= options.lobbyMatches && !leftLobby) {
        leftLobby = true;
        ask(QStringLiteral("lobby_leave"));
        return;
    }
    if (players.size() >= 2 && takesPart && lobbyMatchesPlayed < options.lobbyMatches &&
        match->phase() == MatchController::Idle && !own.value(QLatin1String("ready")).toBool() &&
        lastReadyCount != lobbyMatchesPlayed) {
        // Once per match count: a refused ready is not asked again for the same match.
        lastReadyCount = lobbyMatchesPlayed;
        ask(QStringLiteral("lobby_ready value=1"));
    }
}
