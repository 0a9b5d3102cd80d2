// Faults and bad input at each of the three places the program fetches from
// the author's site: the banner picture, the banner target and the start-up
// message. Each case runs through the real windows and client against a
// scripted loopback peer and checks the report's text, how long the window
// was blocked, that nothing but the banner file is written, and that a file
// behind a planted link stays as it was. The matrix is printed at the end.

#include <QBuffer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <QLabel>
#include <QPlainTextEdit>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include "Unit1.h"
#include "Unit2.h"
#include "platform/Application.h"
#include "platform/Clock.h"
#include "platform/Error.h"
#include "platform/HttpClient.h"
#include "platform/WebBrowser.h"
#include "support/LoopbackServer.h"
#include "support/ModalBox.h"
#include "support/WindowTestMain.h"

using namespace std::chrono_literals;
using Script = LoopbackServer::Script;

namespace {

constexpr auto StallLimit = 1500ms;
constexpr auto TransferLimit = 4000ms;

enum Site { Picture, Target, Message };
const char *const SiteNames[] = {"picture", "target", "message"};

QByteArray jpeg(QSize size = {321, 81})
{
    QImage image(size, QImage::Format_RGB32);
    image.fill(QColor(30, 90, 200));
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "JPEG", 90);
    return bytes;
}

