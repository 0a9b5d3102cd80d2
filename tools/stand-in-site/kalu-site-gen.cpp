// Builds the files of the loopback stand-in for the service's and the author's
// web sites: the weekly guides (PDF), the banner pictures (JPEG), the HTML pages
// and the banner targets. The start-up message is written by the server script,
// which owns the CP932 encoding.
//
// Usage: kalu-site-gen <content dir> [--week-of YYYY-MM-DD]

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <stdexcept>

#include <QColor>
#include <QDate>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QFont>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QImage>
#include <QPageLayout>
#include <QPageSize>
#include <QPainter>
#include <QPdfWriter>
#include <QStringList>

using namespace Qt::StringLiterals;

namespace {

struct ChannelTitle {
    int number;
    const char *title;
};

// Titles as the viewer's channel guide lists them.
constexpr ChannelTitle kChannels[] = {
    {400, "STATION 400 総合放送"},
    {401, "J- POP SINGLE CHART シングルチャート"},
    {402, "J- POP DAM CHART 通信カラオケDAM チャート"},
    {403, "J- POP NEW SINGLE <RECOMMEND>新譜ピックアップシングル"},
    {404, "J- POP SINGLE HITS 新譜シングルヒットミックス"},
    {405, "J- POP NEW ALBUM 新譜アルバム"},
    {406, "J- POP HITS ACTIVE EDIT ティーンズヒットセレクション"},
    {407, "POWER COMPILATION 洋・邦テーマ別特集"},
    {408, "J- POP ARTIST SPECIAL 1 アーティスト特集1"},
    {409, "J- POP ARTIST SPECIAL 2 アーティスト特集2"},
    {410, "J- POP 20XX 20XX 年代別ヒット曲"},
    {411, "J- POP 19XX 19XX 年代別ヒット曲"},
    {412, "J- POP 90s HITS 1990 年代ヒット曲"},
    {413, "J- POP 80s HITS 1980 年代ヒット曲"},
    {414, "J- POP 70s HITS 1970 年代ヒット曲"},
    {415, "J- POP 2000s HITS 2000 年代ヒット曲"},
    {416, "J- R&B/HIPHOP ヒップホップ、R&B 、レゲエ"},
    {417, "J- INDIES HITS インディースヒッツ"},
    {418, "J- IDOL/VOICE IDOL アイドル、声優"},
    {419, "J- ANIME/SFX SONG アニメ、SFX テーマソング"},
    {420, "J- INST.SPECIAL 日本人アーティストによるインスト作品"},
    {421, "FOLK/NEW MUSIC フォーク、ニューミュージック"},
    {422, "GROUP SOUNDS グループサウンズ"},
    {423, "歌謡演歌 SINGLE CHART シングルチャート"},
    {424, "歌謡演歌 DAM CHART 通信カラオケDAM チャート"},
    {425, "歌謡演歌 ARTIST SPECIAL アーティスト特集"},
    {426, "歌謡演歌 HIT MIX シングルヒットミックス"},
    {427, "歌謡演歌 19XX 年代別ヒット曲"},
    {428, "歌謡演歌 60s HITS 1960 年代ヒット曲"},
    {429, "歌謡演歌 CLASSICS 昭和初期～昭和40 年代ヒット曲"},
    {430, "JAZZ NEW ALBUM 新譜アルバム"},
    {431, "JAZZ ARTIST SPECIAL アーティスト特集 <協力：スイングジャーナル>"},
    {432, "JAZZ GOLD ALBUM 廃盤、名盤アルバム <協力：スイングジャーナル>"},
    {433, "CONTEMPORARY JAZZ コンテンポラリージャズ"},
    {434, "FUSION/SMOOTH JAZZ フュージョン、スムースジャズ"},
    {435, "RARE GROOVE ジャズファンク、レアグルーヴ"},
    {436, "JAZZ VOCAL ジャズボーカル"},
    {437, "MODERN JAZZ モダンジャズ"},
    {438, "CLASSIC NEW ALBUM 新譜アルバム特集 <<協力：レコード芸術>"},
    {439, "モーツァルトモーツァルト作品集"},
    {440, "CLASSIC ARTIST SPECIAL 作曲家・演奏家特集"},
    {441, "CLASSIC HISTORICAL 歴史的名演奏、名録音盤"},
    {442, "CLASSIC ORCHESTRAL 交響曲、管弦楽曲、協奏曲"},
    {443, "CLASSIC CHAMBER 室内楽曲、器楽曲"},
    {444, "CLASSIC BAROQUE バロック、古楽"},
    {445, "CLASSIC OPERA/VOCAL 歌劇、声楽曲"},
    {446, "ROCK/POPS HIT CHART シングルチャート"},
    {447, "ROCK/POPS RECOMMEND SINGLE 新譜ピックアップシングル"},
    {448, "ROCK/POPS NEW ALBUM 新譜アルバム"},
    {449, "ROCK/POPS UK HIT CHART UK シングルチャート"},
    {450, "ROCK/POPS ARTIST SPECIAL アーティスト特集"},
    {451, "ROCK/POPS COMPILATION テーマ別特集"},
    {452, "ROCK/POPS 20XX 20XX 年代別ヒット曲"},
    {453, "ROCK/POPS 19XX 19XX 年代別ヒット曲"},
    {454, "ROCK/POPS CLASSICS 90s 1990 年代ヒット曲"},
    {455, "ROCK/POPS CLASSICS 80s 1980 年代ヒット曲"},
    {456, "ROCK/POPS CLASSICS 70s 1970 年代ヒット曲"},
    {457, "ROCK/POPS CLASSICS 50s &60s 1950 ＆60 年代ポップス、オールディーズ"},
    {458, "ROCK/POPS 2000ｓ HITS 2000 年代ヒット曲"},
    {459, "HARD ROCK/METAL ハードロック、メタル"},
    {460, "AOR アダルトコンテンポラリー"},
    {461, "COUNTRY カントリー、ブルーグラス"},
    {462, "CAFE MUSIC ラウンジ、メロウグルーヴ"},
    {463, "ROCK/POPS BALLADS ラヴバラード"},
    {464, "BLACK HIT SINGLE 新譜ヒットシングル"},
    {465, "R&B R&B 、ソウル"},
    {466, "HIPHOP ヒップホップ、ラップ"},
    {467, "DANCE CLASSIC ディスコサウンド、ダンスクラシック"},
    {468, "DANCE HIT SINGLE 最新ダンスミュージックヒッツ"},
    {469, "HOUSE/TECHNO ハウス、テクノ"},
    {470, "TRANCE トランス"},
    {471, "CLASSIC SOUL クラシックソウル"},
    {472, "EUROBEAT ユーロビート"},
    {473, "HAWAII ハワイアン （コンテンポラリー、トラディショナル）"},
    {474, "BRAZIL （SAMBA/BOSSA NOVA ）サンバ、ボサノヴァ、MPB"},
    {475, "LATIN （CUBA/SALSA ）キューバ、サルサ"},
    {476, "REGGAE レゲエ"},
    {477, "OKINAWA MUSIC 沖縄民謡"},
    {478, "J- POP インストゥルメンタルJ- POP ヒット曲インストゥルメンタル･アレンジ"},
    {479, "ポピュラースタンダード洋楽ナツメロ"},
    {480, "スクリーンミュージックスクリーンミュージック"},
    {481, "ボサノヴァボサノヴァ"},
    {482, "ジャズピアノジャズピアノ"},
    {483, "ライトクラシックライトクラシック"},
    {484, "クラシックピアノクラシックピアノ"},
    {485, "イージーリスニングイージーリスニング"},
    {486, "シーズンミュージック1 季節を演出するBGM （アップテンポ）"},
    {487, "シーズンミュージック2 季節を演出するBGM （スローテンポ）"},
    {488, "クリスタルサウンドオルゴールセレクション"},
    {489, "ファミリーミュージック童謡、こどものうた"},
    {490, "リラックスミュージックリラクゼーションミュージック"},
    {491, "フィリピンポップスフィリピンポップス"},
    {492, "中国ソング中国ポップス"},
    {493, "台湾ソング台湾ポップス"},
    {494, "韓国ソング韓国ポップス"},
    {495, "韓国歌謡演歌韓国歌謡演歌"},
    {496, "民謡日本各地の民謡"},
    {497, "琴琴曲、日本の調べ"},
    {498, "J- POP BALLADS ラヴバラード"},
    {499, "Inter FM 外国語FM 放送 （再送信）"},
};

struct Genre {
    int first;
    int last;
    const char *heading;
    const char *word; // goes into the programme names
};

constexpr Genre kGenres[] = {
    {400, 400, "STATION 400", "ポルカミーナ"},
    {401, 406, "Ｊ - POP NEW HITS", "J-POP"},
    {407, 407, "POWER COMPILATION", "コンピレーション"},
    {408, 422, "J- POP VARIETY", "J-POP"},
    {423, 429, "歌謡演歌", "歌謡曲"},
    {430, 437, "JAZZ", "ジャズ"},
    {438, 445, "CLASSIC", "クラシック"},
    {446, 463, "ROCK/POPS VARIETY", "ロック"},
    {464, 472, "DANCE/SOUL", "ソウル"},
    {473, 476, "WORLD", "ワールド"},
    {477, 499, "EXTRA/ＢＧＭ", "BGM"},
};

// Channels that have no guide for the current week, so the browser gets a 404.
// 450 is in the viewer's channel grid, 497 is not.
constexpr int kNoCurrentGuide[] = {450, 497};

constexpr int kBannerSlots = 20;

const Genre &genreOf(int channel)
{
    for (const Genre &g : kGenres) {
        if (channel >= g.first && channel <= g.last)
            return g;
    }
    throw std::runtime_error("channel without genre");
}

QString u8(const char *text)
{
    return QString::fromUtf8(text);
}

void writeFile(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size())
        throw std::runtime_error(("cannot write " + path.toStdString()).c_str());
}

