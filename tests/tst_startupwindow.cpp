// The start-up message window: its layout, the message it fetches while it is
// created, the failures reported on the way, and the start step that shows it.

#include <memory>

#include <QApplication>
#include <QFrame>
#include <QLabel>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QScreen>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextLayout>
#include <QTimer>
#include <QWheelEvent>
#include <QtTest>

#include "Unit2.h"
#include "platform/AnsiText.h"
#include "platform/Application.h"
#include "platform/HttpClient.h"
#include "platform/Picture.h"
#include "support/LoopbackServer.h"
#include "support/WindowTestMain.h"

using namespace Qt::StringLiterals;

namespace {

const QByteArray MessagePath = "/~kalu/cm/kalu/kalumsg.txt"_ba;
const QString MemoTooLarge = u"文字列の大きさがメモの制限を越えました"_s;

QByteArray cp932(const QString &text)
{
    return platform::AnsiText::FromUnicode(text);
}

QRgb rgbAt(const QImage &image, int x, int y)
{
    return image.pixel(x, y);
}

bool startupWindowVisible()
{
    for (QWidget *w : QApplication::topLevelWidgets())
        if (qobject_cast<TForm2 *>(w) && w->isVisible())
            return true;
    return false;
}

// Closes every report box that comes up while it lives, and notes its text and
// whether a message window was on screen at that moment. Polls from a timer:
// the box's own loop runs it.
class Reports
{
public:
    Reports()
    {
        QObject::connect(&m_poll, &QTimer::timeout, [this] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            if (!box || !box->isVisible())
                return;
            texts << box->text();
            windowShown << startupWindowVisible();
            QTest::keyClick(box, Qt::Key_Return);
        });
        m_poll.start(10);
    }

    QStringList texts;
    QList<bool> windowShown;

private:
    QTimer m_poll;
};

} // namespace

class tst_StartupWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void windowSettings();
    void layout_data();
    void layout();
    void fonts_data();
    void fonts();
    void panelAndPicture();
    void memoSettings();
    void position_data();
    void position();

    void message_data();
    void message();
    void fetchFailures_data();
    void fetchFailures();
    void memoLimit_data();
    void memoLimit();
    void overflowIsCutOff();
    void twoInstancesFetchSeparately();

    void startStepShowsAndPaintsAtOnce();
    void startStepReportsBeforeShowing();

private:
    std::unique_ptr<TForm2> create(const QByteArray &response);

    std::unique_ptr<LoopbackServer> m_server;
};

void tst_StartupWindow::initTestCase()
{
    bool ok = false;
    const int port = qEnvironmentVariableIntValue("KALU_TEST_PORT", &ok);
    QVERIFY2(ok && port > 0, "KALU_TEST_PORT is not set");
    m_server = std::make_unique<LoopbackServer>(quint16(port));
}

void tst_StartupWindow::init()
{
    m_server->clear();
    m_server->setRoute(MessagePath, LoopbackServer::ok(cp932(u"お知らせ"_s)));
}

void tst_StartupWindow::cleanup()
{
    QVERIFY(!QApplication::activeModalWidget());
}

std::unique_ptr<TForm2> tst_StartupWindow::create(const QByteArray &response)
{
    m_server->setRoute(MessagePath, response);
    return std::make_unique<TForm2>();
}

void tst_StartupWindow::windowSettings()
{
    const auto form = create(LoopbackServer::ok({}));
    QCOMPARE(form->objectName(), u"Form2"_s);
    QCOMPARE(form->size(), QSize(643, 318));
    QCOMPARE(form->windowTitle(), u"Form2"_s);
    QVERIFY(form->windowFlags().testFlag(Qt::Window));
    QVERIFY(form->windowFlags().testFlag(Qt::FramelessWindowHint));
    // Only the main window's closing ends the program.
    QVERIFY(!form->testAttribute(Qt::WA_QuitOnClose));
    QVERIFY(!form->isVisible());

    // The members are the controls, stacked in their declaration order.
    QList<QWidget *> stacked;
    for (QObject *child : form->Panel1->children())
        if (auto *w = qobject_cast<QWidget *>(child))
            stacked << w;
    const QList<QWidget *> declared{form->Image2, form->Memo1, form->Label1, form->Label2};
    QCOMPARE(stacked, declared);
    // Labels sized to their text still overlap nothing.
    for (qsizetype i = 0; i < declared.size(); ++i)
        for (qsizetype j = i + 1; j < declared.size(); ++j)
            QVERIFY2(!declared[i]->geometry().intersects(declared[j]->geometry()),
                     qPrintable(declared[i]->objectName() + u" / "_s + declared[j]->objectName()));
}