QByteArray png()
{
    QImage image(8, 8, QImage::Format_RGB32);
    image.fill(Qt::red);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

// A baseline JPEG whose frame header claims 60000 × 60000.
QByteArray hugeClaim()
{
    QByteArray bytes = jpeg({16, 16});
    const qsizetype sof = bytes.indexOf("\xff\xc0");
    bytes[sof + 5] = char(60000 >> 8);
    bytes[sof + 6] = char(60000 & 0xff);
    bytes[sof + 7] = char(60000 >> 8);
    bytes[sof + 8] = char(60000 & 0xff);
    return bytes;
}

QByteArray head(qsizetype length, const QByteArray &extra = {})
{
    return "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: "
           + QByteArray::number(length) + "\r\n" + extra + "\r\n";
}

const QByteArray Gzip("\x1f\x8b\x08\x00\x00\x00\x00\x00\x02\x03\xcb\x28\x29\x29\xb0\xd2\xd7\x37\x34\x32\xd7\x33"
                      "\x00\x42\x43\xfd\xbc\xd4\xf2\x62\x7d\x43\xbd\x8c\x92\x5c\x5e\x2e\x00\x38\xf7\x21\x45\x1d"
                      "\x00\x00\x00",
                      47);

struct Fault
{
    const char *name;
    // What the peer sends in place of the good body; nullptr: the peer is down.
    std::function<std::variant<QByteArray, Script>(const QByteArray &good)> reply;
    // Expected outcome per site: the error text, "" for success, "press:<text>"
    // for a good fetch whose target is refused when the banner is pressed,
    // "-" where the case does not apply.
    QString outcome[3];
};

const QString Refused = u"Socket Error # 10061\r\nConnection refused."_qs;
const QString TimedOut = u"Socket Error # 10060\r\nConnection timed out."_qs;
const QString Reset = u"Socket Error # 10054\r\nConnection reset by peer."_qs;
const QString NotHttp = u"Socket Error # 10043\r\nProtocol not supported."_qs;
const QString NotWeb = u"press:http または https のアドレスではないので開きません"_qs;

std::vector<Fault> faults()
{
    using R = std::variant<QByteArray, Script>;
    const auto raw = [](QByteArray bytes) { return [bytes](const QByteArray &) -> R { return bytes; }; };
    const auto body = [](QByteArray bytes) {
        return [bytes](const QByteArray &) -> R { return LoopbackServer::ok(bytes); };
    };
    const QString no = u"-"_qs;
    return {
        // Both sites are one host: with it down the picture fails first.
        {"refused connection", nullptr, {Refused, no, Refused}},
        {"stall before the headers",
         [](const QByteArray &good) -> R { return Script().pause(60000).send(LoopbackServer::ok(good)); },
         {TimedOut, TimedOut, TimedOut}},
        {"stall inside the body",
         [](const QByteArray &good) -> R {
             return Script().send(head(good.size()) + good.left(good.size() / 2)).pause(60000).send(good.mid(good.size() / 2));
         },
         {TimedOut, TimedOut, TimedOut}},
        {"reset mid-body",
         [](const QByteArray &good) -> R {
             return Script().send(head(good.size()) + good.left(good.size() / 2)).reset();
         },
         {Reset, Reset, Reset}},
        {"Content-Length longer than the body",
         [](const QByteArray &good) -> R { return Script().send(head(good.size() + 100) + good); },
         {Reset, Reset, Reset}},
        {"chunked body cut off",
         [](const QByteArray &good) -> R {
             return Script().send("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
                                  + QByteArray::number(good.size(), 16) + "\r\n" + good.left(good.size() / 2));
         },
         {Reset, Reset, Reset}},
        {"empty reply", [](const QByteArray &) -> R { return Script(); }, {Reset, Reset, Reset}},
        {"not HTTP", raw("SSH-2.0-OpenSSH_9.2\r\n"), {NotHttp, NotHttp, NotHttp}},
        {"404", raw("HTTP/1.1 404 Not Found\r\nContent-Length: 9\r\n\r\nnot found"),
         {u"HTTP/1.1 404 Not Found"_qs, u"HTTP/1.1 404 Not Found"_qs, u"HTTP/1.1 404 Not Found"_qs}},
        {"500", raw("HTTP/1.1 500 Internal Server Error\r\nContent-Length: 0\r\n\r\n"),
         {u"HTTP/1.1 500 Internal Server Error"_qs, u"HTTP/1.1 500 Internal Server Error"_qs,
          u"HTTP/1.1 500 Internal Server Error"_qs}},
        {"302 with Location", raw("HTTP/1.1 302 Found\r\nLocation: http://127.0.0.1:1/x\r\nContent-Length: 0\r\n\r\n"),
         {u"HTTP/1.1 302 Found"_qs, u"HTTP/1.1 302 Found"_qs, u"HTTP/1.1 302 Found"_qs}},
        {"200 with Location",
         [](const QByteArray &good) -> R { return head(good.size(), "Location: http://127.0.0.1:1/x\r\n") + good; },
         {u"HTTP/1.1 200 OK"_qs, u"HTTP/1.1 200 OK"_qs, u"HTTP/1.1 200 OK"_qs}},
        // Taken as it comes, undecoded: no picture, no web address, odd text.
        {"gzip body",
         [](const QByteArray &) -> R { return LoopbackServer::ok(Gzip, "text/plain", "Content-Encoding: gzip\r\n"); },
         {u"JPEG エラー #53"_qs, u"press:アドレス"_qs, u""_qs}},
        {"50 MiB body", body(QByteArray(50 << 20, 'x')),
         {u"応答が大きすぎます（上限 8 MiB）"_qs, u"応答が大きすぎます（上限 1 MiB）"_qs, u"応答が大きすぎます（上限 1 MiB）"_qs}},
        {"trickle of a byte a second",
         [](const QByteArray &) -> R {
             Script script;
             script.send(head(100));
             for (int i = 0; i < 100; ++i)
                 script.send("x").pause(1000);
             return script;
         },
         {TimedOut, TimedOut, TimedOut}},
        {"HTML served as the picture", body("<html><body>moved</body></html>"), {u"JPEG エラー #53"_qs, no, no}},
        {"empty picture", body({}), {u"JPEG エラー #42"_qs, no, no}},
        {"truncated JPEG", [](const QByteArray &good) -> R { return LoopbackServer::ok(good.left(good.size() * 2 / 3)); },
         {u""_qs, no, no}},
        {"PNG named .jpg", body(png()), {u"JPEG エラー #53"_qs, no, no}},
        {"header claiming 60000 × 60000", body(hugeClaim()), {u"JPEG エラー #41"_qs, no, no}},
        {"javascript: target", body("javascript:alert(1)"), {no, NotWeb, no}},
        {"file: target", body("file:///etc/passwd\r\n"), {no, NotWeb, no}},
        {"4,000 bytes of garbage", body(QByteArray(4000, '\x9f')), {no, u"press:アドレス"_qs, u""_qs}},
        {"invalid CP932", body("\x81\x20\xff\xfe\x80\xa0http://127.0.0.1/"), {no, u"press:アドレス"_qs, u""_qs}},
    };
}

struct Row
{
    QString fault, site, outcome;
    qint64 blockedMs;
    bool pass;
};

} // namespace