QString pickFamily()
{
    // The guides must carry real glyphs, not boxes: refuse to draw without a
    // Japanese face.
    const QStringList wanted{u"IPAPGothic"_s, u"IPAGothic"_s, u"Noto Sans CJK JP"_s};
    const QStringList families = QFontDatabase::families();
    for (const QString &family : wanted) {
        if (families.contains(family))
            return family;
    }
    throw std::runtime_error("no Japanese font (install fonts-ipafont-gothic or fonts-noto-cjk)");
}

// Small, stable pseudo-random numbers, so that every build draws the same week.
quint32 mix(quint32 x)
{
    x ^= x >> 16;
    x *= 0x7feb352dU;
    x ^= x >> 15;
    x *= 0x846ca68bU;
    x ^= x >> 16;
    return x;
}

struct Week {
    bool current;
    QDate monday;
    QColor header;
    QString label;
    QStringList programmes; // "%1" takes the genre's word
};

Week makeWeek(bool current, QDate monday)
{
    if (current) {
        return {true, monday, QColor(0x1f, 0x5f, 0xb4), u"今週の番組表"_s,
                {u"%1 ヒットパレード"_s, u"%1 新譜ピックアップ"_s, u"%1 リクエストアワー"_s,
                 u"%1 ノンストップ"_s, u"%1 アーティスト特集"_s, u"%1 ランキング TOP30"_s,
                 u"%1 ニューカマー"_s, u"%1 セレクション"_s, u"%1 ベストヒット"_s}};
    }
    return {false, monday.addDays(-7), QColor(0xb4, 0x4a, 0x1f), u"先週の番組表"_s,
            {u"%1 アーカイブス"_s, u"%1 名盤セレクション"_s, u"%1 ライブ音源特集"_s,
             u"%1 年代別ベスト"_s, u"%1 ランキング回顧"_s, u"%1 カバー特集"_s,
             u"%1 メロウ・タイム"_s, u"%1 デュエット特集"_s, u"%1 名曲物語"_s}};
}

