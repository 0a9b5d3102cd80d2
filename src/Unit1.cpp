#include "Unit1.h"

#include <thread>

#include <QApplication>
#include <QCursor>
#include <QEvent>
#include <QFont>
#include <QLabel>
#include <QListWidget>
#include <QPalette>
#include <QPixmap>
#include <QPushButton>
#include <QResizeEvent>
#include <QTimer>

#include "Sites.h"
#include "platform/Application.h"
#include "platform/AnsiText.h"
#include "platform/BusyCursor.h"
#include "platform/Clock.h"
#include "platform/Dialogs.h"
#include "platform/Error.h"
#include "platform/FileStream.h"
#include "platform/HttpClient.h"
#include "platform/ListBox.h"
#include "platform/Picture.h"
#include "platform/WebBrowser.h"

using platform::Application::Dispatch;
using platform::Application::PGothic;
using platform::Application::Gothic;
using platform::Application::Handler;

TForm1 *Form1 = nullptr;
int GuideShown = 0;
QByteArray CmUrl;

namespace {

const QColor Green(0, 128, 0);



// The caption's blanks push the credit to the right of the title bar.
const QString Caption = QStringLiteral("ポルカミーナ応援隊_番組表閲覧プログラム") + QChar(0x3000)
                        + QStringLiteral("ＫＡLU．ｅｘｅ") + QStringLiteral("  ") + QStringLiteral("v1.04")
                        + QString(81, u' ') + QStringLiteral("by Kalu Project");

// The channel numbers of the grid: 401–403, 405–438, 440–477, 489–496, 498.
QStringList Channels()
{
    QStringList channels;
    const auto range = [&](int first, int last) {
        for (int n = first; n <= last; ++n)
            channels << QString::number(n);
    };
    range(401, 403);
    range(405, 438);
    range(440, 477);
    range(489, 496);
    range(498, 498);
    return channels;
}

// The channel guide, row by row.
const char16_t *const GuideRows[] = {
    u"Polkamina チャンネルガイド",
    u"",
    u"STATION 400",
    u"400 STATION 400 総合放送",
    u"",
    u"Ｊ - POP NEW HITS",
    u"401 J- POP SINGLE CHART シングルチャート",
    u"402 J- POP DAM CHART 通信カラオケDAM チャート",
    u"403 J- POP NEW SINGLE <RECOMMEND>新譜ピックアップシングル",
    u"404 J- POP SINGLE HITS 新譜シングルヒットミックス",
    u"405 J- POP NEW ALBUM 新譜アルバム",
    u"406 J- POP HITS ACTIVE EDIT ティーンズヒットセレクション",
    u"",
    u"POWER COMPILATION",
    u"407 POWER COMPILATION 洋・邦テーマ別特集",
    u"",
    u"J- POP VARIETY",
    u"408 J- POP ARTIST SPECIAL 1 アーティスト特集1",
    u"409 J- POP ARTIST SPECIAL 2 アーティスト特集2",
    u"410 J- POP 20XX 20XX 年代別ヒット曲",
    u"411 J- POP 19XX 19XX 年代別ヒット曲",
    u"412 J- POP 90s HITS 1990 年代ヒット曲",
    u"413 J- POP 80s HITS 1980 年代ヒット曲",
    u"414 J- POP 70s HITS 1970 年代ヒット曲",
    u"415 J- POP 2000s HITS 2000 年代ヒット曲",
    u"416 J- R&B/HIPHOP ヒップホップ、R&B 、レゲエ",
    u"417 J- INDIES HITS インディースヒッツ",
    u"418 J- IDOL/VOICE IDOL アイドル、声優",
    u"419 J- ANIME/SFX SONG アニメ、SFX テーマソング",
    u"420 J- INST.SPECIAL 日本人アーティストによるインスト作品",
    u"421 FOLK/NEW MUSIC フォーク、ニューミュージック",
    u"422 GROUP SOUNDS グループサウンズ",
    u"",
    u"歌謡演歌",
    u"423 歌謡演歌 SINGLE CHART シングルチャート",
    u"424 歌謡演歌 DAM CHART 通信カラオケDAM チャート",
    u"425 歌謡演歌 ARTIST SPECIAL アーティスト特集",
    u"426 歌謡演歌 HIT MIX シングルヒットミックス",
    u"427 歌謡演歌 19XX 年代別ヒット曲",
    u"428 歌謡演歌 60s HITS 1960 年代ヒット曲",
    u"429 歌謡演歌 CLASSICS 昭和初期～昭和40 年代ヒット曲",
    u"",
    u"JAZZ",
    u"430 JAZZ NEW ALBUM 新譜アルバム",
    u"431 JAZZ ARTIST SPECIAL アーティスト特集 <協力：スイングジャーナル>",
    u"432 JAZZ GOLD ALBUM 廃盤、名盤アルバム <協力：スイングジャーナル>",
    u"433 CONTEMPORARY JAZZ コンテンポラリージャズ",
    u"434 FUSION/SMOOTH JAZZ フュージョン、スムースジャズ",
    u"435 RARE GROOVE ジャズファンク、レアグルーヴ",
    u"436 JAZZ VOCAL ジャズボーカル",
    u"437 MODERN JAZZ モダンジャズ",
    u"",
    u"CLASSIC",
    u"438 CLASSIC NEW ALBUM 新譜アルバム特集 <<協力：レコード芸術>",
    u"439 モーツァルトモーツァルト作品集",
    u"440 CLASSIC ARTIST SPECIAL 作曲家・演奏家特集",
    u"441 CLASSIC HISTORICAL 歴史的名演奏、名録音盤",
    u"442 CLASSIC ORCHESTRAL 交響曲、管弦楽曲、協奏曲",
    u"443 CLASSIC CHAMBER 室内楽曲、器楽曲",
    u"444 CLASSIC BAROQUE バロック、古楽",
    u"445 CLASSIC OPERA/VOCAL 歌劇、声楽曲",
    u"",
    u"ROCK/POPS VARIETY",
    u"446 ROCK/POPS HIT CHART シングルチャート",
    u"447 ROCK/POPS RECOMMEND SINGLE 新譜ピックアップシングル",
    u"448 ROCK/POPS NEW ALBUM 新譜アルバム",
    u"449 ROCK/POPS UK HIT CHART UK シングルチャート",
    u"450 ROCK/POPS ARTIST SPECIAL アーティスト特集",
    u"451 ROCK/POPS COMPILATION テーマ別特集",
    u"452 ROCK/POPS 20XX 20XX 年代別ヒット曲",
    u"453 ROCK/POPS 19XX 19XX 年代別ヒット曲",
    u"454 ROCK/POPS CLASSICS 90s 1990 年代ヒット曲",
    u"455 ROCK/POPS CLASSICS 80s 1980 年代ヒット曲",
    u"456 ROCK/POPS CLASSICS 70s 1970 年代ヒット曲",
    u"457 ROCK/POPS CLASSICS 50s &60s 1950 ＆60 年代ポップス、オールディーズ",
    u"458 ROCK/POPS 2000ｓ HITS 2000 年代ヒット曲",
    u"459 HARD ROCK/METAL ハードロック、メタル",
    u"460 AOR アダルトコンテンポラリー",
    u"461 COUNTRY カントリー、ブルーグラス",
    u"462 CAFE MUSIC ラウンジ、メロウグルーヴ",
    u"463 ROCK/POPS BALLADS ラヴバラード",
    u"",
    u"DANCE/SOUL",
    u"464 BLACK HIT SINGLE 新譜ヒットシングル",
    u"465 R&B R&B 、ソウル",
    u"466 HIPHOP ヒップホップ、ラップ",
    u"467 DANCE CLASSIC ディスコサウンド、ダンスクラシック",
    u"468 DANCE HIT SINGLE 最新ダンスミュージックヒッツ",
    u"469 HOUSE/TECHNO ハウス、テクノ",
    u"470 TRANCE トランス",
    u"471 CLASSIC SOUL クラシックソウル",
    u"472 EUROBEAT ユーロビート",
    u"",
    u"WORLD",
    u"473 HAWAII ハワイアン （コンテンポラリー、トラディショナル）",
    u"474 BRAZIL （SAMBA/BOSSA NOVA ）サンバ、ボサノヴァ、MPB",
    u"475 LATIN （CUBA/SALSA ）キューバ、サルサ",
    u"476 REGGAE レゲエ",
    u"",
    u"EXTRA/ＢＧＭ",
    u"477 OKINAWA MUSIC 沖縄民謡",
    u"478 J- POP インストゥルメンタルJ- POP ヒット曲インストゥルメンタル･アレンジ",
    u"479 ポピュラースタンダード洋楽ナツメロ",
    u"480 スクリーンミュージックスクリーンミュージック",
    u"481 ボサノヴァボサノヴァ",
    u"482 ジャズピアノジャズピアノ",
    u"483 ライトクラシックライトクラシック",
    u"484 クラシックピアノクラシックピアノ",
    u"485 イージーリスニングイージーリスニング",
    u"486 シーズンミュージック1 季節を演出するBGM （アップテンポ）",
    u"487 シーズンミュージック2 季節を演出するBGM （スローテンポ）",
    u"488 クリスタルサウンドオルゴールセレクション",
    u"489 ファミリーミュージック童謡、こどものうた",
    u"490 リラックスミュージックリラクゼーションミュージック",
    u"491 フィリピンポップスフィリピンポップス",
    u"492 中国ソング中国ポップス",
    u"493 台湾ソング台湾ポップス",
    u"494 韓国ソング韓国ポップス",
    u"495 韓国歌謡演歌韓国歌謡演歌",
    u"496 民謡日本各地の民謡",
    u"497 琴琴曲、日本の調べ",
    u"498 J- POP BALLADS ラヴバラード",
    u"499 Inter FM 外国語FM 放送 （再送信）",
};

struct ButtonLayout
{
    QPushButton *TForm1::*member;
    const char *name;
    QRect geometry;
    const char16_t *caption;
    const QString &face;
    int fontPixels;
    const char16_t *hint; // nullptr: none
    bool handCursor;
    void (TForm1::*click)();
};

// The buttons in stacking order; later ones lie above earlier ones.
const ButtonLayout Buttons[] = {
    {&TForm1::Button6, "Button6", {536, 40, 33, 25}, u"今週", PGothic, 12, u"今週の番組", true, &TForm1::Button6Click},
    {&TForm1::BitBtn1, "BitBtn1", {448, 40, 73, 17}, u"作者ページ", PGothic, 11, u"作者のサポートページへ行く", true, &TForm1::BitBtn1Click},
    {&TForm1::BitBtn2, "BitBtn2", {448, 24, 73, 17}, u"ポルカミーナ", Gothic, 11, u"ポルカミーナ\u3000トップページ", true, &TForm1::BitBtn2Click},
    {&TForm1::BitBtn3, "BitBtn3", {576, 40, 35, 25}, u"先週", PGothic, 12, u"先週の番組", true, &TForm1::BitBtn3Click},
    {&TForm1::BitBtn4, "BitBtn4", {448, 8, 73, 17}, u"chガイド", PGothic, 11, u"ｃｈリスト", true, &TForm1::BitBtn4Click},
    {&TForm1::BitBtn5, "BitBtn5", {536, 8, 33, 25}, u"戻る", PGothic, 12, nullptr, true, &TForm1::BitBtn5Click},
    {&TForm1::BitBtn6, "BitBtn6", {576, 8, 33, 25}, u"進む", PGothic, 12, nullptr, true, &TForm1::BitBtn6Click},
    {&TForm1::Button1, "Button1", {448, 56, 73, 17}, u"終了", PGothic, 12, nullptr, false, &TForm1::Button1Click},
};

} // namespace

