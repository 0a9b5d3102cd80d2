// A body split into a text box's lines: no line holds a break or a NUL, the
// lines are the body's text with its breaks made uniform, and decoding never
// throws, whatever the bytes.

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include <QByteArray>
#include <QString>
#include <QStringList>

#include "platform/AnsiText.h"

using namespace platform;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArray body = QByteArray::fromRawData(reinterpret_cast<const char *>(data), qsizetype(size));
    const QStringList lines = AnsiText::Lines(body);
    for (const QString &line : lines) {
        if (line.contains(u'\r') || line.contains(u'\n') || line.contains(QChar(u'\0')))
            std::abort();
        if (AnsiText::FromUnicode(line).contains('\n'))
            std::abort();
    }

    // The same text decoded in one piece: up to the first NUL, every CR LF,
    // lone CR and lone LF made one LF, a final break dropped. Trail bytes are
    // never CR or LF, so splitting first must change nothing.
    QByteArray uniform = body.left(body.indexOf('\0') < 0 ? body.size() : body.indexOf('\0'));
    uniform.replace("\r\n", "\n").replace('\r', '\n');
    if (uniform.endsWith('\n'))
        uniform.chop(1);
    const QString whole = AnsiText::ToUnicode(uniform);
    if (lines.isEmpty() ? !whole.isEmpty() : lines.join(u'\n') != whole)
        std::abort();
    return 0;
}
