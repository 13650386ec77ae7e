// window-probe [--spawn ARGS] [--owned WxH] [--hidden WxH] WxH...
// Shows one top-level window per WxH and prints "window <id> <w>x<h>" for each once shown.
// --spawn starts another window-probe as a child with the given (space-separated) arguments.
#include <QApplication>
#include <QDialog>
#include <QProcess>
#include <QWidget>
#include <cstdio>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    QList<QWidget *> windows;
    QProcess child;
    child.setProcessChannelMode(QProcess::ForwardedChannels);
    const auto sizeOf = [](const QString &text) {
        const QStringList wh = text.split(QLatin1Char('x'));
        return QSize(wh.value(0).toInt(), wh.value(1).toInt());
    };
    for (int i = 0; i < args.size(); ++i) {
        const QString a = args.at(i);
        if (a == QLatin1String("--spawn") && i + 1 < args.size()) {
            child.start(app.applicationFilePath(), args.at(++i).split(QLatin1Char(' '), Qt::SkipEmptyParts));
        } else if (a == QLatin1String("--owned") && i + 1 < args.size() && !windows.isEmpty()) {
            auto *dialog = new QDialog(windows.first());
            dialog->setFixedSize(sizeOf(args.at(++i)));
            dialog->show();
        } else if (a == QLatin1String("--hidden") && i + 1 < args.size()) {
            auto *w = new QWidget;
            w->setFixedSize(sizeOf(args.at(++i)));
            w->winId(); // a native window that is never mapped
        } else {
            auto *w = new QWidget;
            w->setFixedSize(sizeOf(a));
            w->show();
            windows << w;
        }
    }
    QMetaObject::invokeMethod(
        &app,
        [&] {
            for (QWidget *w : windows)
                std::printf("window %llu %dx%d\n", static_cast<unsigned long long>(w->winId()), w->width(),
                            w->height());
            std::fflush(stdout);
        },
        Qt::QueuedConnection);
    return app.exec();
}
