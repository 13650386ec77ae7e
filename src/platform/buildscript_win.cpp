#include "buildscript.h"

#include "native.h"

#include <QDir>
#include <QProcess>

namespace platform {

QString buildScriptName()
{
    return QStringLiteral("build-game.cmd");
}

void prepareBuildScript(QProcess &process, const QString &script, const QString &arguments)
{
    process.setProgram(QStringLiteral("cmd.exe"));
    process.setNativeArguments(QString::fromStdWString(native::buildScriptArguments(
        QDir::toNativeSeparators(script).toStdWString(), arguments.toStdWString())));
    const native::StartOptions options = native::buildScriptStartOptions();
    process.setCreateProcessArgumentsModifier(
        [options](QProcess::CreateProcessArguments *args) { args->flags |= options.creationFlags; });
}

void stopBuildScript(QProcess &process)
{
    native::terminateProcessTree(process.processId());
    process.kill();
}

} // namespace platform