class tst_FaultMatrix : public QObject
{
    Q_OBJECT

    std::unique_ptr<LoopbackServer> server;
    quint16 port = 0;
    QTemporaryDir work, outside;
    QString precious;
    TForm1 *form = nullptr;
    std::vector<Row> rows;

    const QByteArray goodPicture = jpeg();
    QByteArray goodTarget() const { return "http://127.0.0.1:" + QByteArray::number(port) + "/news/1.htm\r\n"; }
    const QByteArray goodMessage = QByteArray("\x82\xb1\x82\xf1\x82\xc9\x82\xbf\x82\xcd\r\n\x95\x5c\x8e\xa6\r\n");

    void route(const QByteArray &path, const std::variant<QByteArray, Script> &reply)
    {
        if (const auto *bytes = std::get_if<QByteArray>(&reply))
            server->setRoute(path, *bytes);
        else
            server->setRoute(path, std::get<Script>(reply));
    }

    void serveGood()
    {
        server->setRoute("/~kalu/cm/kalu/0.jpg", LoopbackServer::ok(goodPicture, "image/jpeg"));
        server->setRoute("/~kalu/cm/kalu/cm0.txt", LoopbackServer::ok(goodTarget(), "text/plain"));
        server->setRoute("/~kalu/cm/kalu/kalumsg.txt", LoopbackServer::ok(goodMessage, "text/plain"));
    }

    QStringList workFiles() const
    {
        return QDir(work.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::Hidden | QDir::System);
    }

    // Runs one case at one site; returns what the user was told ("" for nothing).
    QString run(const Fault &fault, Site site, qint64 &blockedMs)
    {
        QElapsedTimer clock;
        if (site == Message) {
            SeenBox seen;
            BoxCloser closer(seen);
            clock.start();
            TForm2 window;
            blockedMs = clock.elapsed();
            if (seen.seen)
                return seen.text;
            // A success: the memo shows something for every body but an empty one.
            return window.Memo1->toPlainText().isEmpty() && fault.reply ? u"<empty memo>"_qs : QString();
        }
        QString error;
        clock.start();
        try {
            form->Timer1Timer();
        } catch (const platform::Error &e) {
            error = e.message();
        }
        blockedMs = clock.elapsed();
        if (!error.isEmpty())
            return platform::Application::WithFullStop(error);
        if (site != Target)
            return {};
        // The target came through: a press decides what it opens.
        QSignalSpy navigations(form->WebBrowser1, &platform::WebBrowser::Navigating);
        SeenBox seen;
        BoxCloser closer(seen);
        QTest::mousePress(form->Image1, Qt::LeftButton);
        QElapsedTimer waited;
        waited.start();
        while (!seen.seen && navigations.isEmpty() && waited.elapsed() < 1000)
            QTest::qWait(10);
        if (seen.seen)
            return u"press:"_qs + seen.text;
        return navigations.size() == 1 ? QString() : u"<nothing opened>"_qs;
    }

private slots:
    void initTestCase()
    {
        port = quint16(qEnvironmentVariableIntValue("KALU_TEST_PORT"));
        server = std::make_unique<LoopbackServer>(port);
        server->setRoute("/weekly/proglist/401.pdf", LoopbackServer::ok("%PDF-1.4\n", "application/pdf"));
        server->setRoute("/news/1.htm", LoopbackServer::ok("<html><body>news</body></html>", "text/html"));
        serveGood();
        platform::HttpClient::SetDefaultTimeouts(StallLimit, TransferLimit);
        platform::Clock::SetSource([] { return QDateTime(QDate(2026, 12, 11), QTime(10, 1)); });
        QVERIFY(QDir::setCurrent(work.path()));
        // Links named like what the program fetches, pointing out of the folder.
        precious = outside.filePath(u"precious"_qs);
        QFile file(precious);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("keep me");
        file.close();
        for (const QString &name : {u"0.jpg"_qs, u"cm0.txt"_qs, u"kalumsg.txt"_qs})
            QVERIFY(QFile::link(precious, work.filePath(name)));
        form = new TForm1;
        form->show();
    }

