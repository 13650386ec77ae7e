#include "buildscript.h"

#include <QProcess>

#include <csignal>
#include <sys/prctl.h>
#include <unistd.h>

namespace platform {

QString buildScriptName()
{
    return QStringLiteral("build-game.sh");
}

void prepareBuildScript(QProcess &process, const QString &script, const QString &arguments)
{
    process.setProgram(QStringLiteral("/bin/sh"));
    // Split like a shell would, but never evaluated by one: the line cannot run commands.
    process.setArguments(QStringList{script} + QProcess::splitCommand(arguments));
    const pid_t parent = ::getpid();
    process.setChildProcessModifier([parent]() {
        ::setpgid(0, 0);
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent)
            ::_exit(127);
    });
}

void stopBuildScript(QProcess &process)
{
    const qint64 pid = process.processId();
    if (pid > 0)
        ::kill(-pid_t(pid), SIGKILL); // the script's whole process group (compilers and all)
    process.kill();
}

} // namespace platform