TForm1::TForm1(QWidget *parent)
    : QWidget(parent)
    , IdHTTP1(std::make_unique<platform::HttpClient>())
{
    // The create handler places the window through Form1, so it must already
    // point here.
    Form1 = this;
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(Caption);
    setWindowIcon(QIcon(QStringLiteral(":/kalu32.png")));
    setFont(platform::Application::Font(PGothic, 12));
    QPalette green = palette();
    green.setColor(QPalette::Window, Green);
    setPalette(green);
    setAutoFillBackground(true);
    resize(ClientWidth, ClientHeight);

    // Image1 and Label1 are painted on the window itself, below every other control.
    Image1 = new QLabel(this);
    Image1->setObjectName(QStringLiteral("Image1"));
    Image1->setGeometry(616, 0, 321, 81);
    Image1->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    Image1->setPixmap(QPixmap(QStringLiteral(":/logo.png")));
    Image1->setCursor(Qt::PointingHandCursor);
    platform::Application::SetHint(Image1, QStringLiteral("画像をクリックするとお知らせを表示します"));
    Image1->installEventFilter(this);

    Label1 = new QLabel(QStringLiteral("Label1"), this);
    Label1->setObjectName(QStringLiteral("Label1"));
    Label1->setGeometry(360, 56, 33, 12);
    Label1->setEnabled(false);
    Label1->hide();

    WebBrowser1 = new platform::WebBrowser(this);
    WebBrowser1->setObjectName(QStringLiteral("WebBrowser1"));
    WebBrowser1->setGeometry(0, BrowserTop, 800, 465);

    ListBox2 = new QListWidget(this);
    ListBox2->setObjectName(QStringLiteral("ListBox2"));
    ListBox2->setGeometry(312, 80, 481, 401);
    ListBox2->setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
    ListBox2->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    ListBox2->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    ListBox2->setSelectionMode(QAbstractItemView::SingleSelection);
    ListBox2->setUniformItemSizes(true);
    for (const char16_t *row : GuideRows) {
        auto *item = new QListWidgetItem(QString::fromUtf16(row), ListBox2);
        item->setSizeHint(QSize(ListBox2->width(), 12));
    }
    ListBox2->hide();

    ListBox1 = new platform::ListBox(this);
    ListBox1->setObjectName(QStringLiteral("ListBox1"));
    ListBox1->setGeometry(8, 0, 481, 73);
    ListBox1->setFont(platform::Application::Font(Gothic, 13));
    ListBox1->setFrameShape(QFrame::NoFrame);
    ListBox1->setViewMode(QListView::ListMode);
    ListBox1->setFlow(QListView::TopToBottom);
    ListBox1->setWrapping(true);
    ListBox1->setMovement(QListView::Static);
    ListBox1->setUniformItemSizes(true);
    // Columns are the client width divided by 18, rounded down.
    ListBox1->setGridSize(QSize(481 / 18, 13));
    ListBox1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    ListBox1->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    ListBox1->setSelectionMode(QAbstractItemView::SingleSelection);
    ListBox1->setCursor(Qt::PointingHandCursor);
    ListBox1->viewport()->setCursor(Qt::PointingHandCursor);
    platform::Application::SetHint(ListBox1, QStringLiteral("番組ＣＨ番号"));
    QPalette grid = ListBox1->palette();
    grid.setColor(QPalette::Base, Green);
    grid.setColor(QPalette::Text, Qt::white);
    ListBox1->setPalette(grid);
    ListBox1->addItems(Channels());
    connect(ListBox1, &platform::ListBox::Click, this, Handler(this, &TForm1::Button6Click));

    for (const ButtonLayout &b : Buttons) {
        auto *button = new QPushButton(QString::fromUtf16(b.caption), this);
        this->*b.member = button;
        button->setObjectName(QString::fromLatin1(b.name));
        button->setGeometry(b.geometry);
        button->setFont(platform::Application::Font(b.face, b.fontPixels));
        if (b.hint)
            platform::Application::SetHint(button, QString::fromUtf16(b.hint));
        if (b.handCursor)
            button->setCursor(Qt::PointingHandCursor);
        connect(button, &QPushButton::clicked, this, Handler(this, b.click));
    }

    TabOrder = {ListBox1, WebBrowser1, Button6, ListBox2, BitBtn1, BitBtn2,
                BitBtn3,  BitBtn4,     BitBtn5, BitBtn6,  Button1};
    ListBox1->setFocus();

    // Armed with the layout: the first tick is due a minute from here.
    Timer1 = new QTimer(this);
    Timer1->setObjectName(QStringLiteral("Timer1"));
    Timer1->setInterval(TimerIntervalMs);
    connect(Timer1, &QTimer::timeout, this, [this] {
        Dispatch([this] { Timer1Timer(); }, platform::Application::Reports::OnePending, Timer1);
    });
    Timer1->start();

    Dispatch([this] { FormCreate(); });
}

