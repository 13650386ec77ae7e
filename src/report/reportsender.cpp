#include "report/reportsender.h"

#include "build/workerthread.h"
#include "core/cfg.h"
#include "core/log.h"
#include "game/gameprocess.h"
#include "net/serverclient.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QRandomGenerator>

ReportSender::ReportSender(ServerClient *server, GameList games, QObject *parent)
    : QObject(parent), m_server(server), m_games(std::move(games)),
      m_cancel(std::make_shared<std::atomic<bool>>(false))
{
    m_clock.start();
    connect(&m_scanTimer, &QTimer::timeout, this, &ReportSender::scan);
    connect(&m_sendTimer, &QTimer::timeout, this, &ReportSender::sendTick);
    m_answerTimer.setSingleShot(true);
    connect(&m_answerTimer, &QTimer::timeout, this, [this] {
        if (!m_reportId.isEmpty())
            finish(tr("F3 report not sent: the server did not answer"));
    });
    connect(m_server, &ServerClient::message, this, &ReportSender::onMessage);
    connect(m_server, &ServerClient::stateChanged, this, &ReportSender::onStateChanged);
    setTiming(m_timing);
    m_scanTimer.start();
}

ReportSender::~ReportSender()
{
    // A build still running stops at its next file; the worker helper joins the thread.
    m_cancel->store(true);
}

void ReportSender::setTiming(const Timing &timing)
{
    m_timing = timing;
    m_scanTimer.setInterval(timing.scanMs);
    m_sendTimer.setInterval(timing.sendMs);
}

void ReportSender::scan()
{
    const qint64 now = m_clock.elapsed();
    const QList<GameProcess *> games = m_games ? m_games() : QList<GameProcess *>();
    for (GameProcess *game : games) {
        if (!game || game->sessionDir().isEmpty())
            continue;
        const QDir captures(QDir(game->sessionDir()).filePath(QStringLiteral("captures")));
        const QFileInfoList folders = captures.entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
        for (const QFileInfo &folder : folders) {
            const QString path = folder.absoluteFilePath();
            if (m_seen.contains(path))
                continue;
            m_seen.insert(path);
            m_pending.append(Entry{game->gameId(), game->sessionDir(), path, now});
        }
    }

    if (!m_reportId.isEmpty() || m_building || m_server->state() != ServerClient::LoggedIn)
        return;
    for (qsizetype i = 0; i < m_pending.size(); ++i) {
        const Entry &entry = m_pending.at(i);
        // The game writes the last frame last; without it the capture gets time to finish.
        const bool complete = QFileInfo::exists(QDir(entry.captureDir)
                                                    .filePath(report::frameName(report::FrameFiles - 1,
                                                                                QStringLiteral("bmp")))) ||
                              now - entry.foundMs > m_timing.settleMs;
        if (complete) {
            const Entry taken = m_pending.takeAt(i);
            startBuild(taken);
            return;
        }
    }
}

void ReportSender::startBuild(const Entry &entry)
{
    report::ReportContext context;
    context.gameId = entry.gameId;
    context.sessionDir = entry.sessionDir;
    context.captureDir = entry.captureDir;
    context.displayMode = cfg::displayMode();
    context.displayResolution = cfg::displayResolution();
    context.vsync = cfg::vsync();
    context.sentAt = QDateTime::currentDateTimeUtc();
    const QString id =
        QStringLiteral("%1").arg(QRandomGenerator::global()->generate64(), 16, 16, QLatin1Char('0'));

    // Decoding and encoding some twenty full-size pictures, and the Base64 of their parts, take long
    // enough to stall the status polling and the UDP work of the main thread: a short-lived worker
    // does it all, and the main thread only takes the finished messages.
    m_building = true;
    auto result = std::make_shared<BuildResult>();
    const std::shared_ptr<std::atomic<bool>> cancel = m_cancel;
    m_worker = runOnWorkerThread(
        this,
        [context, id, cancel, result] {
            result->files = report::buildReportFiles(context, cancel.get(), &result->jpegMissing);
            result->messages = report::reportMessages(id, context.gameId, result->files);
        },
        [this, entry, id, result] {
            m_worker = nullptr;
            m_building = false;
            if (result->jpegMissing)
                appendLog(QStringLiteral("report: this Qt has no JPEG writer (its image plugin is missing); "
                                         "the report from %1 goes without its pictures")
                              .arg(QFileInfo(entry.captureDir).fileName()));
            startSending(entry, id, *result);
        });
}

void ReportSender::startSending(const Entry &entry, const QString &id, BuildResult &built)
{
    m_reportId = id;
    m_fileCount = int(built.files.size());
    m_totalBytes = 0;
    for (const report::ReportFile &file : std::as_const(built.files))
        m_totalBytes += file.bytes.size();
    m_outbox = std::move(built.messages);
    m_firstMessageId = -1;
    emit logLine(tr("F3 report from %1: sending %2 files (%3 KB) to the server")
                     .arg(entry.gameId, QString::number(m_fileCount), QString::number(m_totalBytes / 1024)));
    m_sendTimer.start();
}

void ReportSender::sendTick()
{
    if (m_outbox.isEmpty()) {
        m_sendTimer.stop();
        // Everything went out: the answer has a time limit, so a silent server cannot hold every
        // later capture back.
        if (!m_reportId.isEmpty() && !m_answerTimer.isActive())
            m_answerTimer.start(m_timing.answerMs);
        return;
    }
    if (m_server->state() != ServerClient::LoggedIn) {
        finish(tr("F3 report not sent: the connection to the server dropped"));
        return;
    }
    for (int n = 0; n < 2 && !m_outbox.isEmpty(); ++n) {
        const int id = m_server->send(m_outbox.takeFirst());
        if (m_firstMessageId < 0)
            m_firstMessageId = id;
    }
}

void ReportSender::onMessage(const QJsonObject &msg)
{
    if (m_reportId.isEmpty())
        return;
    const QString type = msg.value(QStringLiteral("type")).toString();
    if (type == QLatin1String("report_saved")) {
        if (msg.value(QStringLiteral("report")).toString() == m_reportId)
            finish(tr("F3 report sent: %1 files, thank you").arg(m_fileCount));
        return;
    }
    if (type != QLatin1String("error"))
        return;
    const QString re = msg.value(QStringLiteral("re")).toString();
    if (re != QLatin1String("report_file") && re != QLatin1String("report_done"))
        return;
    // An error answering a message of an earlier report (still in flight when that one ended) is
    // not about this one.
    const QJsonValue id = msg.value(QStringLiteral("id"));
    if (id.isDouble() && (m_firstMessageId < 0 || id.toInteger() < m_firstMessageId))
        return;
    finish(tr("F3 report not sent: %1").arg(msg.value(QStringLiteral("message")).toString()));
}

void ReportSender::onStateChanged()
{
    // A report still sending or waiting for its answer cannot end well once the session is gone.
    if (!m_reportId.isEmpty() && m_server->state() != ServerClient::LoggedIn)
        finish(tr("F3 report not sent: the connection to the server dropped"));
}

void ReportSender::finish(const QString &sentence)
{
    m_outbox.clear();
    m_sendTimer.stop();
    m_answerTimer.stop();
    m_reportId.clear();
    m_firstMessageId = -1;
    emit logLine(sentence);
}