QString dayLabel(QDate day)
{
    static const QString names[] = {u"月"_s, u"火"_s, u"水"_s, u"木"_s, u"金"_s, u"土"_s, u"日"_s};
    return u"%1/%2 (%3)"_s.arg(day.month()).arg(day.day()).arg(names[day.dayOfWeek() - 1]);
}

QString weekSpan(QDate monday)
{
    const QDate sunday = monday.addDays(6);
    return u"%1年%2月%3日(月) ～ %4月%5日(日)"_s.arg(monday.year())
        .arg(monday.month()).arg(monday.day()).arg(sunday.month()).arg(sunday.day());
}

// One A4 page in points: a coloured head, seven day columns, 24 hour rows.
void writeGuide(const QString &path, const ChannelTitle &channel, const Week &week,
                const QString &family)
{
    QPdfWriter writer(path);
    writer.setResolution(72);
    writer.setPageLayout(QPageLayout(QPageSize(QPageSize::A4), QPageLayout::Portrait, QMarginsF()));
    writer.setCreator(u"kalu-site-gen"_s);
    writer.setTitle(u"%1ch %2 %3"_s.arg(channel.number).arg(week.label, weekSpan(week.monday)));

    QPainter p(&writer);
    if (!p.isActive())
        throw std::runtime_error(("cannot open " + path.toStdString()).c_str());
    p.setRenderHint(QPainter::Antialiasing);
    const auto font = [&family](qreal points, bool bold = false) {
        QFont f(family);
        f.setPointSizeF(points);
        f.setBold(bold);
        return f;
    };

    const qreal pageW = 595.0;
    const qreal left = 28.0;
    const qreal width = pageW - 2 * left;
    const Genre &genre = genreOf(channel.number);

    // Head.
    const QRectF head(left, 24, width, 62);
    p.fillRect(head, week.header);
    p.setPen(Qt::white);
    p.setFont(font(30, true));
    p.drawText(QRectF(head.left() + 10, head.top(), 90, head.height()), Qt::AlignVCenter,
               QString::number(channel.number));
    p.setFont(font(9));
    p.drawText(QRectF(head.left() + 100, head.top() + 8, 300, 14), Qt::AlignLeft,
               u"ポルカミーナ  %1"_s.arg(u8(genre.heading)));
    p.setFont(font(13, true));
    p.drawText(QRectF(head.left() + 100, head.top() + 24, width - 110, 30),
               Qt::AlignLeft | Qt::TextWordWrap, u8(channel.title));
    p.setFont(font(12, true));
    p.drawText(QRectF(head.right() - 200, head.top() + 6, 190, 16), Qt::AlignRight, week.label);
    p.setPen(QColor(0x22, 0x22, 0x22));
    p.setFont(font(10));
    p.drawText(QRectF(left, head.bottom() + 4, width, 16), Qt::AlignRight, weekSpan(week.monday));
    p.drawText(QRectF(left, head.bottom() + 4, width, 16), Qt::AlignLeft,
               u"週間番組表  %1ch"_s.arg(channel.number));

    // Grid.
    const qreal top = head.bottom() + 26;
    const qreal timeW = 34;
    const qreal dayW = (width - timeW) / 7;
    const qreal dayHeadH = 18;
    const qreal rowH = 28;
    const qreal gridTop = top + dayHeadH;

    p.setPen(QPen(QColor(0x88, 0x88, 0x88), 0.5));
    p.setFont(font(8, true));
    for (int d = 0; d < 7; ++d) {
        const QDate day = week.monday.addDays(d);
        const QRectF cell(left + timeW + d * dayW, top, dayW, dayHeadH);
        const QColor tint = d == 5 ? QColor(0xd8, 0xe6, 0xff) : d == 6 ? QColor(0xff, 0xdc, 0xdc)
                                                                        : QColor(0xea, 0xea, 0xea);
        p.fillRect(cell, tint);
        p.drawRect(cell);
        p.drawText(cell, Qt::AlignCenter, dayLabel(day));
    }
    p.setFont(font(7));
    for (int h = 0; h < 24; ++h) {
        const QRectF cell(left, gridTop + h * rowH, timeW, rowH);
        p.fillRect(cell, QColor(0xf2, 0xf2, 0xf2));
        p.drawRect(cell);
        p.drawText(cell, Qt::AlignCenter, u"%1:00"_s.arg(h));
    }

    p.setFont(font(7));
    const QString word = u8(genre.word);
    const int weekSeed = week.current ? 1 : 2;
    for (int d = 0; d < 7; ++d) {
        int hour = 0;
        int n = 0;
        while (hour < 24) {
            const quint32 r = mix(quint32(channel.number) * 7919U + quint32(weekSeed) * 104729U
                                  + quint32(d) * 131U + quint32(n) * 17U);
            int length = 1 + int(r % 3);
            QString name = week.programmes[int((r >> 8) % quint32(week.programmes.size()))].arg(word);
            if (d == 1 && hour >= 4 && hour < 6) { // the weekly maintenance slot
                length = 6 - hour;
                name = u"放送休止（メンテナンス）"_s;
            } else if (hour < 4 && hour + length > 4 && d == 1) {
                length = 4 - hour;
            }
            length = std::min(length, 24 - hour);
            const QRectF cell(left + timeW + d * dayW, gridTop + hour * rowH, dayW, length * rowH);
            p.fillRect(cell, (n % 2) ? QColor(0xff, 0xff, 0xff) : QColor(0xf7, 0xfb, 0xff));
            p.drawRect(cell);
            p.setPen(QColor(0x11, 0x11, 0x11));
            p.drawText(cell.adjusted(3, 2, -3, -2), Qt::AlignLeft | Qt::AlignTop | Qt::TextWordWrap,
                       u"%1:00 %2"_s.arg(hour).arg(name));
            p.setPen(QPen(QColor(0x88, 0x88, 0x88), 0.5));
            hour += length;
            ++n;
        }
    }

    p.setPen(QColor(0x55, 0x55, 0x55));
    p.setFont(font(7));
    p.drawText(QRectF(left, gridTop + 24 * rowH + 6, width, 12), Qt::AlignLeft,
               u"※番組内容は予告なく変更になる場合があります。  ポルカミーナ 番組表"_s);
}

