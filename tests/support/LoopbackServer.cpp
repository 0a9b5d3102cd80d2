#include "support/LoopbackServer.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <list>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QHash>

using namespace Qt::StringLiterals;

namespace {

// How long a closing connection waits for the peer's own close, so that the
// kernel sends FIN rather than RST over unread bytes.
constexpr int LingerMs = 2000;

qsizetype headEnd(const QByteArray &buffer)
{
    if (const qsizetype at = buffer.indexOf("\r\n\r\n"); at >= 0)
        return at + 4;
    if (const qsizetype at = buffer.indexOf("\n\n"); at >= 0)
        return at + 2;
    return -1;
}

QList<QByteArray> headLines(QByteArrayView head)
{
    QList<QByteArray> lines;
    for (QByteArray line : head.toByteArray().split('\n')) {
        if (line.endsWith('\r'))
            line.chop(1);
        if (!line.isEmpty())
            lines.append(line);
    }
    return lines;
}

// Whether a fixed reply leaves the connection usable: framed by Content-Length
// and not closed on purpose.
bool keepsAlive(const QByteArray &response)
{
    const qsizetype end = headEnd(response);
    bool framed = false;
    const QList<QByteArray> lines = headLines(QByteArrayView(response).first(end < 0 ? response.size() : end));
    for (const QByteArray &line : lines) {
        const QByteArray lower = line.toLower();
        if (lower.startsWith("content-length:"))
            framed = true;
        else if (lower.startsWith("connection:") && lower.contains("close"))
            return false;
    }
    return framed;
}

} // namespace

QByteArray LoopbackServer::Request::header(QByteArrayView name) const
{
    for (const auto &[field, value] : headers)
        if (field.compare(name, Qt::CaseInsensitive) == 0)
            return value;
    return {};
}

LoopbackServer::Script &LoopbackServer::Script::send(QByteArray bytes)
{
    m_steps.append({std::move(bytes), 0});
    return *this;
}

LoopbackServer::Script &LoopbackServer::Script::pause(int ms)
{
    m_steps.append({QByteArray(), ms});
    return *this;
}

LoopbackServer::Script &LoopbackServer::Script::reset()
{
    m_end = End::Reset;
    return *this;
}

struct LoopbackServer::Impl
{
    struct Connection
    {
        std::thread thread;
        std::atomic<bool> done = false;
    };

    int listenFd = -1;
    int stopFd = -1; // an eventfd that turns readable, for good, on stopping
    quint16 port = 0;
    std::thread acceptor;
    std::list<Connection> connections; // touched by the acceptor only, then by the destructor

    mutable std::mutex mutex;
    mutable std::condition_variable arrived;
    QHash<QByteArray, Script> routes;
    QList<Request> requests;

    enum class Ready { Yes, TimedOut, Stopping };
    Ready waitFor(int fd, short events, int timeoutMs) const;
    bool receive(int fd, QByteArray &buffer) const;
    bool sendAll(int fd, QByteArrayView bytes) const;
    bool sleep(int ms) const { return waitFor(-1, 0, ms) != Ready::Stopping; }

    void acceptLoop();
    void serve(int fd);
    Script route(const QByteArray &target) const;
    void record(Request request);
};

LoopbackServer::Impl::Ready LoopbackServer::Impl::waitFor(int fd, short events, int timeoutMs) const
{
    pollfd fds[2] = {{stopFd, POLLIN, 0}, {fd, events, 0}};
    for (;;) {
        const int n = ::poll(fds, fd < 0 ? 1 : 2, timeoutMs);
        if (n < 0 && errno == EINTR)
            continue;
        if (n == 0)
            return Ready::TimedOut;
        return (n < 0 || fds[0].revents) ? Ready::Stopping : Ready::Yes;
    }
}

bool LoopbackServer::Impl::receive(int fd, QByteArray &buffer) const
{
    for (;;) {
        if (waitFor(fd, POLLIN, -1) != Ready::Yes)
            return false;
        char chunk[16384];
        const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
        if (n > 0) {
            buffer.append(chunk, n);
            return true;
        }
        if (n == 0 || (errno != EAGAIN && errno != EINTR))
            return false;
    }
}

bool LoopbackServer::Impl::sendAll(int fd, QByteArrayView bytes) const
{
    while (!bytes.isEmpty()) {
        const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n > 0) {
            bytes = bytes.sliced(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            if (waitFor(fd, POLLOUT, -1) != Ready::Yes)
                return false;
        } else {
            return false; // the client went away
        }
    }
    return true;
}

LoopbackServer::Script LoopbackServer::Impl::route(const QByteArray &target) const
{
    std::lock_guard lock(mutex);
    auto it = routes.constFind(target);
    if (it == routes.cend())
        it = routes.constFind(target.left(target.indexOf('?')));
    if (it != routes.cend())
        return *it;
    Script notFound;
    notFound.send("HTTP/1.1 404 Not Found\r\nContent-Type: text/plain\r\nContent-Length: 9\r\n\r\nNot Found"_ba);
    notFound.m_end = Script::End::KeepAliveIfFramed;
    return notFound;
}

void LoopbackServer::Impl::record(Request request)
{
    {
        std::lock_guard lock(mutex);
        requests.append(std::move(request));
    }
    arrived.notify_all();
}

