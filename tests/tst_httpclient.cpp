#include <memory>
#include <stdexcept>

#include <QElapsedTimer>
#include <QTest>

#include "platform/Error.h"
#include "platform/HttpClient.h"
#include "platform/Stream.h"
#include "support/LoopbackServer.h"

using namespace Qt::StringLiterals;
using platform::HttpClient;
using Script = LoopbackServer::Script;

Q_DECLARE_METATYPE(LoopbackServer::Script)

namespace {

class MemoryStream : public platform::Stream
{
public:
    void Write(const char *data, std::size_t size) override { bytes.append(data, qsizetype(size)); }
    QByteArray bytes;
};

class FailingStream : public platform::Stream
{
public:
    void Write(const char *, std::size_t) override { throw platform::Error(u"書き込めません"_s); }
};

const QByteArray Head = "HTTP/1.1 200 OK\r\n"_ba;
const QString Reset = u"Socket Error # 10054\r\nConnection reset by peer."_s;
const QString TimedOut = u"Socket Error # 10060\r\nConnection timed out."_s;

QByteArray chunked(const QByteArray &body, qsizetype piece = 100000)
{
    QByteArray out = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"_ba;
    for (qsizetype at = 0; at < body.size(); at += piece) {
        const QByteArray part = body.mid(at, piece);
        out += QByteArray::number(part.size(), 16) + "\r\n"_ba + part + "\r\n"_ba;
    }
    return out + "0\r\n\r\n"_ba;
}

// Runs one Get either way: the error text (empty on success) and what arrived.
QString fetch(HttpClient &client, const QString &url, bool asText, QByteArray &body)
{
    MemoryStream stream;
    QString error;
    try {
        if (asText)
            stream.bytes = client.Get(url);
        else
            client.Get(url, stream);
    } catch (const platform::Error &e) {
        error = e.message();
    }
    body = stream.bytes;
    return error;
}

} // namespace

class tst_HttpClient : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void requestBytes();
    void hostWithDefaultPort();
    void proxyEnvironmentIgnored();
    void outcomes_data();
    void outcomes();
    void stallTimeout_data();
    void stallTimeout();
    void sizeLimits_data();
    void sizeLimits();
    void connectionFailures_data();
    void connectionFailures();
    void cookiesPerClient();
    void throwingStream();

private:
    std::unique_ptr<LoopbackServer> m_server;
    // One client for all outcomes: state must not leak from one fetch into the next.
    std::unique_ptr<HttpClient> m_client;
};

void tst_HttpClient::initTestCase()
{
    m_server = std::make_unique<LoopbackServer>();
    m_client = std::make_unique<HttpClient>();
    m_client->SetStallTimeout(std::chrono::milliseconds(500));
}

void tst_HttpClient::init()
{
    m_server->clear();
}

void tst_HttpClient::requestBytes()
{
    m_server->setRoute("/a/b.txt", LoopbackServer::ok("x"));
    HttpClient client;
    QCOMPARE(client.Get(m_server->url(u"/a/b.txt?slot=14&x=%41")), "x"_ba);
    const QList<LoopbackServer::Request> requests = m_server->requests();
    QCOMPARE(requests.size(), 1);
    QCOMPARE(requests[0].raw,
             "GET /a/b.txt?slot=14&x=%41 HTTP/1.1\r\n"
             "Host: 127.0.0.1:"_ba + QByteArray::number(m_server->port()) + "\r\n"
             "Accept: text/html, */*\r\n"
             "Accept-Encoding: identity\r\n"
             "User-Agent: Mozilla/3.0 (compatible; Indy Library)\r\n"
             "\r\n"_ba);
}

void tst_HttpClient::hostWithDefaultPort()
{
    std::unique_ptr<LoopbackServer> server;
    try {
        server = std::make_unique<LoopbackServer>(80);
    } catch (const std::runtime_error &e) {
        QSKIP(e.what());
    }
    server->setRoute("/", LoopbackServer::ok("x"));
    HttpClient().Get(u"http://127.0.0.1/"_s);
    QCOMPARE(server->requests().value(0).header("Host"), "127.0.0.1"_ba);
}

