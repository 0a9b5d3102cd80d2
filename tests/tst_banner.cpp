// The banner: the minute's tick against a loopback author's site, what each
// failing step leaves behind, and the press on the banner.

#include <sys/stat.h>
#include <unistd.h>

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QLabel>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QWebEngineHistory>
#include <QWebEngineView>
#include <QtTest>

#include "Sites.h"
#include "Unit1.h"
#include "platform/Application.h"
#include "platform/Clock.h"
#include "platform/Error.h"
#include "platform/FileStream.h"
#include "platform/WebBrowser.h"
#include "support/LoopbackServer.h"
#include "support/ModalBox.h"
#include "support/WindowTestMain.h"

namespace {

QByteArray jpeg(QColor colour, QSize size = {321, 81})
{
    QImage image(size, QImage::Format_RGB32);
    image.fill(colour);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "JPEG", 95);
    return bytes;
}

QByteArray readFile(const QString &name)
{
    QFile file(name);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

QColor shownAt(const QLabel *label, QPoint p)
{
    return label->pixmap().toImage().pixelColor(p);
}

bool near(QColor a, QColor b)
{
    return std::abs(a.red() - b.red()) < 12 && std::abs(a.green() - b.green()) < 12
           && std::abs(a.blue() - b.blue()) < 12;
}

const QByteArray notFound = "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n";

} // namespace

class tst_Banner : public QObject
{
    Q_OBJECT

    std::unique_ptr<LoopbackServer> server;
    QTemporaryDir work;
    TForm1 *form = nullptr;
    int minute = 0;

    QString tickError()
    {
        try {
            form->Timer1Timer();
        } catch (const platform::Error &e) {
            return e.message();
        }
        return {};
    }

    QString banner(int slot) const { return AuthorSite + u"/cm/kalu/"_qs + QString::number(slot) + u".jpg"_qs; }
    QByteArray bannerPath(int slot) const { return "/~kalu/cm/kalu/" + QByteArray::number(slot) + ".jpg"; }
    QByteArray targetPath(int slot) const { return "/~kalu/cm/kalu/cm" + QByteArray::number(slot) + ".txt"; }

    void serveSlot(int slot, QColor colour, const QByteArray &target)
    {
        server->setRoute(bannerPath(slot), LoopbackServer::ok(jpeg(colour), "image/jpeg"));
        server->setRoute(targetPath(slot), LoopbackServer::ok(target, "text/plain"));
    }

private slots:
    void initTestCase()
    {
        QVERIFY(work.isValid());
        QVERIFY(QDir::setCurrent(work.path()));
        server = std::make_unique<LoopbackServer>(quint16(qEnvironmentVariableIntValue("KALU_TEST_PORT")));
        server->setRoute("/weekly/proglist/401.pdf", LoopbackServer::ok("%PDF-1.4\n", "application/pdf"));
        server->setRoute("/news/1.htm", LoopbackServer::ok("<html><body>news 1</body></html>", "text/html"));
        server->setRoute("/news/2.htm", LoopbackServer::ok("<html><body>news 2</body></html>", "text/html"));
        platform::Clock::SetSource([this] { return QDateTime(QDate(2026, 12, 11), QTime(21, minute)); });
        form = new TForm1;
        form->show();
        QVERIFY(QTest::qWaitForWindowExposed(form));
    }

    void cleanupTestCase()
    {
        delete form;
        platform::Clock::SetSource({});
        server.reset();
        QDir::setCurrent(QDir::tempPath());
    }

    void pressBeforeTheFirstTickOpensNothing()
    {
        QVERIFY(CmUrl.isEmpty());
        QCOMPARE(form->Label1->text(), u"Label1"_qs);
        QSignalSpy navigations(form->WebBrowser1, &platform::WebBrowser::Navigating);
        const int entries = form->WebBrowser1->View()->history()->count();
        QTest::mousePress(form->Image1, Qt::LeftButton);
        QCOMPARE(navigations.size(), 0);
        QCOMPARE(form->WebBrowser1->View()->history()->count(), entries);
    }

