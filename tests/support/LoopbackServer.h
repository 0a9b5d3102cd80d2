#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QString>
#include <QStringView>

#include <memory>
#include <utility>

// An HTTP/1.1 server on 127.0.0.1 that runs on threads of its own (one that
// accepts, one per connection), so a blocking client on the test's thread and
// a browser with several keep-alive connections can both use it. It records
// every request and answers from a table of routes; unknown paths get 404.
//
// A connection stays open for the next request after a fixed reply that
// carries Content-Length and no "Connection: close"; otherwise it is closed.
class LoopbackServer
{
public:
    struct Request
    {
        QByteArray raw;    // request line and header lines, blank line included
        QByteArray method;
        QByteArray target; // path and query, as sent
        QList<std::pair<QByteArray, QByteArray>> headers; // in order, values trimmed
        // The first value of the field, name case-insensitive; null when absent.
        QByteArray header(QByteArrayView name) const;
    };

    // A reply played step by step, for slow, cut-off, reset and stalled
    // responses. After the last step the connection is closed (FIN), or reset
    // (RST, through SO_LINGER 0) after reset().
    class Script
    {
    public:
        Script &send(QByteArray bytes);
        Script &pause(int ms); // silence, connection held open
        Script &reset();

    private:
        friend class LoopbackServer;
        enum class End { KeepAliveIfFramed, Close, Reset };
        QList<std::pair<QByteArray, int>> m_steps; // bytes, then pause in ms
        End m_end = End::Close;
    };

    // Listens on 127.0.0.1:port (0: any free port); throws std::runtime_error
    // when it cannot. The destructor stops every connection and joins.
    explicit LoopbackServer(quint16 port = 0);
    ~LoopbackServer();
    LoopbackServer(const LoopbackServer &) = delete;
    LoopbackServer &operator=(const LoopbackServer &) = delete;

    quint16 port() const;
    // "http://127.0.0.1:<port>" + target.
    QString url(QStringView target) const;

    // A route matches the request target exactly, or else its path without
    // the query. Routes may change while the server runs.
    void setRoute(const QByteArray &target, QByteArray rawResponse);
    void setRoute(const QByteArray &target, Script script);
    // A 200 response with Content-Length; extraHeaders are whole lines, each
    // ending in CR LF.
    static QByteArray ok(const QByteArray &body,
                         const QByteArray &contentType = QByteArrayLiteral("application/octet-stream"),
                         const QByteArray &extraHeaders = {});

    // Thread-safe snapshots, in arrival order.
    QList<Request> requests() const;
    QList<QByteArray> paths() const;
    void clear();
    // Waits until at least count requests have arrived, running the calling
    // thread's events meanwhile; false on time-out. QTRY_* over
    // requests().size() does the same.
    bool waitForRequests(qsizetype count, int timeoutMs = 5000) const;

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};