void tst_HttpClient::proxyEnvironmentIgnored()
{
    const QByteArray proxy = LoopbackServer().url(u"").toLatin1(); // nobody listens there any more
    const char *const proxyVariables[] = {"http_proxy", "HTTP_PROXY", "https_proxy", "ALL_PROXY", "all_proxy"};
    const QByteArray noProxy = qgetenv("no_proxy"), noProxyUpper = qgetenv("NO_PROXY");
    qunsetenv("no_proxy");
    qunsetenv("NO_PROXY");
    for (const char *name : proxyVariables)
        qputenv(name, proxy);
    m_server->setRoute("/direct", LoopbackServer::ok("direct"));
    QByteArray body;
    const QString error = fetch(*m_client, m_server->url(u"/direct"), true, body);
    for (const char *name : proxyVariables)
        qunsetenv(name);
    if (!noProxy.isNull())
        qputenv("no_proxy", noProxy);
    if (!noProxyUpper.isNull())
        qputenv("NO_PROXY", noProxyUpper);
    QCOMPARE(error, QString());
    QCOMPARE(body, "direct"_ba);
    QCOMPARE(m_server->paths(), QList<QByteArray>{"/direct"_ba});
}

void tst_HttpClient::outcomes_data()
{
    QTest::addColumn<Script>("reply");
    QTest::addColumn<bool>("asText");
    QTest::addColumn<QByteArray>("body"); // the body, or what the stream holds after a failure
    QTest::addColumn<QString>("error");

    QByteArray allBytes;
    for (int i = 0; i < 256; ++i)
        allBytes += char(i);
    const QByteArray gzip = QByteArray::fromHex("1f8b0800000000000203cb48cdc9c9d75148afca2c00004a9bb15c0b000000");
    const struct
    {
        const char *name;
        Script reply;
        QByteArray body;
        QString error;
    } rows[] = {
        {"content-length", Script().send(LoopbackServer::ok(allBytes)), allBytes, {}},
        {"chunked", Script().send(chunked("hello world", 5)), "hello world"_ba, {}},
        {"close-delimited", Script().send(Head + "\r\nuntil the end"_ba), "until the end"_ba, {}},
        {"gzip undecoded",
         Script().send(LoopbackServer::ok(gzip, "text/plain", "Content-Encoding: gzip\r\n")), gzip, {}},
        {"100 then 200",
         Script().send("HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok"_ba), "ok"_ba, {}},
        {"other 2xx", Script().send("HTTP/1.1 203 Non-Authoritative Information\r\nContent-Length: 1\r\n\r\nx"_ba),
         "x"_ba, {}},
        {"empty body", Script().send(LoopbackServer::ok({})), {}, {}},
        {"404", Script().send("HTTP/1.1 404 Not Found\r\nContent-Length: 9\r\n\r\nnot found"_ba), {},
         u"HTTP/1.1 404 Not Found"_s},
        {"500 with its own reason",
         Script().send("HTTP/1.0 500 Kaputt  \r\nTransfer-Encoding: chunked\r\n\r\n4\r\noops\r\n0\r\n\r\n"_ba), {},
         u"HTTP/1.0 500 Kaputt  "_s},
        {"302 not followed",
         Script().send("HTTP/1.1 302 Found\r\nLocation: /elsewhere\r\nContent-Length: 5\r\n\r\nmoved"_ba), {},
         u"HTTP/1.1 302 Found"_s},
        {"200 with Location",
         Script().send(Head + "location: /elsewhere\r\nContent-Length: 4\r\n\r\nbody"_ba), {}, u"HTTP/1.1 200 OK"_s},
        {"short body", Script().send(Head + "Content-Length: 10\r\n\r\nabcd"_ba), "abcd"_ba, Reset},
        {"reset in body", Script().send(Head + "Content-Length: 10\r\n\r\nabcd"_ba).pause(200).reset(), "abcd"_ba,
         Reset},
        {"reset before reply", Script().reset(), {}, Reset},
        {"empty reply", Script(), {}, Reset},
        {"not HTTP", Script().send("SSH-2.0-OpenSSH_9.2\r\n"_ba), {},
         u"Socket Error # 10043\r\nProtocol not supported."_s},
    };
    for (const auto &row : rows) {
        for (const bool asText : {false, true}) {
            // A failed text fetch returns nothing at all.
            const QByteArray body = asText && !row.error.isEmpty() ? QByteArray() : row.body;
            QTest::addRow("%s/%s", row.name, asText ? "text" : "stream") << row.reply << asText << body << row.error;
        }
    }
}

