#include "testgame.h"

#include <QCoreApplication>
#include <QDir>
#include <QThread>
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>

namespace {

volatile std::sig_atomic_t closeRequest = 0;

// The launcher reads status.txt every 100 ms: a result stays up at least this long before a
// "chose" line or the menu replaces it.
constexpr int resultShownMs = 500;

void onTerminate(int)
{
    closeRequest = 1;
}

QString env(const char *name)
{
    return qEnvironmentVariable(name);
}

// A capture writes its frames one per game frame.
CaptureOptions captureOptions(const Options &o)
{
    CaptureOptions c = o.capture;
    c.frameMs = o.net.frameMs;
    return c;
}

QString recordFolder(const Options &o)
{
    if (!o.recordDir.isEmpty())
        return o.recordDir;
    const QString session = env("ORX_SESSION_DIR");
    return session.isEmpty() ? QDir::currentPath() : session;
}

} // namespace

void installCloseRequestHandler()
{
    std::signal(SIGTERM, onTerminate);
#ifdef SIGPIPE
    // Like a game with a window, it outlives a closed output pipe; only the launcher's tie ends it.
    // (Windows has no such signal: a write to a closed pipe only fails.)
    std::signal(SIGPIPE, SIG_IGN);
#endif
}

bool closeRequestPending()
{
    return closeRequest != 0;
}

TestGame::TestGame(const Options &options, const QStringList &arguments, QObject *parent)
    : QObject(parent), m_options(options), m_arguments(arguments), m_gameId(env("ORX_GAME")),
      m_instance(env("ORX_INSTANCE").toInt()), m_record(recordFolder(options)), m_log(env("ORX_LOG")),
      m_status(env("ORX_STATUS")), m_inbox(env("ORX_CMD"), options.takeAfterMs),
      m_asks(env("ORX_SESSION_DIR").isEmpty()
                 ? QString()
                 : QDir(env("ORX_SESSION_DIR")).filePath(QStringLiteral("ask.txt"))),
      m_net(options.net), m_captures(env("ORX_CAPTURE_DIR"), captureOptions(options)),
      m_ignoreQuit(options.ignoreQuit),
      m_menu(env("ORX_SESSION_DIR").isEmpty()
                 ? QString()
                 : QDir(env("ORX_SESSION_DIR")).filePath(QStringLiteral("ui.json")),
             QDir(recordFolder(options)).filePath(QStringLiteral("testgame-ui.jsonl")),
             [this](const QString &line) {
                 m_log.line(line);
                 print(line);
             })
{
    connect(&m_captures, &CaptureWriter::logLine, this, [this](const QString &text) { m_log.line(text); });
    m_choice = m_options.choice;
    m_laterChoices = m_options.laterChoices;
    if (!m_options.feedTrace.isEmpty() && !m_feedTrace.open(m_options.feedTrace))
        m_log.line(QStringLiteral("warning: cannot write the feed trace %1").arg(m_options.feedTrace));
    m_ignorePark = m_options.ignorePark;
    orderSteps(m_options.steps);
    m_tick.setInterval(20);
    connect(&m_tick, &QTimer::timeout, this, &TestGame::tick);
    m_bootTimer.setSingleShot(true);
    connect(&m_bootTimer, &QTimer::timeout, this, [this] {
        m_log.line(QStringLiteral("link: waiting at the hold point"));
        setStatus(QStringLiteral("ready"));
    });
    m_parkTimer.setSingleShot(true);
    connect(&m_parkTimer, &QTimer::timeout, this, &TestGame::parked);
    m_matchTimer.setSingleShot(true);
    connect(&m_matchTimer, &QTimer::timeout, this,
            [this] { matchEnded(resultStatus(m_match, m_net.draw())); });
    connect(&m_net, &NetMatch::logLine, this, [this](const QString &text) { m_log.line(text); });
    connect(&m_net, &NetMatch::status, this, &TestGame::matchEnded);
    connect(&m_net, &NetMatch::confirmed, this, [this](quint32 frame, quint8 p1, quint8 p2, quint32 state) {
        if (!m_feedLive)
            return;
        FeedRecord r;
        r.kind = FeedRecord::Frame;
        r.frame = frame;
        r.p1 = p1;
        r.p2 = p2;
        r.sum = state;
        m_feedTrace.note('w', m_match.match, frame);
        m_feed.write(r);
        ++m_feedFrames;
        m_feedState = state;
        if (m_options.feedPad > 0) {
            FeedRecord pad;
            pad.kind = FeedRecord::Pad;
            pad.frame = frame;
            pad.padBytes = m_options.feedPad;
            m_feed.write(pad);
        }
    });
    connect(&m_feed, &FeedOut::logLine, this, [this](const QString &text) { m_log.line(text); });
    connect(&m_watch, &FeedWatch::logLine, this, [this](const QString &text) { m_log.line(text); });
    connect(&m_watch, &FeedWatch::status, this, [this](const QString &line) {
        if (!line.startsWith(QLatin1String("in_match")))
            m_log.line(QStringLiteral("orx watch: %1").arg(line));
        setStatus(line);
    });
    connect(&m_net, &NetMatch::chosen, this, [this](const QString &choice, int chooser) {
        // Only a result screen with a choice (not after sparring) takes one.
        if (!m_atResult || !m_match.choose || m_chooser == 0 || m_chosen)
            return;
        m_chosen = true;
        m_match.choice = choice;
        reportChoice(choice, chooser);
    });
    m_choiceTimer.setSingleShot(true);
    connect(&m_choiceTimer, &QTimer::timeout, this, &TestGame::chooseNow);
    m_choseTimer.setSingleShot(true);
    connect(&m_choseTimer, &QTimer::timeout, this, [this] { setStatus(m_heldLine); });
    m_menuTimer.setSingleShot(true);
    connect(&m_menuTimer, &QTimer::timeout, this, &TestGame::leaveResultScreen);
    m_prepareTimer.setSingleShot(true);
    connect(&m_prepareTimer, &QTimer::timeout, this, [this] {
        if (m_options.prepareFail >= 0) {
            finish(m_options.prepareFail, QStringLiteral("preparation failed"));
            return;
        }
        QString error;
        if (!writePreparedMark(error)) {
            m_log.line(QStringLiteral("[error] prepare: %1").arg(error));
            finish(3, QStringLiteral("preparation failed"));
            return;
        }
        print(QStringLiteral("prepare: 100%"));
        finish(0, QStringLiteral("prepared"));
    });
}

