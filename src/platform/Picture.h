#pragma once

#include <QByteArray>
#include <QImage>
#include <QString>

namespace platform {

// Picture loading with the decoder chosen by the file name's extension alone,
// never by the content; "jpg" and "jpeg" go to libjpeg-turbo.
namespace Picture {

// Pictures claiming more pixels than this are refused before decoding.
constexpr qint64 MaxPixels = 16'000'000;

// Reads the file (a path on disk, or a Qt resource path starting with ":")
// and decodes it. Throws platform::Error:
//  - the file cannot be opened: "ファイル "<full path>" は開けません。<system text>"
//  - the decoder fails: "JPEG エラー #<libjpeg message code>" (42 empty input,
//    53 not a JPEG, ...), also for a header over MaxPixels.
QImage LoadFromFile(const QString &fileName);

// Decodes JPEG bytes; same errors as above.
QImage DecodeJpeg(const QByteArray &bytes);

} // namespace Picture
} // namespace platform
