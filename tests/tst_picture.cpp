#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <vector>

#include <jpeglib.h>

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QImageWriter>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include "platform/Error.h"
#include "platform/Picture.h"

using namespace Qt::StringLiterals;
namespace Picture = platform::Picture;

namespace {

QByteArray Encode(const QImage &image, const char *format, bool progressive = false)
{
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, format);
    writer.setQuality(95);
    writer.setProgressiveScanWrite(progressive);
    if (!writer.write(image))
        qFatal("cannot encode the fixture: %s", qPrintable(writer.errorString()));
    return buffer.data();
}

// Red, green / blue, white quadrants.
QImage Quadrants()
{
    QImage image(64, 48, QImage::Format_RGB32);
    image.fill(Qt::white);
    for (int y = 0; y < 48; ++y)
        for (int x = 0; x < 64; ++x)
            if (x < 32 || y < 24)
                image.setPixel(x, y, y < 24 ? (x < 32 ? qRgb(255, 0, 0) : qRgb(0, 255, 0)) : qRgb(0, 0, 255));
    return image;
}

// Offset of the frame header (FF C0 baseline, FF C2 progressive).
qsizetype FrameHeader(const QByteArray &jpeg)
{
    for (const QByteArray &marker : {"\xFF\xC0"_ba, "\xFF\xC2"_ba}) {
        const qsizetype at = jpeg.indexOf(marker);
        if (at > 0)
            return at;
    }
    qFatal("fixture has no frame header");
}

// The same file with a header that claims another size.
QByteArray Claiming(QByteArray jpeg, quint16 width, quint16 height)
{
    const qsizetype sof = FrameHeader(jpeg);
    jpeg[sof + 5] = char(height >> 8);
    jpeg[sof + 6] = char(height & 0xFF);
    jpeg[sof + 7] = char(width >> 8);
    jpeg[sof + 8] = char(width & 0xFF);
    return jpeg;
}

// A four-component file written the way Adobe does it (inverted ink values),
// as CMYK or as YCCK. Qt cannot write either.
QByteArray Cmyk(J_COLOR_SPACE stored, const unsigned char ink[4])
{
    jpeg_compress_struct c {};
    jpeg_error_mgr err {};
    c.err = jpeg_std_error(&err);
    jpeg_create_compress(&c);
    unsigned char *out = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&c, &out, &size);
    c.image_width = 16;
    c.image_height = 16;
    c.input_components = 4;
    c.in_color_space = JCS_CMYK;
    jpeg_set_defaults(&c);
    jpeg_set_colorspace(&c, stored);
    jpeg_set_quality(&c, 95, TRUE);
    jpeg_start_compress(&c, TRUE);
    std::vector<unsigned char> row(16 * 4);
    for (std::size_t i = 0; i < row.size(); ++i)
        row[i] = ink[i % 4];
    while (c.next_scanline < c.image_height) {
        JSAMPROW r = row.data();
        jpeg_write_scanlines(&c, &r, 1);
    }
    jpeg_finish_compress(&c);
    QByteArray bytes(reinterpret_cast<const char *>(out), qsizetype(size));
    jpeg_destroy_compress(&c);
    std::free(out);
    return bytes;
}

bool Near(QRgb actual, QRgb expected, int tolerance = 24)
{
    return qAbs(qRed(actual) - qRed(expected)) <= tolerance
        && qAbs(qGreen(actual) - qGreen(expected)) <= tolerance
        && qAbs(qBlue(actual) - qBlue(expected)) <= tolerance;
}

QString Message(const std::function<void()> &call)
{
    try {
        call();
    } catch (const platform::Error &e) {
        return e.message();
    }
    return {};
}

} // namespace

class tst_Picture : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void decode_data();
    void decode();
    void decodesColours();
    void decodesGrayscale();
    void decodesCmyk_data();
    void decodesCmyk();
    void cutInImageDataGivesGreyRows();
    void loadFromFile_data();
    void loadFromFile();

