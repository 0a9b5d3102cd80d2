// Whatever a server sends back, a fetch ends with a body or a clean
// platform::Error. A loopback server on its own thread answers each
// connection's request with the fuzz input as raw bytes, then closes.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <utility>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QByteArray>
#include <QString>

#include "platform/Error.h"
#include "platform/HttpClient.h"
#include "platform/Stream.h"

using namespace Qt::StringLiterals;

namespace {

class MemoryStream : public platform::Stream
{
public:
    void Write(const char *data, std::size_t size) override { bytes.append(data, qsizetype(size)); }
    QByteArray bytes;
};

// The server's branches depend on timing, not on the input: keep them out of
// the coverage the fuzzer steers by.
#define KALU_NO_COVERAGE __attribute__((no_sanitize("coverage")))

class RawServer
{
public:
    KALU_NO_COVERAGE RawServer()
    {
        m_listen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (m_listen < 0 || ::bind(m_listen, reinterpret_cast<sockaddr *>(&address), length) != 0
            || ::listen(m_listen, 16) != 0
            || ::getsockname(m_listen, reinterpret_cast<sockaddr *>(&address), &length) != 0)
            std::abort();
        m_url = u"http://127.0.0.1:%1/fuzz"_s.arg(ntohs(address.sin_port));
        std::thread([this] { Serve(); }).detach(); // lives as long as the process
    }

    const QString &url() const { return m_url; }

    void SetResponse(QByteArray bytes)
    {
        const std::lock_guard lock(m_mutex);
        m_response = std::move(bytes);
    }

private:
    KALU_NO_COVERAGE void Serve()
    {
        for (;;) {
            const int fd = ::accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0)
                continue;
            // The whole request first, so that closing sends FIN, not RST.
            QByteArray request;
            char buffer[4096];
            pollfd ready{fd, POLLIN, 0};
            while (!request.contains("\r\n\r\n") && request.size() < 65536 && ::poll(&ready, 1, 2000) == 1) {
                const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
                if (n <= 0)
                    break;
                request.append(buffer, n);
            }
            QByteArray response;
            {
                const std::lock_guard lock(m_mutex);
                response = m_response;
            }
            for (qsizetype sent = 0; sent < response.size();) {
                const ssize_t n = ::send(fd, response.constData() + sent, std::size_t(response.size() - sent), MSG_NOSIGNAL);
                if (n <= 0)
                    break;
                sent += n;
            }
            ::close(fd);
        }
    }

    int m_listen = -1;
    QString m_url;
    std::mutex m_mutex;
    QByteArray m_response;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    static RawServer server;
    server.SetResponse(QByteArray(reinterpret_cast<const char *>(data), qsizetype(size)));

    // A new client each time: no cookie or kept-alive connection carries
    // one input's effects into the next.
    platform::HttpClient client;
    client.SetStallTimeout(std::chrono::milliseconds(200));
    MemoryStream body;
    try {
        client.Get(server.url(), body);
    } catch (const platform::Error &e) {
        if (e.message().isEmpty())
            std::abort();
    }
    if (std::size_t(body.bytes.size()) > platform::HttpClient::PictureLimit)
        std::abort();
    return 0;
}
