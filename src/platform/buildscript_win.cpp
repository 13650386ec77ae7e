#include "buildscript.h"

#include "platform.h"

#include <QDir>
#include <QProcess>

#include <windows.h>

namespace platform {

QString buildScriptName()
{
    return QStringLiteral("build-game.cmd");
}

void prepareBuildScript(QProcess &process, const QString &script, const QString &arguments)
{
    process.setProgram(QStringLiteral("cmd.exe"));
    // /s: cmd strips the outer pair of quotes only, so the script's own quotes survive.
    process.setNativeArguments(
        QStringLiteral("/d /s /c \"\"%1\" %2\"").arg(QDir::toNativeSeparators(script), arguments));
    process.setCreateProcessArgumentsModifier(
        [](QProcess::CreateProcessArguments *args) { args->flags |= CREATE_NO_WINDOW; });
}

void stopBuildScript(QProcess &process)
{
    const qint64 pid = process.processId();
    if (pid > 0) {
        // cmd.exe first: it starts no new children once stopped; then what it had started.
        const QList<qint64> tree = processTree(pid);
        for (qint64 id : tree) {
            HANDLE handle = ::OpenProcess(PROCESS_TERMINATE, FALSE, DWORD(id));
            if (handle) {
                ::TerminateProcess(handle, 1);
                ::CloseHandle(handle);
            }
        }
    }
    process.kill();
}

} // namespace platform
