// orx-x360: the command-line face of the Xbox 360 readers, and the demo release generator.

#include "commands.h"
#include "demo.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <cstdio>
#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

namespace {

const char usage[] =
    "Usage: orx-x360 [--json] [--all] COMMAND ...\n"
    "  info FILE         what FILE is (disc image, package or executable)\n"
    "  list FILE         the files of a disc image or package\n"
    "  extract FILE DIR  write the files under DIR (--all keeps $SystemUpdate)\n"
    "  cat FILE PATH     one file's bytes to standard output\n"
    "  check FILE        the game definition's executable check (disc image or default.xex)\n"
    "  make-demo DIR     write the demo release into DIR\n"
    "  --json            info prints one JSON object, list one array\n";

int usageError(const QString &why)
{
    if (!why.isEmpty())
        printError(QStringLiteral("orx-x360: %1").arg(why));
    fputs(usage, stderr);
    return 2;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
#ifdef _WIN32
    // "cat" writes a file's bytes: standard output must not turn its line feeds into CR LF.
    _setmode(_fileno(stdout), _O_BINARY);
#endif
    Options options;
    QStringList args;
    for (const QString &arg : app.arguments().mid(1)) {
        if (arg == QLatin1String("--json"))
            options.json = true;
        else if (arg == QLatin1String("--all"))
            options.all = true;
        else if (arg == QLatin1String("-h") || arg == QLatin1String("--help")) {
            fputs(usage, stdout);
            return 0;
        } else if (arg.startsWith(QLatin1String("--")))
            return usageError(QStringLiteral("unknown option %1").arg(arg));
        else
            args.append(arg);
    }
    if (args.isEmpty())
        return usageError(QString());
    const QString command = args.takeFirst();
    const auto expect = [&](int count) { return args.size() == count; };
    if (command == QLatin1String("info") && expect(1))
        return infoCommand(args[0], options);
    if (command == QLatin1String("list") && expect(1))
        return listCommand(args[0], options);
    if (command == QLatin1String("cat") && expect(2))
        return catCommand(args[0], args[1]);
    if (command == QLatin1String("check") && expect(1))
        return checkCommand(args[0]);
    if (command == QLatin1String("extract") && expect(2))
        return extractCommand(args[0], args[1], options);
    if (command == QLatin1String("make-demo") && expect(1)) {
        QStringList written;
        QString error;
        if (!demo::make(args[0], &written, &error))
            return fail(error);
        for (const QString &path : written)
            printOut(QDir::toNativeSeparators(path).toUtf8() + '\n');
        return 0;
    }
    const QStringList known{"info", "list", "cat", "check", "extract", "make-demo"};
    if (known.contains(command))
        return usageError(QStringLiteral("wrong number of arguments for %1").arg(command));
    return usageError(QStringLiteral("unknown command %1").arg(command));
}
