// A simulated day of banner ticks against the stand-in site: one tick per
// simulated minute, the banner changing every three, some ticks failing.
// Resident memory and open descriptors must not grow with the ticks.

#include <QDir>
#include <QMessageBox>
#include <QProcess>
#include <QTemporaryDir>
#include <QWebEngineView>
#include <QtTest>

#include "Unit1.h"
#include "platform/Application.h"
#include "platform/Clock.h"
#include "platform/HttpClient.h"
#include "platform/WebBrowser.h"
#include "support/WindowTestMain.h"

namespace {

qint64 residentKiB()
{
    QFile status(u"/proc/self/status"_qs);
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toLongLong();
    return -1;
}

qsizetype openDescriptors()
{
    return QDir(u"/proc/self/fd"_qs).entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::System).size();
}

} // namespace

class tst_Soak : public QObject
{
    Q_OBJECT

    QProcess site;
    QString control;

private slots:
    void initTestCase()
    {
        const QString port = qEnvironmentVariable("KALU_TEST_PORT");
        site.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        site.start(u"python3"_qs, {qEnvironmentVariable("KALU_BINARY_DIR") + u"/stand-in-site/site_server.py"_qs,
                                   u"--port"_qs, port, u"--log"_qs, u"/dev/null"_qs});
        QVERIFY(site.waitForReadyRead(10000));
        QCOMPARE(site.readLine().trimmed(), port.toLatin1());
        control = u"http://127.0.0.1:"_qs + port + u"/__control?"_qs;
    }

    void cleanupTestCase()
    {
        site.terminate();
        site.waitForFinished();
    }

    void day()
    {
        constexpr int Ticks = 1440, WarmUp = 60;
        QTemporaryDir work;
        QVERIFY(QDir::setCurrent(work.path()));
        int tick = 0;
        platform::Clock::SetSource([&] { return QDateTime(QDate(2026, 12, 11), QTime(0, 0)).addSecs(60 * tick); });
        platform::HttpClient switches;

        TForm1 form;
        form.show();
        // The browser settles with the first guide before the day starts, so
        // that its own start-up does not count as growth.
        QTRY_VERIFY_WITH_TIMEOUT(form.WebBrowser1->View()->url().path().endsWith(u"401.pdf"_qs), 20000);
        QTest::qWait(5000);
        // Reports of the failing ticks are closed as they come.
        int reports = 0;
        QTimer closer;
        connect(&closer, &QTimer::timeout, [&] {
            if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
                ++reports;
                box->accept();
            }
        });
        closer.start(2);

        qint64 rssBefore = 0;
        qsizetype fdsBefore = 0;
        int failing = 0;
        // After each tick: the next simulated minute and its failure, if any.
        connect(form.Timer1, &QTimer::timeout, &form, [&] {
            ++tick;
            if (tick == WarmUp) {
                rssBefore = residentKiB();
                fdsBefore = openDescriptors();
            }
            QByteArray fault = "reset=1";
            if (tick % 37 == 0)
                fault = "missing-banner=1";
            else if (tick % 53 == 0)
                fault = "not-jpeg=1";
            else if (tick % 71 == 0)
                fault = "missing-target=1";
            if (fault != "reset=1")
                ++failing;
            switches.Get(control + QString::fromLatin1(fault));
        });
        QElapsedTimer clock;
        clock.start();
        form.Timer1->setInterval(1);
        QTRY_VERIFY_WITH_TIMEOUT(tick >= Ticks, 600000);
        form.Timer1->stop();
        closer.stop();
        const qint64 rssAfter = residentKiB();
        const qsizetype fdsAfter = openDescriptors();

        qInfo("%d ticks in %.1f s, %d meant to fail, %d reported", tick, clock.elapsed() / 1000.0, failing,
              reports);
        qInfo("resident memory after %d ticks: %lld KiB, after %d: %lld KiB (growth %lld KiB)", WarmUp,
              rssBefore, tick, rssAfter, rssAfter - rssBefore);
        qInfo("open descriptors after %d ticks: %lld, after %d: %lld", WarmUp, qlonglong(fdsBefore), tick,
              qlonglong(fdsAfter));
        QVERIFY(reports >= failing - 1 && reports <= failing + 1);
        QVERIFY2(rssAfter - rssBefore < 10 * 1024, "resident memory grew by 10 MiB or more");
        // The engine's own threads open and close a descriptor now and then;
        // a leak per tick would show as hundreds.
        QVERIFY2(fdsAfter <= fdsBefore + 2, "open descriptors grew with the ticks");
        QVERIFY(QFileInfo::exists(TForm1::BannerFile));
        QCOMPARE(QDir::current().entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::Hidden),
                 QStringList{TForm1::BannerFile});
        platform::Clock::SetSource({});
        QDir::setCurrent(QDir::tempPath());
    }
};

KALU_WINDOW_TEST_MAIN(tst_Soak)

#include "tst_soak.moc"