void tst_StartupWindow::layout_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("parent");
    QTest::addColumn<QRect>("geometry"); // labels: an empty size means "sized to the text"
    QTest::addColumn<QString>("text");

    QTest::newRow("Panel1") << u"Panel1"_s << u"Form2"_s << QRect(0, 0, 643, 318) << QString();
    QTest::newRow("Image2") << u"Image2"_s << u"Panel1"_s << QRect(8, 56, 265, 217) << QString();
    QTest::newRow("Memo1") << u"Memo1"_s << u"Panel1"_s << QRect(288, 32, 345, 273) << QString();
    QTest::newRow("Label1") << u"Label1"_s << u"Panel1"_s << QRect(16, 0, 0, 0)
                            << u"ポルカミーナ応援隊_番組表閲覧プログラム v1.04"_s;
    QTest::newRow("Label2") << u"Label2"_s << u"Panel1"_s << QRect(480, 8, 0, 0) << u"Kalu Project 制作"_s;
}

void tst_StartupWindow::layout()
{
    QFETCH(QString, name);
    QFETCH(QString, parent);
    QFETCH(QRect, geometry);
    QFETCH(QString, text);

    const auto form = create(LoopbackServer::ok({}));
    auto *widget = form->findChild<QWidget *>(name);
    QVERIFY(widget);
    QCOMPARE(widget->parentWidget()->objectName(), parent);
    QCOMPARE(widget->pos(), geometry.topLeft());
    if (auto *label = qobject_cast<QLabel *>(widget); label && geometry.size().isEmpty()) {
        QCOMPARE(label->text(), text);
        QCOMPARE(label->size(), label->sizeHint());
        QVERIFY(form->Panel1->rect().contains(label->geometry()));
    } else {
        QCOMPARE(widget->size(), geometry.size());
    }
}

void tst_StartupWindow::fonts_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("family");
    QTest::addColumn<int>("pixels");
    QTest::addColumn<QString>("face"); // what stands in for it here
    QTest::newRow("window") << u"Form2"_s << u"ＭＳ Ｐゴシック"_s << 12 << u"IPAPGothic"_s;
    QTest::newRow("Memo1") << u"Memo1"_s << u"ＭＳ Ｐゴシック"_s << 19 << u"IPAPGothic"_s;
    QTest::newRow("Label1") << u"Label1"_s << u"ＤＦPOP1体W9"_s << 16 << u"RocknRoll One"_s;
    QTest::newRow("Label2") << u"Label2"_s << u"ＤＦPOP1体W9"_s << 12 << u"RocknRoll One"_s;
}

void tst_StartupWindow::fonts()
{
    QFETCH(QString, name);
    QFETCH(QString, family);
    QFETCH(int, pixels);
    QFETCH(QString, face);
    const auto form = create(LoopbackServer::ok({}));
    QWidget *widget = name == form->objectName() ? form.get() : form->findChild<QWidget *>(name);
    QVERIFY(widget);
    QCOMPARE(widget->font().family(), family);
    QCOMPARE(widget->font().pixelSize(), pixels);
    QCOMPARE(QFontInfo(widget->font()).family(), face);

    if (auto *label = qobject_cast<QLabel *>(widget)) {
        QCOMPARE(label->palette().color(QPalette::WindowText), QColor(0, 128, 0));
        QCOMPARE(label->palette().color(QPalette::Window), QColor(Qt::white));
        QVERIFY(label->autoFillBackground());
        // And drawn so: the glyphs' solid pixels are that green.
        const QImage drawn = label->grab().toImage();
        bool green = false;
        for (int y = 0; y < drawn.height() && !green; ++y)
            for (int x = 0; x < drawn.width() && !green; ++x)
                green = drawn.pixel(x, y) == qRgb(0, 128, 0);
        QVERIFY(green);
        QCOMPARE(rgbAt(drawn, 0, 0), qRgb(255, 255, 255));
    }
}