void tst_HttpClient::outcomes()
{
    QFETCH(Script, reply);
    QFETCH(bool, asText);
    QFETCH(QByteArray, body);
    QFETCH(QString, error);

    const QByteArray target = "/"_ba + QByteArray(QTest::currentDataTag()).toPercentEncoding("/");
    m_server->setRoute(target, reply);
    QByteArray received;
    QCOMPARE(fetch(*m_client, m_server->url(QString::fromLatin1(target)), asText, received), error);
    QCOMPARE(received, body);
    // One request only: no redirect followed, no retry.
    QCOMPARE(m_server->paths(), QList<QByteArray>{target});
}

// The stall clock counts silence since the last byte, to the millisecond; the
// client's time-out is 500 ms.
void tst_HttpClient::stallTimeout_data()
{
    QTest::addColumn<Script>("reply");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("error");
    QTest::addColumn<int>("limitMs");

    Script trickle = Script().send(Head + "Content-Length: 7\r\n\r\n"_ba);
    for (const char c : "trickle"_ba)
        trickle.pause(300).send(QByteArray(1, c));
    // Never silent for long, but longer in all than the transfer may take.
    Script endless = Script().send(Head + "Content-Length: 40\r\n\r\n"_ba);
    for (int i = 0; i < 40; ++i)
        endless.pause(200).send("x");
    QTest::newRow("before headers") << Script().pause(3000).send(LoopbackServer::ok("late")) << QByteArray()
                                    << TimedOut << 500;
    QTest::newRow("in body") << Script().send(Head + "Content-Length: 10\r\n\r\nabcd"_ba).pause(3000).send("efghij")
                             << "abcd"_ba << TimedOut << 500;
    QTest::newRow("byte every 300 ms") << trickle << "trickle"_ba << QString() << 0;
    QTest::newRow("trickle past the transfer limit") << endless << "xxxxxxx"_ba << TimedOut << 1500;
}

void tst_HttpClient::stallTimeout()
{
    QFETCH(Script, reply);
    QFETCH(QByteArray, body);
    QFETCH(QString, error);
    QFETCH(int, limitMs);

    m_server->setRoute("/slow", reply);
    m_client->SetTransferTimeout(std::chrono::milliseconds(limitMs == 1500 ? 1500 : 60000));
    QByteArray received;
    QElapsedTimer timer;
    timer.start();
    QCOMPARE(fetch(*m_client, m_server->url(u"/slow"), false, received), error);
    const qint64 elapsed = timer.elapsed();
    m_client->SetTransferTimeout(std::chrono::milliseconds(60000));
    if (limitMs == 1500)
        QVERIFY2(received.size() >= 6 && received.size() <= 8 && received.count('x') == received.size(),
                 received.constData());
    else
        QCOMPARE(received, body);
    if (!error.isEmpty())
        QVERIFY2(elapsed >= limitMs && elapsed <= limitMs + 1000, QByteArray::number(elapsed).constData());
}