void LoopbackServer::Impl::serve(int fd)
{
    QByteArray buffer;
    bool open = true;
    Script::End end = Script::End::Close;
    while (open) {
        qsizetype at;
        while ((at = headEnd(buffer)) < 0)
            if (!receive(fd, buffer)) {
                ::close(fd);
                return;
            }
        Request request;
        request.raw = buffer.left(at);
        buffer.remove(0, at);
        const QList<QByteArray> lines = headLines(request.raw);
        if (!lines.isEmpty()) {
            const QList<QByteArray> words = lines.first().split(' ');
            request.method = words.value(0);
            request.target = words.value(1);
        }
        for (qsizetype i = 1; i < lines.size(); ++i) {
            const qsizetype colon = lines[i].indexOf(':');
            if (colon > 0)
                request.headers.append({lines[i].left(colon), lines[i].mid(colon + 1).trimmed()});
        }
        // Skip a request body; the replies never depend on it.
        const qsizetype bodySize = request.header("Content-Length").toLongLong();
        while (buffer.size() < bodySize && receive(fd, buffer)) {
        }
        buffer.remove(0, bodySize);
        const bool clientCloses = request.header("Connection").toLower().contains("close");
        const Script reply = route(request.target);
        record(std::move(request));

        for (const auto &[bytes, pauseMs] : reply.m_steps) {
            if (!(bytes.isEmpty() ? sleep(pauseMs) : sendAll(fd, bytes))) {
                ::close(fd);
                return;
            }
        }
        end = reply.m_end;
        open = end == Script::End::KeepAliveIfFramed && !clientCloses && keepsAlive(reply.m_steps.first().first);
    }
    if (end == Script::End::Reset) {
        const linger abortive{1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
    } else {
        ::shutdown(fd, SHUT_WR);
        QDeadlineTimer deadline(LingerMs);
        char sink[4096];
        while (waitFor(fd, POLLIN, int(deadline.remainingTime())) == Ready::Yes && ::recv(fd, sink, sizeof sink, 0) > 0) {
        }
    }
    ::close(fd);
}

void LoopbackServer::Impl::acceptLoop()
{
    while (waitFor(listenFd, POLLIN, -1) == Ready::Yes) {
        const int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            sleep(10); // out of descriptors, say: the backlog keeps the client waiting
            continue;
        }
        // Scripted pieces must leave as they are written.
        const int on = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        for (auto it = connections.begin(); it != connections.end();) {
            if (it->done) {
                it->thread.join();
                it = connections.erase(it);
            } else {
                ++it;
            }
        }
        Connection &connection = connections.emplace_back();
        connection.thread = std::thread([this, fd, &connection] {
            serve(fd);
            connection.done = true;
        });
    }
}

LoopbackServer::LoopbackServer(quint16 port)
    : d(std::make_unique<Impl>())
{
    const auto fail = [this](const std::string &what) {
        const int error = errno;
        const std::string message = "LoopbackServer: " + what + ": " + std::strerror(error);
        if (d->listenFd >= 0)
            ::close(d->listenFd);
        if (d->stopFd >= 0)
            ::close(d->stopFd);
        throw std::runtime_error(message);
    };
    d->listenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (d->listenFd < 0)
        fail("socket");
    // A fixed port must be reusable while the last run's connections sit in TIME_WAIT.
    const int on = 1;
    ::setsockopt(d->listenFd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(d->listenFd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0)
        fail("bind to 127.0.0.1:" + std::to_string(port));
    if (::listen(d->listenFd, 64) != 0)
        fail("listen");
    socklen_t length = sizeof address;
    ::getsockname(d->listenFd, reinterpret_cast<sockaddr *>(&address), &length);
    d->port = ntohs(address.sin_port);
    d->stopFd = ::eventfd(0, EFD_CLOEXEC);
    if (d->stopFd < 0)
        fail("eventfd");
    d->acceptor = std::thread([this] { d->acceptLoop(); });
}

LoopbackServer::~LoopbackServer()
{
    const eventfd_t one = 1;
    ::eventfd_write(d->stopFd, one);
    d->acceptor.join();
    for (Impl::Connection &connection : d->connections)
        connection.thread.join();
    ::close(d->listenFd);
    ::close(d->stopFd);
}

quint16 LoopbackServer::port() const
{
    return d->port;
}

QString LoopbackServer::url(QStringView target) const
{
    return u"http://127.0.0.1:%1%2"_s.arg(QString::number(d->port), target);
}

void LoopbackServer::setRoute(const QByteArray &target, QByteArray rawResponse)
{
    Script script;
    script.send(std::move(rawResponse));
    script.m_end = Script::End::KeepAliveIfFramed;
    setRoute(target, std::move(script));
}

void LoopbackServer::setRoute(const QByteArray &target, Script script)
{
    std::lock_guard lock(d->mutex);
    d->routes.insert(target, std::move(script));
}

QByteArray LoopbackServer::ok(const QByteArray &body, const QByteArray &contentType, const QByteArray &extraHeaders)
{
    return "HTTP/1.1 200 OK\r\nContent-Type: "_ba + contentType + "\r\nContent-Length: "_ba
        + QByteArray::number(body.size()) + "\r\n"_ba + extraHeaders + "\r\n"_ba + body;
}

QList<LoopbackServer::Request> LoopbackServer::requests() const
{
    std::lock_guard lock(d->mutex);
    return d->requests;
}

QList<QByteArray> LoopbackServer::paths() const
{
    std::lock_guard lock(d->mutex);
    QList<QByteArray> targets;
    for (const Request &request : d->requests)
        targets.append(request.target);
    return targets;
}

void LoopbackServer::clear()
{
    std::lock_guard lock(d->mutex);
    d->requests.clear();
}

bool LoopbackServer::waitForRequests(qsizetype count, int timeoutMs) const
{
    const QDeadlineTimer deadline(timeoutMs);
    std::unique_lock lock(d->mutex);
    while (d->requests.size() < count) {
        if (deadline.hasExpired())
            return false;
        if (QCoreApplication::instance()) {
            lock.unlock();
            QCoreApplication::processEvents();
            lock.lock();
        }
        d->arrived.wait_for(lock, std::chrono::milliseconds(10));
    }
    return true;
}