QColor slotColour(int slot)
{
    return QColor::fromHsv(slot * 360 / kBannerSlots, 150, 235);
}

void writeBanner(const QString &path, int slot, const QString &family)
{
    QImage image(321, 81, QImage::Format_RGB32);
    image.fill(slotColour(slot));
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);
    const auto font = [&family](int pixels, bool bold) {
        QFont f(family);
        f.setPixelSize(pixels);
        f.setBold(bold);
        return f;
    };
    p.setPen(QPen(QColor(0x33, 0x33, 0x33), 2));
    p.drawRect(QRectF(1, 1, 319, 79));
    p.setPen(QColor(0x10, 0x10, 0x10));
    p.setFont(font(40, true));
    p.drawText(QRect(8, 0, 150, 81), Qt::AlignVCenter | Qt::AlignLeft, u"CM %1"_s.arg(slot));
    p.setFont(font(16, true));
    p.drawText(QRect(166, 10, 150, 20), Qt::AlignLeft, u"ポルカミーナ応援隊"_s);
    p.setFont(font(14, false));
    p.drawText(QRect(166, 34, 150, 18), Qt::AlignLeft, u"お知らせ 第%1枠"_s.arg(slot));
    p.setFont(font(12, false));
    p.drawText(QRect(166, 56, 150, 16), Qt::AlignLeft, u"クリックで詳しく表示"_s);
    p.end();
    QDir().mkpath(QFileInfo(path).absolutePath());
    if (!image.save(path, "JPEG", 88))
        throw std::runtime_error(("cannot write " + path.toStdString()).c_str());
}