void tst_StartupWindow::panelAndPicture()
{
    const auto form = create(LoopbackServer::ok({}));
    const QImage shown = form->grab().toImage();
    const QImage stage = platform::Picture::LoadFromFile(u":/stage.jpg"_s).convertToFormat(shown.format());
    QCOMPARE(stage.size(), QSize(321, 240));
    const QPalette system = QApplication::palette();
    const QColor light = system.color(QPalette::Light), dark = system.color(QPalette::Dark);
    QVERIFY(light != dark);

    // The raised bevel, five rings; the shadow owns the top-right and
    // bottom-left corners. (100, y) and (x, 150) lie clear of every control.
    for (int i = 0; i < 5; ++i) {
        QCOMPARE(rgbAt(shown, 100, i), light.rgb());
        QCOMPARE(rgbAt(shown, i, 150), light.rgb());
        QCOMPARE(rgbAt(shown, i, i), light.rgb());
        QCOMPARE(rgbAt(shown, 642 - i, 150), dark.rgb());
        QCOMPARE(rgbAt(shown, 100, 317 - i), dark.rgb());
        QCOMPARE(rgbAt(shown, 642 - i, i), dark.rgb());
        QCOMPARE(rgbAt(shown, i, 317 - i), dark.rgb());
    }
    QCOMPARE(rgbAt(shown, 5, 150), QColor(Qt::white).rgb());
    QCOMPARE(rgbAt(shown, 280, 150), QColor(Qt::white).rgb());

    // The picture's top-left 265 × 217 pixels, unscaled, from the box's corner.
    const QRect box = form->Image2->geometry();
    QCOMPARE(shown.copy(box), stage.copy(0, 0, 265, 217));
    QVERIFY(!form->Image2->hasScaledContents());
}