    void cleanupTestCase()
    {
        delete form;
        platform::Clock::SetSource({});
        QDir::setCurrent(QDir::tempPath());
        qInfo("%-38s %-8s %-6s %8s  %s", "case", "site", "result", "blocked", "outcome");
        for (const Row &row : rows)
            qInfo("%-38s %-8s %-6s %6lld ms  %s", qPrintable(row.fault), qPrintable(row.site),
                  row.pass ? "pass" : "FAIL", row.blockedMs,
                  qPrintable(QString(row.outcome).replace(u"\r\n"_qs, u" / "_qs)));
    }

    void matrix_data()
    {
        QTest::addColumn<int>("index");
        QTest::addColumn<int>("site");
        const auto all = faults();
        for (int i = 0; i < int(all.size()); ++i)
            for (int site = Picture; site <= Message; ++site)
                if (all[i].outcome[site] != u"-")
                    QTest::addRow("%s at the %s", all[i].name, SiteNames[site]) << i << site;
    }
    void matrix()
    {
        QFETCH(int, index);
        QFETCH(int, site);
        const Fault fault = faults()[index];
        serveGood();
        const QByteArray paths[] = {"/~kalu/cm/kalu/0.jpg", "/~kalu/cm/kalu/cm0.txt", "/~kalu/cm/kalu/kalumsg.txt"};
        const QByteArray goods[] = {goodPicture, goodTarget(), goodMessage};
        if (!fault.reply)
            server.reset();
        else
            route(paths[site], fault.reply(goods[site]));

        qint64 blocked = 0;
        const QString told = run(fault, Site(site), blocked);
        if (!server) {
            server = std::make_unique<LoopbackServer>(port);
            server->setRoute("/news/1.htm", LoopbackServer::ok("<html><body>news</body></html>", "text/html"));
        }
        serveGood();

        QString expected = fault.outcome[site];
        const bool press = expected.startsWith(u"press:");
        if (!press && !expected.isEmpty())
            expected = platform::Application::WithFullStop(expected);
        const bool textOk = press ? told.startsWith(expected) : told == expected;
        const qint64 limit = fault.name == std::string_view("trickle of a byte a second")
                                 ? TransferLimit.count()
                                 : StallLimit.count();
        const bool inTime = blocked <= limit + 1500;
        QStringList expectedFiles = {u"0.jpg"_qs, u"cm0.txt"_qs, u"kalumsg.txt"_qs};
        if (QFileInfo::exists(work.filePath(TForm1::BannerFile)))
            expectedFiles << TForm1::BannerFile;
        expectedFiles.sort();
        const bool filesOk = workFiles() == expectedFiles;
        QFile keep(precious);
        const bool linkOk = keep.open(QIODevice::ReadOnly) && keep.readAll() == "keep me";
        rows.push_back({QString::fromUtf8(fault.name), QString::fromLatin1(SiteNames[site]), told, blocked,
                          textOk && inTime && filesOk && linkOk});

        QVERIFY2(textOk, qPrintable(u"told \""_qs + told + u"\", expected \""_qs + expected + u'"'));
        QVERIFY2(inTime, qPrintable(u"blocked for %1 ms"_qs.arg(blocked)));
        QVERIFY2(filesOk, qPrintable(workFiles().join(u", ")));
        QVERIFY(linkOk);
        // Still responsive: the loop runs and a good tick goes through.
        bool ran = false;
        QTimer::singleShot(0, [&] { ran = true; });
        QTRY_VERIFY_WITH_TIMEOUT(ran, 1000);
        if (site != Message) {
            CmUrl.clear();
            form->Timer1Timer();
            QCOMPARE(CmUrl, goodTarget());
        }
    }
};

KALU_WINDOW_TEST_MAIN(tst_FaultMatrix)

#include "tst_faultmatrix.moc"