    void slotByMinute_data()
    {
        QTest::addColumn<int>("minute");
        QTest::addColumn<int>("slot");
        QTest::newRow("0") << 0 << 0;
        QTest::newRow("2") << 2 << 0;
        QTest::newRow("3") << 3 << 1;
        QTest::newRow("27: no leading zero") << 27 << 9;
        QTest::newRow("59") << 59 << 19;
    }
    void slotByMinute()
    {
        QFETCH(int, minute);
        QFETCH(int, slot);
        this->minute = minute;
        server->clear();
        serveSlot(slot, Qt::blue, "http://127.0.0.1/x");
        QCOMPARE(tickError(), QString());
        QCOMPARE(form->Label1->text(), QString::number(slot));
        QCOMPARE(server->paths(), (QList<QByteArray>{bannerPath(slot), targetPath(slot)}));
    }

    void requestOnTheWire()
    {
        // What the tick sends, and its own cookies coming back.
        minute = 4;
        server->clear();
        server->setRoute(bannerPath(1), LoopbackServer::ok(jpeg(Qt::red), "image/jpeg",
                                                           "Set-Cookie: cmvisit=7; Path=/~kalu/cm\r\n"));
        server->setRoute(targetPath(1), LoopbackServer::ok("http://127.0.0.1/", "text/plain"));
        QCOMPARE(tickError(), QString());
        const auto requests = server->requests();
        QCOMPARE(requests.size(), 2);
        const QByteArray host = "127.0.0.1:" + QByteArray::number(server->port());
        QCOMPARE(requests[0].raw, "GET /~kalu/cm/kalu/1.jpg HTTP/1.1\r\nHost: " + host
                                      + "\r\nAccept: text/html, */*\r\nAccept-Encoding: identity\r\n"
                                        "User-Agent: Mozilla/3.0 (compatible; Indy Library)\r\n\r\n");
        QCOMPARE(requests[1].header("Cookie"), QByteArray("cmvisit=7"));
        QCOMPARE(requests[1].header("Connection"), QByteArray());
    }

    void goodTick()
    {
        minute = 5;
        const QByteArray picture = jpeg(QColor(200, 40, 160), {400, 120});
        server->setRoute(bannerPath(1), LoopbackServer::ok(picture, "image/jpeg"));
        server->setRoute(targetPath(1), LoopbackServer::ok("http://127.0.0.1:" + QByteArray::number(server->port())
                                                               + "/news/1.htm\r\n",
                                                           "text/plain"));
        QCOMPARE(tickError(), QString());
        QCOMPARE(readFile(TForm1::BannerFile), picture);
        // Shown at its own size from the corner, cut off by the box.
        QCOMPARE(form->Image1->pixmap().size(), QSize(400, 120));
        QCOMPARE(form->Image1->size(), QSize(321, 81));
        QVERIFY(near(shownAt(form->Image1, {10, 10}), QColor(200, 40, 160)));
        QVERIFY(form->Image1->isVisible());
        QCOMPARE(CmUrl, "http://127.0.0.1:" + QByteArray::number(server->port()) + "/news/1.htm\r\n");
    }

    void pressOpensTheTarget_data()
    {
        QTest::addColumn<int>("button");
        QTest::newRow("left") << int(Qt::LeftButton);
        QTest::newRow("right") << int(Qt::RightButton);
        QTest::newRow("middle") << int(Qt::MiddleButton);
    }
    void pressOpensTheTarget()
    {
        QFETCH(int, button);
        QSignalSpy navigations(form->WebBrowser1, &platform::WebBrowser::Navigating);
        QTest::mousePress(form->Image1, Qt::MouseButton(button), Qt::ShiftModifier, QPoint(300, 70));
        QCOMPARE(navigations.size(), 1);
        QCOMPARE(navigations[0][0].toUrl(), QUrl(server->url(u"/news/1.htm")));
        QTRY_COMPARE_WITH_TIMEOUT(form->WebBrowser1->View()->url(), QUrl(server->url(u"/news/1.htm")), 10000);
        QTest::mouseRelease(form->Image1, Qt::MouseButton(button));
    }

    void doubleClickNavigatesTwice()
    {
        QSignalSpy navigations(form->WebBrowser1, &platform::WebBrowser::Navigating);
        // Through the window, so that the platform's double-click detection runs.
        const QPoint at = form->Image1->mapTo(form, QPoint(20, 20));
        QTest::mouseDClick(form->windowHandle(), Qt::LeftButton, {}, at);
        QCOMPARE(navigations.size(), 2);
        QCOMPARE(navigations[1][0].toUrl(), QUrl(server->url(u"/news/1.htm")));
    }