void tst_StartupWindow::memoSettings()
{
    const auto form = create(LoopbackServer::ok({}));
    QPlainTextEdit *memo = form->Memo1;
    QCOMPARE(memo->frameShape(), QFrame::NoFrame);
    QVERIFY(!memo->isEnabled());
    QVERIFY(memo->isReadOnly());
    QCOMPARE(memo->lineWrapMode(), QPlainTextEdit::WidgetWidth);
    QCOMPARE(memo->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
    QCOMPARE(memo->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
    QVERIFY(memo->document()->defaultTextOption().alignment().testFlag(Qt::AlignLeft)
            || memo->document()->defaultTextOption().alignment() == Qt::Alignment());

    // Disabled, yet in the system's window-text colour on its window colour.
    const QPalette system = QApplication::palette();
    QCOMPARE(memo->palette().color(QPalette::Disabled, QPalette::Text), system.color(QPalette::Active, QPalette::Text));
    QCOMPARE(memo->palette().color(QPalette::Disabled, QPalette::Base), system.color(QPalette::Active, QPalette::Base));
    QCOMPARE(rgbAt(form->grab().toImage(), 630, 300), system.color(QPalette::Active, QPalette::Base).rgb());
}

void tst_StartupWindow::position_data()
{
    QTest::addColumn<QSize>("desktop");
    QTest::addColumn<QPoint>("position");
    QTest::newRow("1280 x 1024") << QSize(1280, 1024) << QPoint(318, 353);
    QTest::newRow("odd sizes round down") << QSize(1281, 1025) << QPoint(319, 353);
    QTest::newRow("two screens side by side") << QSize(3840, 1080) << QPoint(1598, 381);
    QTest::newRow("exactly the window") << QSize(643, 318) << QPoint(0, 0);
    QTest::newRow("one pixel narrower") << QSize(642, 317) << QPoint(0, 0);
    QTest::newRow("smaller than the window") << QSize(320, 200) << QPoint(0, 0);
    QTest::newRow("wide but too low") << QSize(1024, 240) << QPoint(190, 0);
}

void tst_StartupWindow::position()
{
    QFETCH(QSize, desktop);
    QFETCH(QPoint, position);
    QCOMPARE(StartupWindowPosition(desktop), position);
}

void tst_StartupWindow::message_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("text");
    // 表 and ソ end in the byte 0x5C, ～ is 0x8160.
    QTest::newRow("CP932 with CR LF") << cp932(u"表示のテスト\r\nソフト～\r\n"_s) << u"表示のテスト\nソフト～"_s;
    QTest::newRow("LF CR gives an empty line") << "a\n\rb"_ba << u"a\n\nb"_s;
    QTest::newRow("empty body") << QByteArray() << QString();
}

void tst_StartupWindow::message()
{
    QFETCH(QByteArray, body);
    QFETCH(QString, text);
    Reports reports;
    const auto form = create(LoopbackServer::ok(body, "text/plain; charset=Shift_JIS"));
    QCOMPARE(reports.texts, QStringList());
    QCOMPARE(form->Memo1->toPlainText(), text);
    QCOMPARE(m_server->paths(), QList<QByteArray>{MessagePath});
}

void tst_StartupWindow::fetchFailures_data()
{
    QTest::addColumn<QByteArray>("response");
    QTest::addColumn<QString>("report");
    QTest::newRow("missing file") << "HTTP/1.1 404 Not Found\r\nContent-Length: 9\r\n\r\nnot found"_ba
                                  << u"HTTP/1.1 404 Not Found."_s;
    QTest::newRow("redirect not followed")
        << "HTTP/1.1 302 Found\r\nLocation: /~kalu/moved/kalumsg.txt\r\nContent-Length: 0\r\n\r\n"_ba
        << u"HTTP/1.1 302 Found."_s;
}

void tst_StartupWindow::fetchFailures()
{
    QFETCH(QByteArray, response);
    QFETCH(QString, report);
    m_server->setRoute("/~kalu/moved/kalumsg.txt", LoopbackServer::ok("moved"));
    Reports reports;
    const auto form = create(response);
    QCOMPARE(reports.texts, QStringList{report});
    // Creation went on: a whole window with an empty message area.
    QCOMPARE(form->Memo1->toPlainText(), QString());
    QVERIFY(!form->Image2->pixmap().isNull());
    QVERIFY(!form->Label2->text().isEmpty());
    QCOMPARE(m_server->paths(), QList<QByteArray>{MessagePath});
}

void tst_StartupWindow::memoLimit_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<bool>("fits");
    const QByteArray half(32767, 'x');
    const QByteArray doubleByte = cp932(QString(32768, u'あ'));
    QTest::newRow("70 KiB") << QByteArray(70 * 1024, 'x') << false;
    QTest::newRow("64 KiB with a CR LF") << half + "\r\n"_ba + half << true;
    QTest::newRow("a lone LF counts as CR LF") << half + "\n"_ba + half + "x"_ba << false;
    QTest::newRow("64 KiB of double-byte text") << doubleByte << true;
    QTest::newRow("one byte over") << doubleByte + "x"_ba << false;
}

void tst_StartupWindow::memoLimit()
{
    QFETCH(QByteArray, body);
    QFETCH(bool, fits);
    QVERIFY(body.size() < qsizetype(platform::HttpClient::TextLimit));
    Reports reports;
    const auto form = create(LoopbackServer::ok(body));
    if (fits) {
        QCOMPARE(reports.texts, QStringList());
        QCOMPARE(platform::AnsiText::FromUnicode(form->Memo1->toPlainText()).size() + form->Memo1->blockCount() - 1,
                 TForm2::MemoLimit);
    } else {
        QCOMPARE(reports.texts, QStringList{MemoTooLarge + u'.'});
        QCOMPARE(form->Memo1->toPlainText(), QString());
    }
}

