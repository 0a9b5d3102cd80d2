#include "platform/Picture.h"

#include <csetjmp>
#include <cstdio>

#include <jpeglib.h>
#include <jerror.h>

#include <QFile>
#include <QFileInfo>

#include "platform/Error.h"
#include "platform/FileStream.h"

namespace platform::Picture {

using namespace Qt::StringLiterals;

namespace {

// Coefficient buffers of progressive files grow with the claimed size; beyond
// this libjpeg gives up (JERR_NO_BACKING_STORE) instead of taking gigabytes.
constexpr long MaxDecoderMemory = 256L * 1024 * 1024;

// Everything libjpeg touches lives here. The steps below run between setjmp
// and a possible longjmp, so they hold plain data only: no destructor would
// run when an error jumps out of them.
struct Decoder
{
    jpeg_decompress_struct cinfo;
    jpeg_error_mgr err;
    std::jmp_buf jump;
    const unsigned char *input;
    unsigned long inputSize;
    unsigned char *pixels;
    qsizetype bytesPerLine;
};

void JumpOut(j_common_ptr cinfo)
{
    std::longjmp(reinterpret_cast<Decoder *>(cinfo->client_data)->jump, 1);
}

// Warnings (a file cut short in its image data) are not failures; stay quiet.
void Discard(j_common_ptr) {}

// Runs one step under the error handler: false when libjpeg raised an error,
// whose code is then in err.msg_code.
bool Guarded(Decoder *d, void (*step)(Decoder *))
{
    if (setjmp(d->jump))
        return false;
    step(d);
    return true;
}

void ReadHeader(Decoder *d)
{
    jpeg_create_decompress(&d->cinfo);
    d->cinfo.mem->max_memory_to_use = MaxDecoderMemory;
    // An empty input already fails here.
    jpeg_mem_src(&d->cinfo, d->input, d->inputSize);
    jpeg_read_header(&d->cinfo, TRUE);
    switch (d->cinfo.jpeg_color_space) {
    case JCS_CMYK:
    case JCS_YCCK:
        d->cinfo.out_color_space = JCS_CMYK;
        break;
    default:
        d->cinfo.out_color_space = JCS_RGB;
        break;
    }
}

void DecodeRows(Decoder *d)
{
    jpeg_decompress_struct &cinfo = d->cinfo;
    jpeg_start_decompress(&cinfo);
    if (cinfo.out_color_space == JCS_RGB) {
        while (cinfo.output_scanline < cinfo.output_height) {
            JSAMPROW row = d->pixels + cinfo.output_scanline * d->bytesPerLine;
            jpeg_read_scanlines(&cinfo, &row, 1);
        }
    } else {
        JSAMPARRAY cmyk = (*cinfo.mem->alloc_sarray)(
            reinterpret_cast<j_common_ptr>(&cinfo), JPOOL_IMAGE, cinfo.output_width * 4, 1);
        while (cinfo.output_scanline < cinfo.output_height) {
            unsigned char *out = d->pixels + cinfo.output_scanline * d->bytesPerLine;
            jpeg_read_scanlines(&cinfo, cmyk, 1);
            // Stored inverted, the way Adobe writes CMYK (and every reader assumes).
            const unsigned char *in = cmyk[0];
            for (JDIMENSION x = 0; x < cinfo.output_width; ++x, in += 4, out += 3) {
                const unsigned k = in[3];
                out[0] = static_cast<unsigned char>(in[0] * k / 255);
                out[1] = static_cast<unsigned char>(in[1] * k / 255);
                out[2] = static_cast<unsigned char>(in[2] * k / 255);
            }
        }
    }
    jpeg_finish_decompress(&cinfo);
}

[[noreturn]] void Fail(int code)
{
    throw Error(u"JPEG エラー #"_s + QString::number(code));
}

struct DecoderGuard
{
    Decoder *d;
    ~DecoderGuard() { jpeg_destroy_decompress(&d->cinfo); }
};

} // namespace

QImage DecodeJpeg(const QByteArray &bytes)
{
    Decoder d{};
    d.cinfo.err = jpeg_std_error(&d.err);
    d.err.error_exit = JumpOut;
    d.err.output_message = Discard;
    // Kept by jpeg_create_decompress, so JumpOut finds it even when that fails.
    d.cinfo.client_data = &d;
    d.input = reinterpret_cast<const unsigned char *>(bytes.constData());
    d.inputSize = static_cast<unsigned long>(bytes.size());
    const DecoderGuard guard{&d};

    if (!Guarded(&d, ReadHeader))
        Fail(d.err.msg_code);
    // A header may claim any size; refuse big ones before a pixel is decoded.
    if (qint64(d.cinfo.image_width) * d.cinfo.image_height > MaxPixels)
        Fail(JERR_IMAGE_TOO_BIG);

    QImage image(int(d.cinfo.image_width), int(d.cinfo.image_height), QImage::Format_RGB888);
    if (image.isNull())
        Fail(JERR_OUT_OF_MEMORY);
    d.pixels = image.bits();
    d.bytesPerLine = image.bytesPerLine();
    if (!Guarded(&d, DecodeRows))
        Fail(d.err.msg_code);
    return image;
}

QImage LoadFromFile(const QString &fileName)
{
    const QString extension = QFileInfo(fileName).suffix();
    if (extension.compare("jpg"_L1, Qt::CaseInsensitive) != 0
        && extension.compare("jpeg"_L1, Qt::CaseInsensitive) != 0)
        throw Error(u"不明な画像ファイルの拡張子です (."_s % extension % u')');

    if (fileName.startsWith(u':')) {
        QFile resource(fileName);
        if (!resource.open(QIODevice::ReadOnly))
            throw Error(u"ファイル \""_s % fileName % u"\" は開けません。"_s % resource.errorString());
        return DecodeJpeg(resource.readAll());
    }
    FileStream file(fileName, FileStream::Mode::OpenRead);
    const QByteArray bytes = file.ReadAll();
    file.Close();
    return DecodeJpeg(bytes);
}

} // namespace platform::Picture
