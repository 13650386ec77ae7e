// platform-probe write PATH TEXT BUDGET_MS   -> prints "ok" or the error text; exit 0 or 1
// platform-probe job COMMAND [ARGS...]       -> starts COMMAND tied to the job, prints its pid,
//                                              then runs until killed or until stdin closes
// platform-probe script                      -> a launcher driven line by line from stdin (fields
//                                              separated by tabs), one answer line per command:
//   start CMD [ARGS...]  starts CMD tied to the job; answers its pid
//   wait PID             waits until a started process has ended and is reaped; answers "ended"
//   end PID              kills a started process and waits as above
//   next-pid N           the next process of this PID namespace gets the id N; "ok" or the error
//   spawn CMD [ARGS...]  starts CMD outside the job, leading a session and group of its own; answers
//                        its pid once CMD has written its first line
//   terminate PID        sends SIGTERM to a started or spawned process and waits for its end;
//                        answers "exited N", or "killed" when a signal ended it
//   alive PID            "yes", or "no" when there is no such process or only its zombie
//   kill-job             ends the job's processes as the launcher does at exit; answers "killed"
#include "platform/platform.h"

#include <QCoreApplication>
#include <QFile>
#include <QHash>
#include <QProcess>
#include <QSocketNotifier>
#include <cstdio>
#include <iostream>
#include <memory>
#include <string>
#include <unistd.h>

namespace {

bool alive(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return false;
    const QByteArray line = stat.readAll();
    const int close = line.lastIndexOf(')');
    return close > 0 && line.mid(close + 2, 1) != "Z";
}

int runScript()
{
    QHash<qint64, std::shared_ptr<QProcess>> processes;
    std::string input;
    while (std::getline(std::cin, input)) {
        const QStringList fields = QString::fromStdString(input).split(u'\t');
        const QString command = fields.value(0);
        QString answer;
        if ((command == QLatin1String("start") || command == QLatin1String("spawn")) && fields.size() > 1) {
            auto process = std::make_shared<QProcess>();
            process->setProgram(fields.at(1));
            process->setArguments(fields.mid(2));
            process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
            if (command == QLatin1String("start"))
                platform::prepareJobChild(*process);
            else
                process->setChildProcessModifier([] { ::setsid(); });
            process->start();
            bool started = process->waitForStarted();
            if (command == QLatin1String("start")) {
                started = started && platform::addToJob(platform::launcherJob(), process->processId());
            } else {
                while (started && !process->canReadLine())
                    started = process->waitForReadyRead(60000);
            }
            answer = started ? QString::number(process->processId()) : QStringLiteral("failed");
            if (started)
                processes.insert(process->processId(), process);
        } else if ((command == QLatin1String("wait") || command == QLatin1String("end")) &&
                   processes.contains(fields.value(1).toLongLong())) {
            const auto process = processes.take(fields.value(1).toLongLong());
            if (command == QLatin1String("end"))
                process->kill();
            const bool ended = process->state() == QProcess::NotRunning || process->waitForFinished(60000);
            answer = ended ? QStringLiteral("ended") : QStringLiteral("running");
        } else if (command == QLatin1String("terminate") &&
                   processes.contains(fields.value(1).toLongLong())) {
            const auto process = processes.take(fields.value(1).toLongLong());
            if (process->state() != QProcess::NotRunning)
                process->terminate();
            if (process->state() != QProcess::NotRunning && !process->waitForFinished(60000))
                answer = QStringLiteral("running");
            else if (process->exitStatus() == QProcess::NormalExit)
                answer = QStringLiteral("exited %1").arg(process->exitCode());
            else
                answer = QStringLiteral("killed");
        } else if (command == QLatin1String("next-pid")) {
            QFile last(QStringLiteral("/proc/sys/kernel/ns_last_pid"));
            const bool ok = last.open(QIODevice::WriteOnly) &&
                            last.write(QByteArray::number(fields.value(1).toLongLong() - 1)) > 0 &&
                            last.flush();
            answer = ok ? QStringLiteral("ok") : last.errorString();
        } else if (command == QLatin1String("alive")) {
            answer = alive(fields.value(1).toLongLong()) ? QStringLiteral("yes") : QStringLiteral("no");
        } else if (command == QLatin1String("kill-job")) {
            platform::killJob(platform::launcherJob());
            answer = QStringLiteral("killed");
        } else {
            answer = QStringLiteral("unknown command: ") + QString::fromStdString(input);
        }
        std::printf("%s\n", qPrintable(answer));
        std::fflush(stdout);
    }
    for (const auto &process : std::as_const(processes))
        process->kill();
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() >= 5 && args.at(1) == QLatin1String("write")) {
        QString error;
        const bool ok =
            platform::writeFileAtomically(args.at(2), args.at(3).toUtf8(), &error, args.at(4).toInt());
        std::printf("%s\n", ok ? "ok" : qPrintable(error));
        return ok ? 0 : 1;
    }
    if (args.size() >= 3 && args.at(1) == QLatin1String("job")) {
        QProcess child;
        child.setProgram(args.at(2));
        child.setArguments(args.mid(3));
        child.setProcessChannelMode(QProcess::ForwardedChannels);
        platform::prepareJobChild(child);
        child.start();
        if (!child.waitForStarted() || !platform::addToJob(platform::launcherJob(), child.processId()))
            return 2;
        std::printf("%lld\n", static_cast<long long>(child.processId()));
        std::fflush(stdout);
        // A closed stdin is the normal end: the job then ends the child with us.
        QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
        QObject::connect(&input, &QSocketNotifier::activated, &app, [&] {
            char c;
            if (::read(STDIN_FILENO, &c, 1) <= 0)
                app.quit();
        });
        const int code = app.exec();
        platform::killJob(platform::launcherJob());
        return code;
    }
    if (args.size() == 2 && args.at(1) == QLatin1String("script"))
        return runScript();
    std::fprintf(stderr,
                 "usage: platform-probe write PATH TEXT BUDGET_MS | job COMMAND [ARGS...] | script\n");
    return 2;
}
