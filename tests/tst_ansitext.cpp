#include <QTest>

#include "platform/AnsiText.h"

using namespace Qt::StringLiterals;
namespace AnsiText = platform::AnsiText;

class tst_AnsiText : public QObject
{
    Q_OBJECT

private slots:
    void lines_data();
    void lines();
    void roundTrip_data();
    void roundTrip();
    void decodeOnly_data();
    void decodeOnly();
    void unmappable_data();
    void unmappable();
};

void tst_AnsiText::lines_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QStringList>("expected");

    QTest::newRow("empty") << ""_ba << QStringList();
    QTest::newRow("no break") << "abc"_ba << QStringList{u"abc"_s};
    QTest::newRow("CR LF") << "a\r\nb"_ba << QStringList{u"a"_s, u"b"_s};
    QTest::newRow("lone CR") << "a\rb"_ba << QStringList{u"a"_s, u"b"_s};
    QTest::newRow("lone LF") << "a\nb"_ba << QStringList{u"a"_s, u"b"_s};
    QTest::newRow("LF CR: an empty line between") << "a\n\rb"_ba << QStringList{u"a"_s, u""_s, u"b"_s};
    QTest::newRow("two CR LF") << "a\r\n\r\nb"_ba << QStringList{u"a"_s, u""_s, u"b"_s};
    QTest::newRow("CR CR LF") << "a\r\r\nb"_ba << QStringList{u"a"_s, u""_s, u"b"_s};
    QTest::newRow("trailing break") << "a\r\n"_ba << QStringList{u"a"_s};
    QTest::newRow("trailing empty line") << "a\r\n\r\n"_ba << QStringList{u"a"_s, u""_s};
    QTest::newRow("only a break") << "\n"_ba << QStringList{u""_s};
    QTest::newRow("NUL in the middle") << "a\r\nb\0c\r\nd"_ba << QStringList{u"a"_s, u"b"_s};
    QTest::newRow("NUL first") << "\0abc"_ba << QStringList();
    QTest::newRow("NUL after CR") << "a\r\0\nb"_ba << QStringList{u"a"_s};
    QTest::newRow("other controls stay") << "a\tb\x1a\x7f c"_ba << QStringList{u"a\tb\x1a\x7f c"_s};
    QTest::newRow("0x5C trail bytes") << "\x95\x5C\x83\x5C\r\n\\n"_ba << QStringList{u"表ソ"_s, u"\\n"_s};
    QTest::newRow("kanji and kana") << "\x83\x7C\x83\x8B\x83\x4A\r\n\x82\xA0"_ba
                                    << QStringList{u"ポルカ"_s, u"あ"_s};
    QTest::newRow("half-width katakana") << "\xB6\xD9\r\xB0"_ba << QStringList{u"ｶﾙ"_s, u"ｰ"_s};
    QTest::newRow("invalid byte") << "a\x80" "b\nc"_ba << QStringList{u"a\uFFFDb"_s, u"c"_s};
    QTest::newRow("lead byte before a break") << "a\x81\r\nb"_ba << QStringList{u"a\uFFFD"_s, u"b"_s};
}

void tst_AnsiText::lines()
{
    QFETCH(QByteArray, body);
    QFETCH(QStringList, expected);
    QCOMPARE(AnsiText::Lines(body), expected);
}

void tst_AnsiText::roundTrip_data()
{
    QTest::addColumn<QByteArray>("cp932");
    QTest::addColumn<QString>("text");

    QTest::newRow("backslash") << "\x5C"_ba << u"\\"_s;
    QTest::newRow("tilde") << "\x7E"_ba << u"~"_s;
    QTest::newRow("wave dash 8160") << "\x81\x60"_ba << u"\uFF5E"_s;
    QTest::newRow("full-width reverse solidus 815F") << "\x81\x5F"_ba << u"\uFF3C"_s;
    QTest::newRow("minus 817C") << "\x81\x7C"_ba << u"\uFF0D"_s;
    QTest::newRow("cent 8191") << "\x81\x91"_ba << u"\uFFE0"_s;
    QTest::newRow("NEC circled one 8740") << "\x87\x40"_ba << u"\u2460"_s;
    QTest::newRow("IBM small roman one FA40") << "\xFA\x40"_ba << u"\u2170"_s;
    QTest::newRow("IBM kanji FA5C") << "\xFA\x5C"_ba << u"\u7E8A"_s;
    QTest::newRow("0x5C as trail byte") << "\x95\x5C\x83\x5C"_ba << u"表ソ"_s;
    QTest::newRow("half-width katakana") << "\xB6\xD9\xB0"_ba << u"ｶﾙｰ"_s;
    QTest::newRow("mixed") << "v1.04 \x94\xD4\x91\x67\x95\x5C"_ba << u"v1.04 番組表"_s;
    QTest::newRow("empty") << ""_ba << u""_s;
}

void tst_AnsiText::roundTrip()
{
    QFETCH(QByteArray, cp932);
    QFETCH(QString, text);
    QCOMPARE(AnsiText::ToUnicode(cp932), text);
    QCOMPARE(AnsiText::FromUnicode(text), cp932);
}

void tst_AnsiText::decodeOnly_data()
{
    QTest::addColumn<QByteArray>("cp932");
    QTest::addColumn<QString>("text");

    // The NEC-selected copy of an IBM kanji; text goes back to the IBM row, FA5C.
    QTest::newRow("NEC-selected IBM ED40") << "\xED\x40"_ba << u"\u7E8A"_s;

    QTest::newRow("0x80") << "a\x80z"_ba << u"a\uFFFDz"_s;
    QTest::newRow("0xA0") << "\xA0"_ba << u"\uFFFD"_s;
    QTest::newRow("one per bad byte") << "\xFD\xFE\xFF"_ba << u"\uFFFD\uFFFD\uFFFD"_s;
    QTest::newRow("lead byte cut off at the end") << "a\x81"_ba << u"a\uFFFD"_s;
    QTest::newRow("lead byte, then no trail byte") << "\x81\x20\x82\xA0"_ba << u"\uFFFD あ"_s;
    QTest::newRow("unassigned pair") << "\x85\x40"_ba << u"\uFFFD@"_s;
}

void tst_AnsiText::decodeOnly()
{
    QFETCH(QByteArray, cp932);
    QFETCH(QString, text);
    QCOMPARE(AnsiText::ToUnicode(cp932), text);
}

void tst_AnsiText::unmappable_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("cp932");

    QTest::newRow("euro") << u"1€"_s << "1?"_ba;
    QTest::newRow("accented") << u"café"_s << "caf?"_ba;
    QTest::newRow("outside the BMP: one ?") << u"a😀b"_s << "a?b"_ba;
    QTest::newRow("lone surrogate") << (u"x"_s + QChar(0xD800) + u"y"_s) << "x?y"_ba;
    QTest::newRow("among mapped text") << u"表€ソ"_s << "\x95\x5C?\x83\x5C"_ba;
}

void tst_AnsiText::unmappable()
{
    QFETCH(QString, text);
    QFETCH(QByteArray, cp932);
    QCOMPARE(AnsiText::FromUnicode(text), cp932);
}

QTEST_GUILESS_MAIN(tst_AnsiText)
#include "tst_ansitext.moc"