TForm1::~TForm1()
{
    if (Form1 == this)
        Form1 = nullptr;
}

void TForm1::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    Dispatch([this] { FormResize(); });
}

bool TForm1::eventFilter(QObject *watched, QEvent *event)
{
    // Every button counts, and each press of a double click is a press of its own.
    if (watched == Image1
        && (event->type() == QEvent::MouseButtonPress || event->type() == QEvent::MouseButtonDblClick)) {
        Dispatch([this] { Image1MouseDown(); });
        return true;
    }
    return QWidget::eventFilter(watched, event);
}

bool TForm1::focusNextPrevChild(bool next)
{
    // The engine adds its own widgets to the focus chain as pages load, so
    // the chain cannot hold the window's order; walk the table instead.
    QWidget *focused = QApplication::focusWidget();
    qsizetype at = -1;
    for (qsizetype i = 0; i < TabOrder.size(); ++i)
        if (focused && (TabOrder[i] == focused || TabOrder[i]->isAncestorOf(focused)))
            at = i;
    const qsizetype n = TabOrder.size();
    if (at < 0)
        at = next ? n - 1 : 0;
    for (qsizetype step = 1; step <= n; ++step) {
        QWidget *candidate = TabOrder[(at + (next ? step : n - step)) % n];
        if (candidate->isVisible() && candidate->isEnabled()) {
            candidate->setFocus(next ? Qt::TabFocusReason : Qt::BacktabFocusReason);
            return true;
        }
    }
    return false;
}

