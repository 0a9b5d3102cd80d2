// The viewer itself, pointed at the loopback stand-in, with a driver that
// clicks channels and runs banner ticks inside it.
//
//   kalu-bench-program CHANNEL [CHANNEL...]
//
// The program's own entry is compiled in unchanged, so that its start-up
// order and the switches it hands the engine are the ones measured. The
// driver starts once the main window is up: it waits for the first guide,
// clicks each channel in the grid (click to guide painted: "switch_ms"),
// then times 200 banner ticks on the user-interface thread ("tick_ms"),
// handing over to bench/bench.py for memory after each phase.

#include <QListWidgetItem>
#include <QStringList>
#include <QTest>
#include <QWebEngineView>

#include "guide_watch.h"

#define main kaluProgramMain
#include "kalu104.cpp"
#undef main

#include "platform/Clock.h"
#include "platform/Error.h"
#include "platform/ListBox.h"
#include "platform/WebBrowser.h"

namespace {

QStringList channels;
constexpr int Ticks = 200;

void fail(const QString &why)
{
    std::printf("FAIL %s\n", qPrintable(why));
    std::fflush(stdout);
    QCoreApplication::exit(1);
}

void drive()
{
    QWidget *browser = Form1->WebBrowser1;
    QElapsedTimer since;
    since.start();
    QImage shown;
    if (bench::waitPainted(browser, since, {}, 30000, &shown) < 0)
        return fail(QStringLiteral("first guide not painted"));
    // The driver times the ticks itself; the minute timer must not add its own.
    Form1->Timer1->stop();
    QTest::qWait(bench::SettleMs);
    bench::measure("first_guide");

    for (const QString &channel : channels) {
        const auto found = Form1->ListBox1->findItems(channel, Qt::MatchExactly);
        if (found.isEmpty())
            return fail(QStringLiteral("no channel ") + channel);
        const QPoint at = Form1->ListBox1->visualItemRect(found.first()).center();
        // The guide as shown at the moment of the click, settled or not.
        const QImage before = bench::screenImage(browser);
        QElapsedTimer sinceClick;
        sinceClick.start();
        QTest::mouseClick(Form1->ListBox1->viewport(), Qt::LeftButton, {}, at);
        const qint64 ns = bench::waitPainted(browser, sinceClick, before, 20000, &shown);
        if (ns < 0)
            return fail(QStringLiteral("guide of ") + channel + QStringLiteral(" not painted"));
        if (!Form1->WebBrowser1->View()->url().path().endsWith(u'/' + channel + QStringLiteral(".pdf")))
            return fail(QStringLiteral("click on ") + channel + QStringLiteral(" showed ")
                        + Form1->WebBrowser1->View()->url().toString());
        bench::report("switch_ms", ns / 1e6);
        // A user reads the guide before the next click; the viewer settles its zoom meanwhile.
        QTest::qWait(bench::SettleMs);
    }
    if (!channels.isEmpty())
        bench::measure("after_switches");

    // Three minutes a tick: each tick fetches another of the 20 banners.
    int tick = 0;
    platform::Clock::SetSource(
        [&tick] { return QDateTime(QDate(2026, 12, 11), QTime(0, 0)).addSecs(180 * tick); });
    for (; tick < Ticks; ++tick) {
        QElapsedTimer blocked;
        blocked.start();
        try {
            Form1->Timer1Timer();
        } catch (const platform::Error &error) {
            return fail(QStringLiteral("tick: ") + error.message());
        }
        bench::report("tick_ms", blocked.nsecsElapsed() / 1e6);
        // The banner paints and the engine runs between ticks, as between minutes.
        QTest::qWait(20);
    }
    platform::Clock::SetSource({});
    bench::measure("after_ticks");
    QCoreApplication::quit();
}

void waitForWindow()
{
    if (Form1 && Form1->isVisible())
        drive();
    else
        QTimer::singleShot(50, qApp, waitForWindow);
}

void startDriver()
{
    QTimer::singleShot(50, qApp, waitForWindow);
}

} // namespace

Q_COREAPP_STARTUP_FUNCTION(startDriver)

int main(int argc, char **argv)
{
    for (int i = 1; i < argc; ++i)
        channels << QString::fromLocal8Bit(argv[i]);
    return kaluProgramMain(argc, argv);
}
