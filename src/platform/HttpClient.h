#pragma once

#include <QByteArray>
#include <QString>

#include <chrono>
#include <cstddef>
#include <memory>

namespace platform {

class Stream;

// A blocking HTTP/1.1 client: one per window, each with its own connection and
// its own cookies, kept in memory only. Every failure throws platform::Error
// with the text the user is shown:
//  - a status outside 2xx, or any response carrying Location: the status line
//    exactly as received ("HTTP/1.1 404 Not Found"); redirects are not followed;
//  - a network failure: "Socket Error # <n>\r\n<description>", for instance
//    11001 "Host not found.", 10061 "Connection refused.",
//    10060 "Connection timed out.", 10054 "Connection reset by peer.";
//  - a body over the call's size limit: a message naming the limit.
class HttpClient
{
public:
    static constexpr std::size_t PictureLimit = 8u << 20; // Get into a stream
    static constexpr std::size_t TextLimit = 1u << 20;    // Get as text

    HttpClient();
    ~HttpClient();
    HttpClient(const HttpClient &) = delete;
    HttpClient &operator=(const HttpClient &) = delete;

    // Writes the body into the stream as it arrives; nothing of an error
    // response's body is written.
    void Get(const QString &url, Stream &stream);
    // Returns the whole body, byte for byte.
    QByteArray Get(const QString &url);

    // No byte for this long, once connected, fails the fetch with 10060.
    // 30 s; tests shorten it. Connecting keeps curl's own limit.
    void SetStallTimeout(std::chrono::milliseconds timeout);
    // A fetch that, once connected, is still going after this long fails with
    // 10060 too: a peer trickling a byte at a time must not hold the window
    // for good. 60 s; tests shorten it.
    void SetTransferTimeout(std::chrono::milliseconds timeout);
    // The two limits of clients made from now on (for tests of windows that
    // fetch while they are being built).
    static void SetDefaultTimeouts(std::chrono::milliseconds stall, std::chrono::milliseconds transfer);

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

} // namespace platform