void TForm1::FormCreate()
{
    {
        platform::BusyCursor busy;
        std::this_thread::sleep_for(std::chrono::milliseconds(StartPauseMs));
    }
    Form1->move(Form1->x(), 1);
    Form1->move(1, Form1->y());

    // The first guide: selecting from code tells the grid's handler nothing.
    ListBox1->setCurrentRow(0);
    OpenGuide(QStringLiteral("/weekly/proglist/"));
}

void TForm1::FormResize()
{
    WebBrowser1->setGeometry(0, BrowserTop, width(), std::max(0, height() - BrowserTop));
}

void TForm1::OpenGuide(const QString &weekPath)
{
    const QListWidgetItem *item = ListBox1->item(ListBox1->currentRow());
    if (!item)
        throw platform::Error(QStringLiteral("リストのインデックスが範囲を超えています (")
                              + QString::number(ListBox1->currentRow()) + u')');
    Channel = item->text();
    WebBrowser1->Navigate(ServiceSite + weekPath + Channel + QStringLiteral(".pdf"));
}

void TForm1::Button1Click()
{
    close();
}

void TForm1::Button6Click()
{
    OpenGuide(QStringLiteral("/weekly/proglist/"));
}

void TForm1::BitBtn3Click()
{
    OpenGuide(QStringLiteral("/weekly/proglist2/"));
}