void TestGame::start()
{
    m_clock.start();
    m_record.writeEnvironment(m_arguments);
    m_log.writeHeader(m_gameId, m_instance);
    m_log.line(QStringLiteral("testgame: started with %1").arg(m_arguments.join(QLatin1Char(' '))));
    print(QStringLiteral("orx-testgame %1/%2 booting").arg(m_gameId).arg(m_instance));
    if (m_options.prepare) {
        m_log.line(QStringLiteral("prepare: preparing the game's code for this version"));
        print(QStringLiteral("prepare: 0%"));
        m_prepareTimer.start(m_options.prepareMs);
    } else {
        setStatus(QStringLiteral("booting"));
        m_bootTimer.start(m_options.bootMs);
    }
    m_tick.start();
    tick();
}

void TestGame::tick()
{
    if (m_ending)
        return;
    if (closeRequestPending()) {
        closeRequest = 0;
        closeRequested();
        if (m_ending)
            return;
    }
    m_menu.refresh();
    runDueSteps();
    if (m_ending)
        return;
    if (!m_options.prepare) {
        const QString line = m_inbox.take();
        if (!line.isEmpty())
            handleCommand(line);
    }
    m_asks.pump();
}

void TestGame::runDueSteps()
{
    while (!m_ending && m_nextStep < m_options.steps.size() &&
           m_options.steps.at(m_nextStep).atMs + m_stepBase <= m_clock.elapsed()) {
        const ScriptStep &step = m_options.steps.at(m_nextStep);
        if (step.action == ScriptStep::Wait) {
            if (!waitStep(step))
                return;
            ++m_nextStep;
            continue;
        }
        ++m_nextStep;
        runStep(step);
    }
}

bool TestGame::waitStep(const ScriptStep &step)
{
    const WaitSpec spec = waitSpec(step);
    if (!m_waiting.isValid()) {
        m_waiting.start();
        m_log.line(QStringLiteral("menu: waiting for %1").arg(spec.condition));
    }
    if (waitHolds(m_menu.document(), spec.condition)) {
        m_waiting.invalidate();
        m_stepBase = m_clock.elapsed();
        m_log.line(QStringLiteral("menu: %1 holds").arg(spec.condition));
        return true;
    }
    if (m_waiting.elapsed() > spec.ms) {
        const QString line =
            QStringLiteral("menu: gave up waiting for %1 after %2 ms").arg(spec.condition).arg(spec.ms);
        m_log.line(line);
        print(line);
        finish(3, QStringLiteral("gave up waiting"));
    }
    return false;
}