private:
    QTemporaryDir m_dir;
    QString m_oldCurrent;
};

void tst_Picture::initTestCase()
{
    QVERIFY(m_dir.isValid());
    m_oldCurrent = QDir::currentPath();
    QVERIFY(QDir::setCurrent(m_dir.path()));
}

void tst_Picture::cleanupTestCase()
{
    QDir::setCurrent(m_oldCurrent);
}

void tst_Picture::decode_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("error"); // 0: decodes
    QTest::addColumn<QSize>("size");

    const QByteArray jpeg = Encode(Quadrants(), "JPEG");
    const QByteArray progressive = Encode(Quadrants(), "JPEG", true);
    QVERIFY(progressive.contains("\xFF\xC2"));

    QTest::newRow("empty") << QByteArray() << 42 << QSize();
    QTest::newRow("PNG") << Encode(Quadrants(), "PNG") << 53 << QSize();
    QTest::newRow("HTML error page")
        << "<html><head><title>404 Not Found</title></head></html>\r\n"_ba << 53 << QSize();
    QTest::newRow("cut inside the headers") << jpeg.left(FrameHeader(jpeg)) << 51 << QSize();
    QTest::newRow("60000 x 60000") << Claiming(jpeg, 60000, 60000) << 41 << QSize();
    QTest::newRow("5000 x 4000, over the pixel limit") << Claiming(jpeg, 5000, 4000) << 41 << QSize();
    QTest::newRow("progressive 20000 x 20000") << Claiming(progressive, 20000, 20000) << 41 << QSize();
    QTest::newRow("65535 x 1, over libjpeg's limit") << Claiming(jpeg, 65535, 1) << 41 << QSize();
    QTest::newRow("4000 x 4000, at the pixel limit") << Claiming(jpeg, 4000, 4000) << 0 << QSize(4000, 4000);
    QTest::newRow("cut in the image data") << jpeg.left(jpeg.size() - 40) << 0 << QSize(64, 48);
    QTest::newRow("progressive") << progressive << 0 << QSize(64, 48);
}

void tst_Picture::decode()
{
    QFETCH(QByteArray, bytes);
    QFETCH(int, error);
    QFETCH(QSize, size);

    QImage image;
    const QString message = Message([&] { image = Picture::DecodeJpeg(bytes); });
    if (error) {
        QCOMPARE(message, u"JPEG エラー #"_s + QString::number(error));
    } else {
        QCOMPARE(message, QString());
        QCOMPARE(image.size(), size);
    }
}

void tst_Picture::decodesColours()
{
    const QImage image = Picture::DecodeJpeg(Encode(Quadrants(), "JPEG"));
    QCOMPARE(image.size(), QSize(64, 48));
    QVERIFY(Near(image.pixel(8, 8), qRgb(255, 0, 0)));
    QVERIFY(Near(image.pixel(56, 8), qRgb(0, 255, 0)));
    QVERIFY(Near(image.pixel(8, 40), qRgb(0, 0, 255)));
    QVERIFY(Near(image.pixel(56, 40), qRgb(255, 255, 255)));
}

void tst_Picture::decodesGrayscale()
{
    QImage grey(40, 40, QImage::Format_Grayscale8);
    grey.fill(0x30);
    for (int y = 20; y < 40; ++y)
        std::memset(grey.scanLine(y), 0xC0, 40);
    const QByteArray jpeg = Encode(grey, "JPEG");
    QCOMPARE(int(jpeg[FrameHeader(jpeg) + 9]), 1); // one component

    const QImage image = Picture::DecodeJpeg(jpeg);
    QCOMPARE(image.size(), QSize(40, 40));
    QVERIFY(Near(image.pixel(10, 5), qRgb(0x30, 0x30, 0x30), 4));
    QVERIFY(Near(image.pixel(30, 35), qRgb(0xC0, 0xC0, 0xC0), 4));
}