    void failingSteps_data()
    {
        QTest::addColumn<QString>("plant");   // what lies in the working folder before the tick
        QTest::addColumn<QByteArray>("picture"); // raw response for the banner; empty: a good one
        QTest::addColumn<QByteArray>("target");  // raw response for the target; empty: a good one
        QTest::addColumn<QString>("error");      // expected message; %1 is the banner file's full path
        QTest::addColumn<bool>("requested");     // was the picture asked for
        QTest::addColumn<QByteArray>("fileAfter"); // "<old>" stays, "<new>" the new picture
        QTest::addColumn<bool>("pictureReplaced");
        QTest::addColumn<bool>("cmUrlReplaced");

        const QByteArray html = LoopbackServer::ok("<html><body>moved</body></html>", "text/html");
        QTest::newRow("picture 404") << QString() << notFound << QByteArray() << u"HTTP/1.1 404 Not Found"_qs << true
                                     << QByteArray() << false << false;
        QTest::newRow("HTML sent as the picture")
            << QString() << html << QByteArray() << u"JPEG エラー #53"_qs << true
            << QByteArray("<html><body>moved</body></html>") << false << false;
        QTest::newRow("empty picture") << QString() << LoopbackServer::ok({}, "image/jpeg") << QByteArray()
                                       << u"JPEG エラー #42"_qs << true << QByteArray() << false << false;
        QTest::newRow("target 404 after a good picture")
            << QString() << QByteArray() << notFound << u"HTTP/1.1 404 Not Found"_qs << true << QByteArray("<new>")
            << true << false;
        QTest::newRow("planted symlink") << u"symlink"_qs << QByteArray() << QByteArray()
                                         << u"ファイル \"%1\" を作成できません。Too many levels of symbolic links"_qs
                                         << false << QByteArray("<old>") << false << false;
        QTest::newRow("a folder in the way") << u"folder"_qs << QByteArray() << QByteArray()
                                             << u"ファイル \"%1\" を作成できません。Is a directory"_qs << false
                                             << QByteArray("<old>") << false << false;
        QTest::newRow("held by another program")
            << u"locked"_qs << QByteArray() << QByteArray()
            << u"ファイル \"%1\" を作成できません。Resource temporarily unavailable"_qs << false
            << QByteArray("<old>") << false << false;
    }
    void failingSteps()
    {
        QFETCH(QString, plant);
        QFETCH(QByteArray, picture);
        QFETCH(QByteArray, target);
        QFETCH(QString, error);
        QFETCH(bool, requested);
        QFETCH(QByteArray, fileAfter);
        QFETCH(bool, pictureReplaced);
        QFETCH(bool, cmUrlReplaced);

        // A known state: a good tick at slot 2 with a green banner.
        minute = 6;
        const QByteArray before = "http://127.0.0.1:" + QByteArray::number(server->port()) + "/news/2.htm";
        serveSlot(2, Qt::green, before);
        QCOMPARE(tickError(), QString());
        const QByteArray oldFile = readFile(TForm1::BannerFile);

        minute = 9; // slot 3
        const QByteArray newPicture = jpeg(Qt::yellow);
        server->setRoute(bannerPath(3), picture.isEmpty() ? LoopbackServer::ok(newPicture, "image/jpeg") : picture);
        server->setRoute(targetPath(3), target.isEmpty() ? LoopbackServer::ok("http://127.0.0.1/3", "text/plain") : target);

        const QString full = QDir::current().absoluteFilePath(TForm1::BannerFile);
        QTemporaryDir elsewhere;
        const QString linked = elsewhere.filePath(u"precious"_qs);
        if (plant == u"symlink") {
            QFile precious(linked);
            QVERIFY(precious.open(QIODevice::WriteOnly));
            precious.write("keep me");
            precious.close();
            QFile::remove(TForm1::BannerFile);
            QVERIFY(QFile::link(linked, TForm1::BannerFile));
        } else if (plant == u"folder") {
            QFile::remove(TForm1::BannerFile);
            QVERIFY(QDir().mkdir(TForm1::BannerFile));
        }

        server->clear();
        const QPixmap shownBefore = form->Image1->pixmap();
        QString message;
        if (plant == u"locked") {
            // Another program holds the file exclusively for the length of the tick.
            QProcess locker;
            locker.start(u"flock"_qs, {u"-x"_qs, full, u"sleep"_qs, u"5"_qs});
            QVERIFY(locker.waitForStarted());
            QTest::qWait(300);
            message = tickError();
            locker.kill();
            locker.waitForFinished();
        } else {
            message = tickError();
        }

        QCOMPARE(message, error.contains(u"%1") ? error.arg(full) : error);
        QCOMPARE(form->Label1->text(), u"3"_qs);
        QCOMPARE(server->paths().contains(bannerPath(3)), requested);
        if (plant == u"symlink") {
            QCOMPARE(readFile(linked), QByteArray("keep me"));
            QVERIFY(QFileInfo(TForm1::BannerFile).isSymLink());
        } else if (fileAfter == "<old>") {
            QCOMPARE(readFile(TForm1::BannerFile), plant == u"folder" ? QByteArray("<missing>") : oldFile);
        } else if (fileAfter == "<new>") {
            QCOMPARE(readFile(TForm1::BannerFile), newPicture);
        } else {
            QCOMPARE(readFile(TForm1::BannerFile), fileAfter);
        }
        if (pictureReplaced)
            QVERIFY(near(shownAt(form->Image1, {5, 5}), Qt::yellow));
        else
            QCOMPARE(form->Image1->pixmap().toImage(), shownBefore.toImage());
        QCOMPARE(CmUrl, cmUrlReplaced ? QByteArray("http://127.0.0.1/3") : before);

        // Cleared up, the next tick goes through: the file was closed.
        QFile::remove(TForm1::BannerFile);
        QDir().rmdir(TForm1::BannerFile);
        server->setRoute(bannerPath(3), LoopbackServer::ok(newPicture, "image/jpeg"));
        server->setRoute(targetPath(3), LoopbackServer::ok("http://127.0.0.1/3", "text/plain"));
        QCOMPARE(tickError(), QString());
        QCOMPARE(readFile(TForm1::BannerFile), newPicture);
    }

