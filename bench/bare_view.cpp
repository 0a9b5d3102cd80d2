// The engine's floor: a bare QWebEngineView on an off-the-record profile,
// plug-ins on so that PDFs show, nothing else set and no engine switches.
//
//   kalu-bench-bare URL [URL...]
//
// Shows the first URL, then loads each further one in turn, timing load() to
// the guide painted. Reports "first_load_finished_ms", "first_painted_ms"
// (from main()), "switch_ms" per switch, and hands over to the driver with
// MEASURE first_guide / MEASURE after_switches.

#include <QApplication>
#include <QStringList>
#include <QUrl>
#include <QWebEnginePage>
#include <QWebEngineProfile>
#include <QWebEngineSettings>
#include <QWebEngineView>

#include "guide_watch.h"

int main(int argc, char **argv)
{
    QElapsedTimer sinceMain;
    sinceMain.start();
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    // The engine sees the program's name alone, as the viewer's does.
    char name[] = "kalu-bench-bare";
    char *engineArguments[] = {name, nullptr};
    int engineArgumentCount = 1;
    QApplication app(engineArgumentCount, engineArguments);

    QStringList urls;
    for (int i = 1; i < argc; ++i)
        urls << QString::fromLocal8Bit(argv[i]);
    if (urls.isEmpty()) {
        std::fprintf(stderr, "usage: kalu-bench-bare URL [URL...]\n");
        return 2;
    }

    QWebEngineProfile profile;
    profile.settings()->setAttribute(QWebEngineSettings::PluginsEnabled, true);
    QWebEngineView view;
    view.setPage(new QWebEnginePage(&profile, &view));
    view.setWindowTitle(QStringLiteral("kalu bench bare view"));
    view.setGeometry(1, 81, 800, 465);
    bool finished = false;
    QObject::connect(&view, &QWebEngineView::loadFinished, &view, [&](bool) {
        if (!finished)
            bench::report("first_load_finished_ms", sinceMain.nsecsElapsed() / 1e6);
        finished = true;
    });
    view.load(QUrl(urls.first()));
    view.show();

    QImage shown;
    if (bench::waitPainted(&view, sinceMain, {}, 30000, &shown) < 0) {
        std::printf("FAIL first guide not painted\n");
        return 1;
    }
    bench::report("first_painted_ms", sinceMain.nsecsElapsed() / 1e6);
    QTest::qWait(bench::SettleMs);
    bench::measure("first_guide");

    for (qsizetype i = 1; i < urls.size(); ++i) {
        // The guide as shown at the moment of the click, settled or not.
        const QImage before = bench::screenImage(&view);
        QElapsedTimer sinceLoad;
        sinceLoad.start();
        view.load(QUrl(urls[i]));
        const qint64 ns = bench::waitPainted(&view, sinceLoad, before, 20000, &shown);
        if (ns < 0) {
            std::printf("FAIL %s not painted\n", qPrintable(urls[i]));
            return 1;
        }
        bench::report("switch_ms", ns / 1e6);
        // A user reads the guide before the next click; the viewer settles its zoom meanwhile.
        QTest::qWait(bench::SettleMs);
    }
    if (urls.size() > 1)
        bench::measure("after_switches");
    return 0;
}