QByteArray page(const QString &title, const QString &body)
{
    const QString html = uR"(<!DOCTYPE html>
<html lang="ja">
<head>
<meta charset="UTF-8">
<title>%1</title>
<style>
body { font-family: "IPAPGothic", "Noto Sans CJK JP", sans-serif; margin: 24px; background: #f6fbf6; color: #222; }
h1 { color: #006400; border-bottom: 3px solid #006400; }
table { border-collapse: collapse; }
td, th { border: 1px solid #aaa; padding: 2px 8px; }
th { background: #dfeedf; text-align: left; }
</style>
</head>
<body>
%2
</body>
</html>
)"_s.arg(title, body);
    return html.toUtf8();
}

void writePages(const QString &root)
{
    writeFile(root + u"/index.htm"_s, page(u"ポルカミーナ トップページ"_s, uR"(<h1>ポルカミーナ</h1>
<p>衛星デジタル音楽放送「ポルカミーナ」へようこそ。400 から 499 まで、100 チャンネルの音楽を 24 時間お届けしています。</p>
<h2>メニュー</h2>
<ul>
<li><a href="/weekly/index.htm">週間番組表（チャンネル一覧）</a></li>
<li><a href="/weekly/proglist/401.pdf">401ch シングルチャート 今週の番組表（PDF）</a></li>
<li><a href="/news/0.htm">お知らせ</a></li>
<li><a href="/~kalu/soft/kalu.htm">ポルカミーナ応援隊 番組表閲覧プログラム</a></li>
</ul>
)"_s));

    QString rows;
    int genreIndex = -1;
    for (const ChannelTitle &c : kChannels) {
        const Genre &g = genreOf(c.number);
        const int index = int(&g - kGenres);
        if (index != genreIndex) {
            genreIndex = index;
            rows += u"<tr><th colspan=\"3\">%1</th></tr>\n"_s.arg(u8(g.heading).toHtmlEscaped());
        }
        const bool missing = std::find(std::begin(kNoCurrentGuide), std::end(kNoCurrentGuide), c.number)
                             != std::end(kNoCurrentGuide);
        rows += u"<tr><td>%1</td><td>%2</td><td><a href=\"/weekly/proglist/%1.pdf\">今週</a>%3 "
                  "<a href=\"/weekly/proglist2/%1.pdf\">先週</a></td></tr>\n"_s
                    .arg(c.number)
                    .arg(u8(c.title).toHtmlEscaped(), missing ? u"（準備中）"_s : QString());
    }
    writeFile(root + u"/weekly/index.htm"_s, page(u"ポルカミーナ 週間番組表"_s, uR"(<h1>週間番組表</h1>
<p>各チャンネルの今週・先週の番組表（PDF）です。 <a href="/">トップページへ戻る</a></p>
<table>
%1</table>
<p><a href="/">トップページへ戻る</a></p>
)"_s.arg(rows)));

    writeFile(root + u"/~kalu/index.htm"_s, page(u"かるのホームページ"_s, uR"(<h1>かるのホームページ</h1>
<p>ポルカミーナを応援する個人のページです。</p>
<ul>
<li><a href="/~kalu/soft/kalu.htm">番組表閲覧プログラム サポートページ</a></li>
<li><a href="/">ポルカミーナ トップページ</a></li>
</ul>
)"_s));

    writeFile(root + u"/~kalu/soft/kalu.htm"_s, page(u"ポルカミーナ応援隊_番組表閲覧プログラム v1.04 サポート"_s, uR"(<h1>番組表閲覧プログラム サポートページ</h1>
<p>ポルカミーナ応援隊_番組表閲覧プログラム v1.04 のサポートページです。</p>
<h2>更新履歴</h2>
<ul>
<li>v1.04：チャンネルガイド表示（chガイド）ボタンを追加しました。</li>
<li>v1.03：先週の番組表を表示できるようになりました。</li>
<li>v1.02：バナーの表示を改善しました。</li>
</ul>
<h2>リンク</h2>
<ul>
<li><a href="/">ポルカミーナ トップページ</a></li>
<li><a href="/weekly/index.htm">週間番組表</a></li>
<li><a href="/~kalu/index.htm">作者のホームページ</a></li>
<li><a href="/news/0.htm">お知らせ</a></li>
</ul>
)"_s));

    for (int n = 0; n < kBannerSlots; ++n) {
        const QString nav = u"<p><a href=\"/news/%1.htm\">前のお知らせ</a> ｜ <a href=\"/news/%2.htm\">次のお知らせ</a> ｜ "
                              "<a href=\"/\">トップページ</a> ｜ <a href=\"/~kalu/soft/kalu.htm\">サポートページ</a></p>"_s
                                .arg((n + kBannerSlots - 1) % kBannerSlots)
                                .arg((n + 1) % kBannerSlots);
        writeFile(root + u"/news/%1.htm"_s.arg(n),
                  page(u"お知らせ 第%1枠"_s.arg(n),
                       u"<h1 style=\"background:%1\">お知らせ 第%2枠</h1>\n"
                        "<p>バナー「CM %2」のお知らせページです。今週もポルカミーナをお楽しみください。</p>\n%3\n"_s
                           .arg(slotColour(n).name())
                           .arg(n)
                           .arg(nav)));
        // The server puts its own address in place of @SITE@. Even slots end in
        // CR LF, odd ones in nothing, like hand-edited files on the real site.
        const QByteArray target = "@SITE@/news/" + QByteArray::number(n) + ".htm"
                                  + (n % 2 == 0 ? QByteArrayLiteral("\r\n") : QByteArray());
        writeFile(root + u"/~kalu/cm/kalu/cm%1.txt"_s.arg(n), target);
    }
}

int run(const QStringList &args)
{
    if (args.size() != 2 && !(args.size() == 4 && args[2] == u"--week-of"_s)) {
        std::fputs("usage: kalu-site-gen <content dir> [--week-of YYYY-MM-DD]\n", stderr);
        return 2;
    }
    const QString root = QDir(args[1]).absolutePath();
    QDate day = QDate::currentDate();
    if (args.size() == 4) {
        day = QDate::fromString(args[3], Qt::ISODate);
        if (!day.isValid())
            throw std::runtime_error("--week-of wants YYYY-MM-DD");
    }
    const QDate monday = day.addDays(1 - day.dayOfWeek());
    const QString family = pickFamily();

    QElapsedTimer clock;
    clock.start();
    int guides = 0;
    for (const bool current : {true, false}) {
        const Week week = makeWeek(current, monday);
        const QString dir = root + (current ? u"/weekly/proglist"_s : u"/weekly/proglist2"_s);
        QDir().mkpath(dir);
        for (const ChannelTitle &c : kChannels) {
            if (current && std::find(std::begin(kNoCurrentGuide), std::end(kNoCurrentGuide), c.number)
                               != std::end(kNoCurrentGuide))
                continue;
            writeGuide(u"%1/%2.pdf"_s.arg(dir).arg(c.number), c, week, family);
            ++guides;
        }
    }
    for (int slot = 0; slot < kBannerSlots; ++slot)
        writeBanner(u"%1/~kalu/cm/kalu/%2.jpg"_s.arg(root).arg(slot), slot, family);
    writePages(root);
    std::printf("kalu-site-gen: %d guides, %d banners in %s (%lld ms, font %s)\n", guides, kBannerSlots,
                qPrintable(root), static_cast<long long>(clock.elapsed()), qPrintable(family));
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    QGuiApplication app(argc, argv);
    try {
        return run(app.arguments());
    } catch (const std::exception &e) {
        std::fprintf(stderr, "kalu-site-gen: %s\n", e.what());
        return 1;
    }
}