    void readOnlyFolder()
    {
        if (::geteuid() == 0)
            QSKIP("root writes into read-only folders");
        QTemporaryDir locked;
        QVERIFY(QDir::setCurrent(locked.path()));
        ::chmod(QFile::encodeName(locked.path()).constData(), 0555);
        minute = 0;
        const QString message = tickError();
        ::chmod(QFile::encodeName(locked.path()).constData(), 0755);
        QDir::setCurrent(work.path());
        QVERIFY(message.startsWith(u"ファイル \""_qs + locked.path()));
        QVERIFY(message.endsWith(u"を作成できません。Permission denied"_qs));
    }

    void javascriptTargetIsRefused()
    {
        CmUrl = "javascript:alert(1)\r\n";
        QSignalSpy navigations(form->WebBrowser1, &platform::WebBrowser::Navigating);
        SeenBox seen;
        closeNextBox(seen);
        QTest::mousePress(form->Image1, Qt::LeftButton);
        QTRY_VERIFY(seen.seen);
        QCOMPARE(seen.icon, QMessageBox::Critical);
        QVERIFY2(seen.text.contains(u"javascript:alert(1)"_qs), qPrintable(seen.text));
        QCOMPARE(navigations.size(), 0);
    }

    void failingTicksReportOnceWhileOpen()
    {
        // Through the timer, as the program runs: a failing tick reports, and
        // later ticks that fail while the report is open add no second box.
        minute = 12;
        server->setRoute(bannerPath(4), notFound);
        form->Timer1->setInterval(100);
        int boxes = 0, stillOne = 0;
        QTimer watch;
        connect(&watch, &QTimer::timeout, [&] {
            if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
                if (boxes == 0) {
                    boxes = 1;
                    // Let several ticks fail under it, then close it.
                    QTimer::singleShot(600, box, [&, box] {
                        const auto tops = QApplication::topLevelWidgets();
                        stillOne = int(std::count_if(tops.begin(), tops.end(), [](QWidget *w) {
                            return qobject_cast<QMessageBox *>(w) && w->isVisible();
                        }));
                        form->Timer1->setInterval(TForm1::TimerIntervalMs);
                        box->accept();
                    });
                }
            }
        });
        watch.start(20);
        QTRY_VERIFY_WITH_TIMEOUT(stillOne > 0, 10000);
        QCOMPARE(stillOne, 1);
        watch.stop();
        QTRY_VERIFY(!QApplication::activeModalWidget());
    }
};

KALU_WINDOW_TEST_MAIN(tst_Banner)

#include "tst_banner.moc"