void tst_HttpClient::sizeLimits_data()
{
    QTest::addColumn<bool>("asText");
    QTest::addColumn<bool>("isChunked");
    QTest::addColumn<qsizetype>("size");
    QTest::addColumn<QString>("error");

    const QString overPicture = u"応答が大きすぎます（上限 8 MiB）"_s;
    const QString overText = u"応答が大きすぎます（上限 1 MiB）"_s;
    for (const bool isChunked : {false, true}) {
        const char *framing = isChunked ? "chunked" : "content-length";
        QTest::addRow("picture at the limit, %s", framing) << false << isChunked << qsizetype(HttpClient::PictureLimit) << QString();
        QTest::addRow("picture over the limit, %s", framing) << false << isChunked << qsizetype(HttpClient::PictureLimit + 1) << overPicture;
        QTest::addRow("text at the limit, %s", framing) << true << isChunked << qsizetype(HttpClient::TextLimit) << QString();
        QTest::addRow("text over the limit, %s", framing) << true << isChunked << qsizetype(HttpClient::TextLimit + 1) << overText;
    }
}

void tst_HttpClient::sizeLimits()
{
    QFETCH(bool, asText);
    QFETCH(bool, isChunked);
    QFETCH(qsizetype, size);
    QFETCH(QString, error);

    QByteArray content(size, 'j');
    content[size - 1] = 'z';
    m_server->setRoute("/big", isChunked ? chunked(content) : LoopbackServer::ok(content));
    QByteArray received;
    QCOMPARE(fetch(*m_client, m_server->url(u"/big"), asText, received), error);
    if (error.isEmpty()) {
        QCOMPARE(received, content);
    } else {
        QVERIFY(std::size_t(received.size()) <= (asText ? HttpClient::TextLimit : HttpClient::PictureLimit));
        QVERIFY(content.startsWith(received));
    }
}

void tst_HttpClient::connectionFailures_data()
{
    QTest::addColumn<QString>("url");
    QTest::addColumn<QString>("error");

    QTest::newRow("refused") << LoopbackServer().url(u"/x.jpg") // nobody listens there any more
                             << u"Socket Error # 10061\r\nConnection refused."_s;
    QTest::newRow("unresolvable") << u"http://nonexistent.invalid/"_s << u"Socket Error # 11001\r\nHost not found."_s;
    const QString malformed = m_server->url(u"/cm/kalu/cm1.txt\r\n");
    QTest::newRow("line break in address") << malformed << u"アドレス \"%1\" は正しくありません。"_s.arg(malformed);
}

void tst_HttpClient::connectionFailures()
{
    QFETCH(QString, url);
    QFETCH(QString, error);

    MemoryStream stream;
    try {
        m_client->Get(url, stream);
        QFAIL("the fetch succeeded");
    } catch (const platform::Error &e) {
        QCOMPARE(e.message(), error);
    }
    QCOMPARE(stream.bytes, QByteArray());
    QCOMPARE(m_server->requests().size(), 0);
}

void tst_HttpClient::cookiesPerClient()
{
    m_server->setRoute("/set", LoopbackServer::ok("set", "text/plain", "Set-Cookie: session=abc; Path=/\r\n"));
    m_server->setRoute("/check", LoopbackServer::ok("check"));
    HttpClient first, second;
    first.Get(m_server->url(u"/set"));
    first.Get(m_server->url(u"/check"));
    second.Get(m_server->url(u"/check"));

    const QList<LoopbackServer::Request> requests = m_server->requests();
    QCOMPARE(requests.size(), 3);
    QVERIFY(requests[0].header("Cookie").isNull());
    QCOMPARE(requests[1].header("Cookie"), "session=abc"_ba);
    QVERIFY(requests[2].header("Cookie").isNull());
}

// The sink's exception crosses no C frame and reaches the caller unchanged; the
// client stays usable.
void tst_HttpClient::throwingStream()
{
    m_server->setRoute("/pic", LoopbackServer::ok("picture"));
    FailingStream failing;
    try {
        m_client->Get(m_server->url(u"/pic"), failing);
        QFAIL("the fetch succeeded");
    } catch (const platform::Error &e) {
        QCOMPARE(e.message(), u"書き込めません"_s);
    }
    MemoryStream stream;
    m_client->Get(m_server->url(u"/pic"), stream);
    QCOMPARE(stream.bytes, "picture"_ba);
}

QTEST_GUILESS_MAIN(tst_HttpClient)
#include "tst_httpclient.moc"
