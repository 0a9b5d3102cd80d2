#include "platform/HttpClient.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <exception>
#include <mutex>

#include <curl/curl.h>

#include <QByteArrayView>

#include "platform/AnsiText.h"
#include "platform/BusyCursor.h"
#include "platform/Error.h"
#include "platform/Stream.h"

using namespace Qt::StringLiterals;

namespace platform {

namespace {

// Users know network failures by their Winsock numbers and texts, so the
// system's errno and curl's codes are reported in those terms:
//
//   curl code                                 Winsock number
//   COULDNT_RESOLVE_HOST                      11001 Host not found.
//   COULDNT_CONNECT                           from errno, else 10061
//   OPERATION_TIMEDOUT (connecting)           10060 Connection timed out.
//   ABORTED_BY_CALLBACK after a stall         10060 Connection timed out.
//   SEND_ERROR, RECV_ERROR                    from errno, else 10054
//   PARTIAL_FILE (body shorter than told)     10054 Connection reset by peer.
//   GOT_NOTHING (closed before any reply)     10054 Connection reset by peer.
//   WEIRD_SERVER_REPLY, UNSUPPORTED_PROTOCOL  10043 Protocol not supported.
//
//   errno                 Winsock number
//   ENETDOWN              10050 Network is down.
//   ENETUNREACH           10051 Network is unreachable.
//   ENETRESET             10052 Net dropped connection or reset.
//   ECONNABORTED          10053 Software caused connection abort.
//   ECONNRESET, EPIPE     10054 Connection reset by peer.
//   ETIMEDOUT             10060 Connection timed out.
//   ECONNREFUSED          10061 Connection refused.
//   EHOSTDOWN             10064 Host is down.
//   EHOSTUNREACH          10065 No route to host.
int winsockNumber(long osErrno, int fallback)
{
    switch (osErrno) {
    case ENETDOWN: return 10050;
    case ENETUNREACH: return 10051;
    case ENETRESET: return 10052;
    case ECONNABORTED: return 10053;
    case ECONNRESET:
    case EPIPE: return 10054;
    case ETIMEDOUT: return 10060;
    case ECONNREFUSED: return 10061;
    case EHOSTDOWN: return 10064;
    case EHOSTUNREACH: return 10065;
    default: return fallback;
    }
}

QLatin1StringView winsockText(int number)
{
    switch (number) {
    case 10043: return "Protocol not supported."_L1;
    case 10050: return "Network is down."_L1;
    case 10051: return "Network is unreachable."_L1;
    case 10052: return "Net dropped connection or reset."_L1;
    case 10053: return "Software caused connection abort."_L1;
    case 10054: return "Connection reset by peer."_L1;
    case 10060: return "Connection timed out."_L1;
    case 10061: return "Connection refused."_L1;
    case 10064: return "Host is down."_L1;
    case 10065: return "No route to host."_L1;
    case 11001: return "Host not found."_L1;
    default: return {};
    }
}

QString socketError(int number)
{
    return u"Socket Error # %1\r\n%2"_s.arg(number).arg(winsockText(number));
}

// Collects a text body for Get(url).
class Buffer : public Stream
{
public:
    void Write(const char *data, std::size_t size) override { bytes.append(data, qsizetype(size)); }
    QByteArray bytes;
};

} // namespace

struct HttpClient::Impl
{
    using Clock = std::chrono::steady_clock;

    CURLM *multi = nullptr;
    CURL *curl = nullptr;
    curl_slist *headers = nullptr;
    char detail[CURL_ERROR_SIZE] = {};
    std::chrono::milliseconds stallTimeout = defaultStall;
    std::chrono::milliseconds transferTimeout = defaultTransfer;
    static inline std::chrono::milliseconds defaultStall{30000};
    static inline std::chrono::milliseconds defaultTransfer{60000};

    // The transfer under way.
    Stream *sink = nullptr;
    std::size_t limit = 0;
    std::size_t written = 0;
    QByteArray statusLine;
    bool inHeaders = false;
    bool hasLocation = false;
    bool refused = false;
    bool tooLarge = false;
    std::exception_ptr sinkError;
    // The stall clock: it runs from the moment the connection is up.
    bool connected = false;
    bool stalled = false;
    Clock::time_point connectedAt;
    Clock::time_point lastByte;

    // When the next limit falls due, once connected.
    Clock::time_point Due() const { return std::min(lastByte + stallTimeout, connectedAt + transferTimeout); }

    ~Impl()
    {
        if (curl)
            curl_easy_cleanup(curl);
        if (multi)
            curl_multi_cleanup(multi);
        curl_slist_free_all(headers);
    }

    void Perform(const QString &url, Stream &stream, std::size_t maxBytes);
    CURLcode Transfer();
    QString FailureText(CURLcode result, const QString &url) const;