void tst_StartupWindow::overflowIsCutOff()
{
    QByteArray body = cp932(QString(60, u'長')) + "\r\n"_ba;
    for (int i = 1; i <= 40; ++i)
        body += "line " + QByteArray::number(i) + "\r\n";
    const auto form = create(LoopbackServer::ok(body));
    QPlainTextEdit *memo = form->Memo1;
    form->show();
    QVERIFY(QTest::qWaitForWindowExposed(form.get()));

    // The long first line wraps within the memo's width.
    const QTextLayout *first = memo->document()->firstBlock().layout();
    QVERIFY(first->lineCount() > 1);
    QVERIFY(first->boundingRect().width() <= 345);

    // The rest lies below the memo's height, and nothing scrolls it into view.
    QScrollBar *bar = memo->verticalScrollBar();
    QVERIFY(bar->maximum() > 0);
    QVERIFY(!bar->isVisible());
    const QPoint inside = memo->viewport()->rect().center();
    QWheelEvent wheel(inside, memo->viewport()->mapToGlobal(inside), QPoint(), QPoint(0, -120 * 10), Qt::NoButton,
                      Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(memo->viewport(), &wheel);
    QTest::keyClick(memo, Qt::Key_End, Qt::ControlModifier);
    QTest::keyClick(memo, Qt::Key_PageDown);
    QCOMPARE(bar->value(), 0);
    QCOMPARE(memo->cursorForPosition(QPoint(1, 1)).blockNumber(), 0);
    QVERIFY(!memo->hasFocus());
}

void tst_StartupWindow::twoInstancesFetchSeparately()
{
    const QByteArray message = cp932(u"お知らせ"_s);
    const auto first = create(LoopbackServer::ok(message, "text/plain", "Set-Cookie: visit=1; Path=/~kalu\r\n"));
    const auto second = create(LoopbackServer::ok(message, "text/plain", "Set-Cookie: visit=2; Path=/~kalu\r\n"));
    QCOMPARE(first->Memo1->toPlainText(), u"お知らせ"_s);
    QCOMPARE(second->Memo1->toPlainText(), u"お知らせ"_s);

    // Two fetches; the second instance knows nothing of the first's cookie.
    QList<LoopbackServer::Request> requests = m_server->requests();
    QCOMPARE(requests.size(), 2);
    for (const LoopbackServer::Request &request : requests) {
        QCOMPARE(request.target, MessagePath);
        QVERIFY(request.header("Cookie").isNull());
    }

    // Yet each client keeps what it was given.
    const QString url = m_server->url(QString::fromLatin1(MessagePath));
    first->IdHTTP1->Get(url);
    second->IdHTTP1->Get(url);
    requests = m_server->requests();
    QCOMPARE(requests.size(), 4);
    QCOMPARE(requests[2].header("Cookie"), "visit=1"_ba);
    QCOMPARE(requests[3].header("Cookie"), "visit=2"_ba);
}

void tst_StartupWindow::startStepShowsAndPaintsAtOnce()
{
    m_server->setRoute(MessagePath, LoopbackServer::ok(cp932(u"ようこそ"_s)));
    std::unique_ptr<TForm2> window(ShowStartupWindow());
    QCOMPARE(Form2, window.get());
    QVERIFY(window->isVisible());
    QCOMPARE(window->Memo1->toPlainText(), u"ようこそ"_s);

    QRect desktop;
    for (const QScreen *screen : QGuiApplication::screens())
        desktop = desktop.united(screen->geometry());
    const QPoint expected = StartupWindowPosition(desktop.size());
    QCOMPARE(window->pos(), expected);
    QCOMPARE(window->frameGeometry().topLeft(), expected);

    // On screen already, with no event handled since it was shown: the
    // panel's white, its bevel and the picture's first pixel.
    const QImage screen =
        QGuiApplication::primaryScreen()->grabWindow(0, expected.x(), expected.y(), 643, 318).toImage();
    const QImage stage = platform::Picture::LoadFromFile(u":/stage.jpg"_s);
    QCOMPARE(rgbAt(screen, 280, 150), QColor(Qt::white).rgb());
    QCOMPARE(rgbAt(screen, 642, 150), QApplication::palette().color(QPalette::Dark).rgb());
    QCOMPARE(rgbAt(screen, 8, 56), stage.pixel(0, 0));
    QCOMPARE(rgbAt(screen, 8 + 264, 56 + 216), stage.pixel(264, 216));

    QTRY_VERIFY(window->isActiveWindow());
    window.reset();
    QCOMPARE(Form2, nullptr);
}

void tst_StartupWindow::startStepReportsBeforeShowing()
{
    m_server->setRoute(MessagePath, "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n"_ba);
    Reports reports;
    std::unique_ptr<TForm2> window(ShowStartupWindow());
    QCOMPARE(reports.texts, QStringList{u"HTTP/1.1 404 Not Found."_s});
    QCOMPARE(reports.windowShown, QList<bool>{false});
    QVERIFY(window->isVisible());
    QCOMPARE(window->Memo1->toPlainText(), QString());
}

KALU_WINDOW_TEST_MAIN(tst_StartupWindow)

#include "tst_startupwindow.moc"
