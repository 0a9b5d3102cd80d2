// Any bytes decode to a picture or fail with the decoder's message; nothing
// else may come out, and nothing may read or write outside its buffers.

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include <QByteArray>
#include <QImage>

#include "platform/Error.h"
#include "platform/Picture.h"

using namespace Qt::StringLiterals;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    // No copy: ASan then sees a read one past the input.
    const QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char *>(data), qsizetype(size));
    try {
        const QImage image = platform::Picture::DecodeJpeg(bytes);
        if (image.isNull() || image.format() != QImage::Format_RGB888
            || qint64(image.width()) * image.height() > platform::Picture::MaxPixels)
            std::abort();
    } catch (const platform::Error &e) {
        if (!e.message().startsWith(u"JPEG エラー #"_s))
            std::abort();
    }
    return 0;
}