void TestGame::runStep(const ScriptStep &step)
{
    switch (step.action) {
    case ScriptStep::Status:
        setStatus(step.text);
        break;
    case ScriptStep::Ask:
        m_asks.add(expandAsk(step.text, m_menu.document()));
        break;
    case ScriptStep::Wait:
        break; // handled where the steps are run
    case ScriptStep::Log:
        m_log.line(step.text);
        break;
    case ScriptStep::Print:
        print(step.text);
        break;
    case ScriptStep::PrintRaw:
        print(step.text, false);
        break;
    case ScriptStep::Exit:
        finish(step.text.toInt(), QStringLiteral("code %1").arg(step.text.toInt()));
        break;
    case ScriptStep::Crash:
        // A text that names its own place gets no second one.
        m_log.line(step.text.contains(QLatin1String(" at "))
                       ? QStringLiteral("crash: %1").arg(step.text)
                       : QStringLiteral("crash: %1 at testgame.cpp (runStep)")
                             .arg(step.text.isEmpty() ? QStringLiteral("crashed on request") : step.text));
        std::fflush(stdout);
        std::abort();
    case ScriptStep::HangNoticed:
        m_log.line(
            QStringLiteral("hang: %1")
                .arg(step.text.isEmpty() ? QStringLiteral("the window stopped answering") : step.text));
        [[fallthrough]];
    case ScriptStep::Hang:
        m_log.line(QStringLiteral("testgame: hanging on request"));
        std::fflush(stdout);
        for (;;)
            QThread::sleep(1);
    case ScriptStep::IgnoreQuit:
        m_ignoreQuit = true;
        break;
    case ScriptStep::HonourQuit:
        m_ignoreQuit = false;
        break;
    case ScriptStep::IgnorePark:
        m_ignorePark = true;
        break;
    case ScriptStep::HonourPark:
        m_ignorePark = false;
        break;
    case ScriptStep::Draw:
        m_net.setDraw(step.text == QLatin1String("on"));
        break;
    case ScriptStep::Choice:
        m_choice = step.text == QLatin1String("none") ? QString() : step.text;
        m_laterChoices.clear();
        // At the result screen, waiting for this player: it chooses now.
        if (m_atResult && !m_chosen && m_chooser != 0 && m_chooser == m_match.side && !m_choice.isEmpty())
            chooseNow();
        break;
    case ScriptStep::Menu:
        if (m_atResult) {
            scheduleMenu(step.text.toInt());
        } else {
            m_menuPending = true;
            m_menuMs = step.text.toInt();
        }
        break;
    case ScriptStep::Capture:
        m_captures.capture(step.text == QLatin1String("partial"));
        break;
    case ScriptStep::Outcome: {
        const QString word = step.text.section(QLatin1Char(' '), 0, 0);
        const QString frame = step.text.section(QLatin1Char(' '), 1, 1);
        m_net.setOutcome(word == QLatin1String("none") ? QString() : word,
                         frame.isEmpty() ? -1 : frame.toInt());
        break;
    }
    }
}

void TestGame::handleCommand(const QString &line)
{
    m_record.addCommand(line);
    m_log.line(QStringLiteral("link: command %1").arg(line));
    const CommandLine command = parseCommandLine(line);
    if (command.verb == QLatin1String("quit")) {
        if (m_ignoreQuit)
            m_log.line(QStringLiteral("testgame: ignoring quit"));
        else
            finish(m_options.quitCode, QStringLiteral("quit"));
    } else if (command.verb == QLatin1String("start") &&
               command.values.value(QStringLiteral("watch")) == QLatin1String("1")) {
        beginWatch(command);
    } else if (command.verb == QLatin1String("start") || command.verb == QLatin1String("rematch")) {
        beginMatch(command);
    } else if (command.verb == QLatin1String("park")) {
        park();
    } else {
        m_log.line(QStringLiteral("warning: unknown command %1").arg(command.verb));
    }
}