void tst_Picture::decodesCmyk_data()
{
    QTest::addColumn<int>("stored");
    QTest::newRow("CMYK") << int(JCS_CMYK);
    QTest::newRow("YCCK") << int(JCS_YCCK);
}

void tst_Picture::decodesCmyk()
{
    QFETCH(int, stored);
    // Inverted: 255 means no ink. K at 200 darkens every channel to 200/255.
    const unsigned char ink[4] = {200, 100, 50, 200};
    const QImage image = Picture::DecodeJpeg(Cmyk(J_COLOR_SPACE(stored), ink));
    QCOMPARE(image.size(), QSize(16, 16));
    QVERIFY2(Near(image.pixel(8, 8), qRgb(157, 78, 39), 6),
             qPrintable(QString::number(image.pixel(8, 8), 16)));
}

void tst_Picture::cutInImageDataGivesGreyRows()
{
    QImage red(256, 256, QImage::Format_RGB32);
    red.fill(qRgb(255, 0, 0));
    const QByteArray jpeg = Encode(red, "JPEG");
    const qsizetype scan = jpeg.indexOf("\xFF\xDA");
    QVERIFY(scan > 0);

    const QImage image = Picture::DecodeJpeg(jpeg.left(scan + (jpeg.size() - scan) / 2));
    QCOMPARE(image.size(), QSize(256, 256));
    QVERIFY(Near(image.pixel(10, 10), qRgb(255, 0, 0)));
    QVERIFY(Near(image.pixel(200, 250), qRgb(128, 128, 128), 4));
}

void tst_Picture::loadFromFile_data()
{
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<QByteArray>("content"); // null: no such file
    QTest::addColumn<QString>("error");      // empty: loads

    const QByteArray jpeg = Encode(Quadrants(), "JPEG");
    const QString missing = QDir::currentPath() + u"/kalumain.jpg"_s;
    QFile resource(u":/missing.jpg"_s);
    resource.open(QIODevice::ReadOnly);

    QTest::newRow("jpg") << u"kalumain.jpg"_s << jpeg << QString();
    QTest::newRow("JPEG in capitals") << u"BANNER.JPEG"_s << jpeg << QString();
    QTest::newRow("missing file") << u"kalumain.jpg"_s << QByteArray()
        << (u"ファイル \""_s % missing % u"\" は開けません。"_s % QString::fromLocal8Bit(std::strerror(ENOENT)));
    QTest::newRow("missing resource") << u":/missing.jpg"_s << QByteArray()
        << (u"ファイル \":/missing.jpg\" は開けません。"_s % resource.errorString());
    QTest::newRow("empty file") << u"kalumain.jpg"_s << ""_ba << u"JPEG エラー #42"_s;
    QTest::newRow("PNG bytes named jpg") << u"kalumain.jpg"_s << Encode(Quadrants(), "PNG")
                                         << u"JPEG エラー #53"_s;
    QTest::newRow("JPEG bytes named png") << u"banner.png"_s << jpeg
                                          << u"不明な画像ファイルの拡張子です (.png)"_s;
    QTest::newRow("no extension") << u"kalumain"_s << jpeg << u"不明な画像ファイルの拡張子です (.)"_s;
}

void tst_Picture::loadFromFile()
{
    QFETCH(QString, fileName);
    QFETCH(QByteArray, content);
    QFETCH(QString, error);

    const auto remove = qScopeGuard([&] { QFile::remove(fileName); });
    if (!content.isNull()) {
        QFile file(fileName);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(content);
    }

    QImage image;
    QCOMPARE(Message([&] { image = Picture::LoadFromFile(fileName); }), error);
    if (error.isEmpty())
        QCOMPARE(image.size(), QSize(64, 48));
}

QTEST_GUILESS_MAIN(tst_Picture)
#include "tst_picture.moc"
