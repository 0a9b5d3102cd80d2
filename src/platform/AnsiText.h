#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace platform {

// The program's byte strings are Shift-JIS as Windows has it (code page 932).
namespace AnsiText {

// CP932 bytes to text through iconv; a byte sequence that is not CP932 becomes
// U+FFFD and decoding goes on.
QString ToUnicode(const QByteArray &cp932);
// Text to CP932; characters CP932 lacks become "?".
QByteArray FromUnicode(const QString &text);

// A text box's line list from a body: CR LF is one break, a lone CR or a lone
// LF one break each, a NUL byte ends the text; each line decoded as CP932.
// A trailing break adds no empty line; an empty body gives no lines.
QStringList Lines(const QByteArray &body);

} // namespace AnsiText
} // namespace platform