    static size_t OnHeader(char *data, size_t, size_t size, void *self);
    static size_t OnBody(char *data, size_t, size_t size, void *self);
    static int OnConnected(void *self, char *, char *, int, int);
    static int OnProgress(void *self, curl_off_t, curl_off_t, curl_off_t, curl_off_t);
};

// curl hands over one complete header line per call, the status lines of
// interim 1xx responses included. The verdict falls at the blank line that
// ends the final response's headers, before any body byte can reach the sink.
size_t HttpClient::Impl::OnHeader(char *data, size_t, size_t size, void *self)
{
    auto *d = static_cast<Impl *>(self);
    d->lastByte = Clock::now();
    const QByteArrayView line(data, qsizetype(size));
    if (line.startsWith("HTTP/")) {
        d->statusLine = line.toByteArray();
        while (d->statusLine.endsWith('\n') || d->statusLine.endsWith('\r'))
            d->statusLine.chop(1);
        d->inHeaders = true;
        d->hasLocation = false;
    } else if (!d->inHeaders) {
        // Trailers of a chunked body decide nothing.
    } else if (line == "\r\n" || line == "\n") {
        d->inHeaders = false;
        long code = 0;
        curl_easy_getinfo(d->curl, CURLINFO_RESPONSE_CODE, &code);
        if (code < 200)
            return size;
        if (code >= 300 || d->hasLocation) {
            d->refused = true;
            return 0;
        }
        // Refuse a declared oversize body before fetching it.
        curl_off_t length = -1;
        curl_easy_getinfo(d->curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
        if (length > 0 && std::size_t(length) > d->limit) {
            d->tooLarge = true;
            return 0;
        }
    } else if (line.size() >= 9 && qstrnicmp(line.data(), "location:", 9) == 0) {
        d->hasLocation = true;
    }
    return size;
}

// Returning less than size makes curl stop with CURLE_WRITE_ERROR. Nothing may
// propagate through curl's C frames, so the sink's exception waits here until
// curl_easy_perform has returned.
size_t HttpClient::Impl::OnBody(char *data, size_t, size_t size, void *self)
{
    auto *d = static_cast<Impl *>(self);
    d->lastByte = Clock::now();
    if (size > d->limit - d->written) {
        d->tooLarge = true;
        return 0;
    }
    try {
        d->sink->Write(data, size);
    } catch (...) {
        d->sinkError = std::current_exception();
        return 0;
    }
    d->written += size;
    return size;
}

// Called once the connection is up (new or reused), before the request goes
// out: from here on silence counts as a stall. Until then curl's own connect
// time-out rules, as the system's would.
int HttpClient::Impl::OnConnected(void *self, char *, char *, int, int)
{
    auto *d = static_cast<Impl *>(self);
    if (!d->connected)
        d->connectedAt = Clock::now();
    d->connected = true;
    d->lastByte = Clock::now();
    return CURL_PREREQFUNC_OK;
}

// Header lines (once complete) and body pieces move the clock; curl calls this
// on every turn of Transfer's loop, the silent ones included. A non-zero
// return makes curl stop with CURLE_ABORTED_BY_CALLBACK.
int HttpClient::Impl::OnProgress(void *self, curl_off_t, curl_off_t, curl_off_t, curl_off_t)
{
    auto *d = static_cast<Impl *>(self);
    if (d->connected && Clock::now() >= d->Due()) {
        d->stalled = true;
        return 1;
    }
    return 0;
}

// curl_easy_perform wakes up only once a second while the line is silent, so
// this loop drives the transfer and sleeps exactly until a stall would be due.
CURLcode HttpClient::Impl::Transfer()
{
    CURLMcode status = curl_multi_add_handle(multi, curl);
    CURLcode result = CURLE_OK;
    while (status == CURLM_OK) {
        int running = 0;
        status = curl_multi_perform(multi, &running);
        if (status != CURLM_OK)
            break;
        if (!running) {
            int queued = 0;
            const CURLMsg *message = curl_multi_info_read(multi, &queued);
            result = message && message->msg == CURLMSG_DONE ? message->data.result : CURLE_GOT_NOTHING;
            break;
        }
        // curl shortens the wait for timers of its own (the connect time-out).
        std::chrono::milliseconds wait(1000);
        if (connected) {
            const auto due = std::chrono::ceil<std::chrono::milliseconds>(Due() - Clock::now());
            wait = std::clamp(due, std::chrono::milliseconds(0), wait);
        }
        status = curl_multi_poll(multi, nullptr, 0, int(wait.count()), nullptr);
    }
    curl_multi_remove_handle(multi, curl);
    if (status != CURLM_OK)
        throw Error(QString::fromUtf8(curl_multi_strerror(status)));
    return result;
}

void HttpClient::Impl::Perform(const QString &url, Stream &stream, std::size_t maxBytes)
{
    BusyCursor busy;
    sink = &stream;
    limit = maxBytes;
    written = 0;
    statusLine.clear();
    inHeaders = hasLocation = refused = tooLarge = false;
    connected = stalled = false;
    sinkError = nullptr;
    detail[0] = '\0';

    curl_easy_setopt(curl, CURLOPT_URL, url.toUtf8().constData());
    const CURLcode result = Transfer();
    if (result == CURLE_OK)
        return;
    if (sinkError)
        std::rethrow_exception(sinkError);
    if (stalled)
        throw Error(socketError(10060));
    if (refused)
        throw Error(AnsiText::ToUnicode(statusLine));
    if (tooLarge)
        throw Error(u"応答が大きすぎます（上限 %1 MiB）"_s.arg(limit >> 20));
    throw Error(FailureText(result, url));
}

QString HttpClient::Impl::FailureText(CURLcode result, const QString &url) const
{
    // The OS error of an earlier failure lingers after a success: ask only now.
    long osErrno = 0;
    curl_easy_getinfo(curl, CURLINFO_OS_ERRNO, &osErrno);
    switch (result) {
    case CURLE_COULDNT_RESOLVE_HOST: return socketError(11001);
    case CURLE_COULDNT_CONNECT: return socketError(winsockNumber(osErrno, 10061));
    case CURLE_OPERATION_TIMEDOUT: return socketError(10060);
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR: return socketError(winsockNumber(osErrno, 10054));
    case CURLE_PARTIAL_FILE:
    case CURLE_GOT_NOTHING: return socketError(10054);
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_UNSUPPORTED_PROTOCOL: return socketError(10043);
    case CURLE_URL_MALFORMAT: return u"アドレス \"%1\" は正しくありません。"_s.arg(url);
    default:
        // TLS and the rarer failures: curl's own words say the most.
        return QString::fromUtf8(detail[0] ? detail : curl_easy_strerror(result));
    }
}

HttpClient::HttpClient()
    : d(std::make_unique<Impl>())
{
    // Once per process, and not from a static initialiser: it is not thread-safe.
    static std::once_flag globalInit;
    std::call_once(globalInit, [] {
        if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK)
            throw Error(u"HTTP クライアントを初期化できません。"_s);
    });
    d->multi = curl_multi_init();
    d->curl = curl_easy_init();
    if (!d->multi || !d->curl)
        throw Error(u"HTTP クライアントを初期化できません。"_s);

    // Set by hand: CURLOPT_ACCEPT_ENCODING, even "identity", would make curl
    // decompress what it receives.
    for (const char *header : {"Accept: text/html, */*", "Accept-Encoding: identity",
                               "User-Agent: Mozilla/3.0 (compatible; Indy Library)"})
        d->headers = curl_slist_append(d->headers, header);

    CURL *c = d->curl;
    curl_easy_setopt(c, CURLOPT_ERRORBUFFER, d->detail);
    curl_easy_setopt(c, CURLOPT_HTTPHEADER, d->headers);
    curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(c, CURLOPT_HTTP_VERSION, long(CURL_HTTP_VERSION_1_1));
    // An empty proxy makes curl ignore http_proxy, ALL_PROXY and the like.
    curl_easy_setopt(c, CURLOPT_PROXY, "");
    // An in-memory cookie engine of this handle's own; nothing is read or saved.
    curl_easy_setopt(c, CURLOPT_COOKIEFILE, "");
    curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 0L);
    // Bodies arrive as sent; chunked framing is still undone (transfer decoding).
    curl_easy_setopt(c, CURLOPT_HTTP_CONTENT_DECODING, 0L);
    // No signals: the GUI thread blocks here while Qt's other threads run.
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_PREREQFUNCTION, &Impl::OnConnected);
    curl_easy_setopt(c, CURLOPT_PREREQDATA, d.get());
    curl_easy_setopt(c, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(c, CURLOPT_XFERINFOFUNCTION, &Impl::OnProgress);
    curl_easy_setopt(c, CURLOPT_XFERINFODATA, d.get());
    curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, &Impl::OnHeader);
    curl_easy_setopt(c, CURLOPT_HEADERDATA, d.get());
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, &Impl::OnBody);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, d.get());
}

HttpClient::~HttpClient() = default;

void HttpClient::Get(const QString &url, Stream &stream)
{
    d->Perform(url, stream, PictureLimit);
}

QByteArray HttpClient::Get(const QString &url)
{
    Buffer buffer;
    d->Perform(url, buffer, TextLimit);
    return buffer.bytes;
}

void HttpClient::SetStallTimeout(std::chrono::milliseconds timeout)
{
    d->stallTimeout = timeout;
}

void HttpClient::SetTransferTimeout(std::chrono::milliseconds timeout)
{
    d->transferTimeout = timeout;
}

void HttpClient::SetDefaultTimeouts(std::chrono::milliseconds stall, std::chrono::milliseconds transfer)
{
    Impl::defaultStall = stall;
    Impl::defaultTransfer = transfer;
}

} // namespace platform
