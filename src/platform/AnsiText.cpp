#include "platform/AnsiText.h"

#include <cerrno>
#include <cstring>

#include <iconv.h>

#include "platform/Error.h"

namespace platform::AnsiText {

using namespace Qt::StringLiterals;

namespace {

// glibc's "CP932" is the Windows code page: 0x5C stays "\", 0x8160 is U+FF5E
// and the NEC and IBM rows are there. Its "SHIFT_JIS" is not.
constexpr const char *Cp932 = "CP932";
constexpr const char *Utf16 = Q_BYTE_ORDER == Q_LITTLE_ENDIAN ? "UTF-16LE" : "UTF-16BE";
constexpr const char *Utf32 = Q_BYTE_ORDER == Q_LITTLE_ENDIAN ? "UTF-32LE" : "UTF-32BE";

// One iconv handle per conversion: handles are not thread-safe and cheap to open.
class Converter
{
public:
    Converter(const char *to, const char *from)
        : m_cd(iconv_open(to, from))
    {
        if (m_cd == reinterpret_cast<iconv_t>(-1))
            throw Error(u"文字コード "_s % QLatin1StringView(from) % u" から "_s
                        % QLatin1StringView(to) % u" への変換が使えません"_s);
    }
    ~Converter() { iconv_close(m_cd); }
    Converter(const Converter &) = delete;
    Converter &operator=(const Converter &) = delete;

    // Converts [in, in + size) into out. A sequence iconv cannot convert is
    // replaced by `replacement` and `skip` input bytes are passed over.
    void Convert(const char *in, std::size_t size, QByteArray &out,
                 const QByteArray &replacement, std::size_t skip)
    {
        out.clear();
        out.resize(qsizetype(size) * 2 + 16);
        char *inPtr = const_cast<char *>(in);
        std::size_t inLeft = size;
        std::size_t done = 0;
        iconv(m_cd, nullptr, nullptr, nullptr, nullptr);
        while (inLeft > 0) {
            char *outPtr = out.data() + done;
            std::size_t outLeft = std::size_t(out.size()) - done;
            const std::size_t result = iconv(m_cd, &inPtr, &inLeft, &outPtr, &outLeft);
            const int error = errno;
            done = std::size_t(outPtr - out.data());
            if (result != std::size_t(-1))
                break;
            if (error == E2BIG || outLeft < std::size_t(replacement.size())) {
                out.resize(out.size() * 2);
                continue;
            }
            // EILSEQ or EINVAL (cut off at the end): replace and go on.
            const std::size_t n = qMin(skip, inLeft);
            inPtr += n;
            inLeft -= n;
            std::memcpy(out.data() + done, replacement.constData(), std::size_t(replacement.size()));
            done += std::size_t(replacement.size());
        }
        out.resize(qsizetype(done));
    }

private:
    iconv_t m_cd;
};

QString Decode(Converter &converter, const char *data, qsizetype size)
{
    static const QByteArray replacement = [] {
        const char16_t fffd = u'\uFFFD';
        return QByteArray(reinterpret_cast<const char *>(&fffd), sizeof fffd);
    }();
    QByteArray utf16;
    converter.Convert(data, std::size_t(size), utf16, replacement, 1);
    return QString(reinterpret_cast<const QChar *>(utf16.constData()), utf16.size() / 2);
}

} // namespace

QString ToUnicode(const QByteArray &cp932)
{
    Converter converter(Utf16, Cp932);
    return Decode(converter, cp932.constData(), cp932.size());
}

QByteArray FromUnicode(const QString &text)
{
    // UTF-32 in, so that one unmappable character (a surrogate pair too) is one "?".
    const QList<uint> codePoints = text.toUcs4();
    Converter converter(Cp932, Utf32);
    QByteArray out;
    converter.Convert(reinterpret_cast<const char *>(codePoints.constData()),
                      std::size_t(codePoints.size()) * sizeof(uint), out, "?"_ba, sizeof(uint));
    return out;
}

QStringList Lines(const QByteArray &body)
{
    // CR, LF and NUL never occur as trail bytes in CP932 (those are 0x40 to
    // 0xFC), so the body can be split as bytes before it is decoded.
    qsizetype end = body.indexOf('\0');
    if (end < 0)
        end = body.size();

    Converter converter(Utf16, Cp932);
    QStringList lines;
    const char *data = body.constData();
    qsizetype start = 0;
    for (qsizetype i = 0; i < end; ++i) {
        if (data[i] != '\r' && data[i] != '\n')
            continue;
        lines.append(Decode(converter, data + start, i - start));
        if (data[i] == '\r' && i + 1 < end && data[i + 1] == '\n')
            ++i;
        start = i + 1;
    }
    if (start < end)
        lines.append(Decode(converter, data + start, end - start));
    return lines;
}

} // namespace platform::AnsiText