void TestGame::park()
{
    if (m_ignorePark) {
        m_log.line(QStringLiteral("testgame: ignoring park"));
        return;
    }
    m_matchTimer.stop();
    clearResultScreen();
    stopWatching();
    feedEnd(QStringLiteral("parked"));
    m_feed.close();
    // Back at the hold point the game port goes back to the launcher for the next search.
    m_net.release();
    if (m_options.parkMs > 0) {
        m_log.line(QStringLiteral("link: park: the ending plays first"));
        m_parkTimer.start(m_options.parkMs);
    } else {
        parked();
    }
}

void TestGame::matchEnded(const QString &ending)
{
    const QString line = m_options.wrongResult ? skewedResult(ending) : ending;
    if (!line.startsWith(QLatin1String("in_match")))
        logMatchEnd(m_log, m_match, line);
    const bool result = line.startsWith(QLatin1String("result "));
    if (!line.startsWith(QLatin1String("in_match")))
        feedEnd(line);
    if (result || line.startsWith(QLatin1String("sparring_over")))
        m_log.line(QStringLiteral("orx versus: %1").arg(line));
    setStatus(line);
    if (!result && !line.startsWith(QLatin1String("sparring_over")))
        return;
    m_atResult = true;
    m_chosen = false;
    m_chooser = 0;
    m_resultShown.start();
    if (result && m_match.choose) {
        // The loser chooses; after a draw, player 1.
        const int winner = parseCommandLine(line).values.value(QStringLiteral("winner")).toInt();
        m_chooser = winner == 1 ? 2 : 1;
        m_log.line(QStringLiteral("orx versus: player %1 chooses REMATCH, CHARACTER SELECT or LEAVE")
                       .arg(m_chooser));
        if (m_chooser == m_match.side && !m_choice.isEmpty())
            m_choiceTimer.start(m_options.choiceMs);
    }
    if (m_menuPending) {
        m_menuPending = false;
        scheduleMenu(m_menuMs);
    } else if (m_options.menuAfterMs >= 0) {
        scheduleMenu(m_options.menuAfterMs);
    }
}

int TestGame::resultShownFor(int ms) const
{
    return qMax(0, ms - int(m_resultShown.elapsed()));
}

void TestGame::chooseNow()
{
    if (!m_atResult || m_chosen || m_chooser != m_match.side || m_choice.isEmpty())
        return;
    if (m_choice != QLatin1String("rematch") && m_choice != QLatin1String("select") &&
        m_choice != QLatin1String("leave"))
        return;
    m_chosen = true;
    const QString choice = m_choice;
    m_match.choice = choice;
    if (!m_laterChoices.isEmpty())
        m_choice = m_laterChoices.takeFirst();
    // Alone there is nobody to tell.
    const bool alone = m_options.solo || m_match.remote.isEmpty();
    if (!alone && !m_net.choose(choice))
        m_log.line(QStringLiteral("warning: the choice %1 could not be sent").arg(choice));
    reportChoice(choice, m_match.side);
}

void TestGame::reportChoice(const QString &choice, int chooser)
{
    m_heldLine =
        QStringLiteral("chose choice=%1 chooser=%2 match=%3").arg(choice).arg(chooser).arg(m_match.match);
    m_log.line(QStringLiteral("orx versus: %1").arg(m_heldLine));
    m_choseTimer.start(resultShownFor(resultShownMs));
}

void TestGame::scheduleMenu(int ms)
{
    m_menuTimer.start(qMax(ms, resultShownFor(resultShownMs)));
}

void TestGame::leaveResultScreen()
{
    if (!m_atResult)
        return;
    // The opponent may still need this game's last frames to finish its match.
    if (m_net.lingering()) {
        m_menuTimer.start(50);
        return;
    }
    clearResultScreen();
    m_net.release();
    m_log.line(QStringLiteral("testgame: left the result screen for the online menu"));
    setStatus(QStringLiteral("ready"));
}

void TestGame::clearResultScreen()
{
    m_atResult = false;
    m_chosen = false;
    m_chooser = 0;
    m_choiceTimer.stop();
    m_choseTimer.stop();
    m_menuTimer.stop();
}

void TestGame::parked()
{
    m_log.line(QStringLiteral("link: parked at the hold point"));
    setStatus(QStringLiteral("ready"));
}

void TestGame::feedEnd(const QString &line)
{
    if (!m_feedLive)
        return;
    m_feedLive = false;
    FeedRecord r;
    r.kind = FeedRecord::End;
    r.frames = m_feedFrames;
    r.finalState = m_feedState;
    r.line = line;
    m_feed.write(r);
}