void TForm1::BitBtn1Click()
{
    WebBrowser1->Navigate(AuthorSite + QStringLiteral("/soft/kalu.htm"));
}

void TForm1::BitBtn2Click()
{
    WebBrowser1->Navigate(ServiceSite + QStringLiteral("/"));
}

void TForm1::BitBtn4Click()
{
    if (GuideShown == 0) {
        BitBtn4->setText(QStringLiteral("chガイドOFF"));
        ListBox2->show();
        GuideShown = 1;
    } else {
        BitBtn4->setText(QStringLiteral("chガイド"));
        ListBox2->hide();
        GuideShown = 0;
    }
}

void TForm1::BitBtn5Click()
{
    Walk(&platform::WebBrowser::GoBack);
}

void TForm1::BitBtn6Click()
{
    Walk(&platform::WebBrowser::GoForward);
}

void TForm1::Walk(void (platform::WebBrowser::*step)())
{
    bool moved = true;
    try {
        (WebBrowser1->*step)();
    } catch (...) {
        // Whatever went wrong, the user hears only that there is no page.
        moved = false;
    }
    if (!moved)
        platform::Dialogs::ShowMessage(QStringLiteral("ページがありません"));
}

void TForm1::Image1MouseDown()
{
    WebBrowser1->NavigateWeb(platform::AnsiText::ToUnicode(CmUrl));
}

void TForm1::Timer1Timer()
{
    platform::BusyCursor busy;
    const int minute = platform::Clock::Now().time().minute();
    const QString slot = QString::number(minute / 3);
    Label1->setText(slot);
    const QString picture = AuthorSite + QStringLiteral("/cm/kalu/") + slot + QStringLiteral(".jpg");
    {
        // Emptied before the request; closed on every way out.
        platform::FileStream file(BannerFile, platform::FileStream::Mode::Create);
        IdHTTP1->Get(picture, file);
        file.Close();
    }
    Image1->setPixmap(QPixmap::fromImage(platform::Picture::LoadFromFile(BannerFile)));
    Image1->show();
    const QString target = AuthorSite + QStringLiteral("/cm/kalu/cm") + slot + QStringLiteral(".txt");
    CmUrl = IdHTTP1->Get(target);
}