void TestGame::stopWatching()
{
    if (!m_watching)
        return;
    m_watching = false;
    m_watch.stop();
    m_log.line(QStringLiteral("orx watch: stopped watching"));
}

void TestGame::beginWatch(const CommandLine &command)
{
    m_bootTimer.stop();
    m_parkTimer.stop();
    m_matchTimer.stop();
    clearResultScreen();
    // A watching game plays nothing: no game port, no feed of its own.
    feedEnd(QStringLiteral("left"));
    m_feed.close();
    m_net.release();
    const auto &v = command.values;
    FeedWatch::Setup setup;
    setup.match = v.value(QStringLiteral("match"));
    setup.feed = v.value(QStringLiteral("feed"));
    setup.hasSeed = v.contains(QStringLiteral("seed"));
    setup.seed = v.value(QStringLiteral("seed")).toULongLong();
    setup.frameMs = m_options.net.frameMs;
    setup.meetMs = m_options.net.meetMs;
    setup.peerTimeoutMs = m_options.net.peerTimeoutMs;
    setup.trace = &m_feedTrace;
    m_match = MatchSetup();
    m_match.match = setup.match;
    m_watching = true;
    setStatus(setup.match.isEmpty() ? QStringLiteral("watching")
                                    : QStringLiteral("watching match=%1").arg(setup.match));
    m_watch.begin(setup);
}

void TestGame::beginMatch(const CommandLine &command)
{
    m_bootTimer.stop();
    m_parkTimer.stop();
    clearResultScreen();
    stopWatching();
    // A match given up for the next one ends in the feed too.
    feedEnd(QStringLiteral("left"));
    if (command.verb == QLatin1String("start"))
        m_feed.open(command.values.value(QStringLiteral("feed")));
    m_match.take(command);
    if (m_feed.isOpen()) {
        FeedRecord r;
        r.kind = FeedRecord::Header;
        r.match = m_match.match;
        r.mode = m_match.mode;
        r.seed = m_match.seed;
        r.side = quint8(qBound(1, m_match.side, 2));
        r.rounds = quint8(m_match.rounds);
        r.char1 = m_match.char1;
        r.char2 = m_match.char2;
        m_feed.write(r);
        m_feedLive = true;
        m_feedFrames = 0;
        m_feedState = 0;
    }
    m_log.line(
        QStringLiteral("link: %1 match %2 seed %3").arg(command.verb, m_match.match).arg(m_match.seed));
    m_log.line(QStringLiteral("orx versus: %1").arg(m_match.describe()));
    logMatchBegin(m_log, m_match);
    setStatus(m_match.match.isEmpty() ? QStringLiteral("in_match")
                                      : QStringLiteral("in_match match=%1").arg(m_match.match));
    m_matchTimer.stop();
    // Without an opponent's endpoint (or with --solo) the match is played alone.
    if (m_options.solo || m_match.remote.isEmpty()) {
        m_net.stop();
        m_matchTimer.start(m_options.matchMs);
        return;
    }
    m_net.begin(m_match, m_options.matchMs);
}

void TestGame::setStatus(const QString &line)
{
    m_status.write(line);
    print(QStringLiteral("status: %1").arg(line));
}

void TestGame::print(const QString &text, bool lineFeed)
{
    std::fputs(text.toLocal8Bit().constData(), stdout);
    if (lineFeed)
        std::fputc('\n', stdout);
    std::fflush(stdout);
}

void TestGame::closeRequested()
{
    if (m_ignoreQuit) {
        m_log.line(QStringLiteral("testgame: ignoring a close request"));
        return;
    }
    // A preparation closed early has not prepared anything.
    if (m_options.prepare)
        finish(m_options.quitCode ? m_options.quitCode : 1, QStringLiteral("window closed"));
    else
        finish(m_options.quitCode, QStringLiteral("window closed"));
}

void TestGame::finish(int code, const QString &why)
{
    if (m_ending)
        return;
    m_ending = true;
    m_tick.stop();
    m_watch.stop();
    feedEnd(QStringLiteral("left"));
    m_feed.close();
    m_net.release();
    m_log.line(QStringLiteral("Exit (%1)").arg(why));
    print(QStringLiteral("orx-testgame exits with code %1").arg(code));
    QCoreApplication::exit(code);
}
