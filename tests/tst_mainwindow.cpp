// The main window against a loopback copy of the service's site: layout,
// resize rule, channel grid, guide addresses, history buttons and the overlay.
// One window for the whole run, as in the program: its creation pauses 4.5 s
// and opens the first guide, so the order of the tests matters.

#include <QFile>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QWebEngineHistory>
#include <QWebEngineView>
#include <QtTest>

#include "Sites.h"
#include "Unit1.h"
#include "platform/Application.h"
#include "platform/ListBox.h"
#include "platform/WebBrowser.h"
#include "support/LoopbackServer.h"
#include "support/ModalBox.h"
#include "support/WindowTestMain.h"

namespace {

QByteArray fileBytes(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        qFatal("cannot read %s", qPrintable(path));
    return file.readAll();
}

QByteArray guide(const char *path)
{
    const QString root = qEnvironmentVariable("KALU_BINARY_DIR") + u"/stand-in-site/root"_qs;
    return LoopbackServer::ok(fileBytes(root + QString::fromLatin1(path)), "application/pdf");
}

} // namespace

class tst_MainWindow : public QObject
{
    Q_OBJECT

    std::unique_ptr<LoopbackServer> server;
    TForm1 *form = nullptr;

    QList<QByteArray> guideRequests() const
    {
        QList<QByteArray> guides;
        for (const QByteArray &path : server->paths())
            if (path.startsWith("/weekly/"))
                guides << path;
        return guides;
    }

    QByteArray lastGuide() const
    {
        const auto guides = guideRequests();
        return guides.isEmpty() ? QByteArray() : guides.last();
    }

    void clickItem(const QString &text)
    {
        const auto found = form->ListBox1->findItems(text, Qt::MatchExactly);
        QVERIFY(!found.isEmpty());
        const QRect rect = form->ListBox1->visualItemRect(found.first());
        QTest::mouseClick(form->ListBox1->viewport(), Qt::LeftButton, {}, rect.center());
    }

    QUrl shownUrl() const { return form->WebBrowser1->View()->url(); }

private slots:
    void initTestCase()
    {
        server = std::make_unique<LoopbackServer>(quint16(qEnvironmentVariableIntValue("KALU_TEST_PORT")));
        for (const char *path : {"/weekly/proglist/401.pdf", "/weekly/proglist/412.pdf",
                                 "/weekly/proglist2/412.pdf", "/weekly/proglist/413.pdf",
                                 "/weekly/proglist/498.pdf", "/weekly/proglist2/498.pdf"})
            server->setRoute(path, guide(path));
        server->setRoute("/", LoopbackServer::ok("<html><body><h1>top</h1></body></html>", "text/html"));
        server->setRoute("/~kalu/soft/kalu.htm",
                         LoopbackServer::ok("<html><body><h1>support</h1></body></html>", "text/html"));

        QElapsedTimer clock;
        clock.start();
        form = new TForm1;
        QVERIFY(clock.elapsed() >= TForm1::StartPauseMs);
        QCOMPARE(Form1, form);
        form->show();
        form->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(form));
    }

    void cleanupTestCase()
    {
        delete form;
        server.reset();
    }

    void startUpOpensTheFirstGuideOnce()
    {
        QCOMPARE(form->ListBox1->currentRow(), 0);
        QCOMPARE(form->CurrentChannel(), u"401"_qs);
        QTRY_COMPARE(guideRequests(), QList<QByteArray>{"/weekly/proglist/401.pdf"});
        QTRY_COMPARE_WITH_TIMEOUT(shownUrl().path(), u"/weekly/proglist/401.pdf"_qs, 10000);
        QTest::qWait(500);
        QCOMPARE(guideRequests(), QList<QByteArray>{"/weekly/proglist/401.pdf"});
        // Placed before showing, then shown with the grid focused.
        QCOMPARE(form->pos(), QPoint(1, 1));
        QCOMPARE(QApplication::focusWidget(), form->ListBox1);
    }

    void layout_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QRect>("geometry");
        QTest::addColumn<QString>("caption");
        QTest::addColumn<QString>("hint");
        QTest::addColumn<QString>("face");
        QTest::addColumn<int>("pixels");
        QTest::addColumn<bool>("visible");
        QTest::addColumn<bool>("enabled");
        QTest::addColumn<bool>("hand");
        const QString pg = u"ＭＳ Ｐゴシック"_qs, g = u"ＭＳ ゴシック"_qs;
        QTest::newRow("Image1") << u"Image1"_qs << QRect(616, 0, 321, 81) << QString()
                                << u"画像をクリックするとお知らせを表示します"_qs << pg << 12 << true << true << true;
        QTest::newRow("Label1") << u"Label1"_qs << QRect(360, 56, 33, 12) << u"Label1"_qs << QString() << pg
                                << 12 << false << false << false;
        QTest::newRow("ListBox2") << u"ListBox2"_qs << QRect(312, 80, 481, 401) << QString() << QString() << pg
                                  << 12 << false << true << false;
        QTest::newRow("ListBox1") << u"ListBox1"_qs << QRect(8, 0, 481, 73) << QString() << u"番組ＣＨ番号"_qs
                                  << g << 13 << true << true << true;
        QTest::newRow("Button6") << u"Button6"_qs << QRect(536, 40, 33, 25) << u"今週"_qs << u"今週の番組"_qs << pg
                                 << 12 << true << true << true;
        QTest::newRow("BitBtn1") << u"BitBtn1"_qs << QRect(448, 40, 73, 17) << u"作者ページ"_qs
                                 << u"作者のサポートページへ行く"_qs << pg << 11 << true << true << true;
        QTest::newRow("BitBtn2") << u"BitBtn2"_qs << QRect(448, 24, 73, 17) << u"ポルカミーナ"_qs
                                 << u"ポルカミーナ\u3000トップページ"_qs << g << 11 << true << true << true;
        QTest::newRow("BitBtn3") << u"BitBtn3"_qs << QRect(576, 40, 35, 25) << u"先週"_qs << u"先週の番組"_qs << pg
                                 << 12 << true << true << true;
        QTest::newRow("BitBtn4") << u"BitBtn4"_qs << QRect(448, 8, 73, 17) << u"chガイド"_qs << u"ｃｈリスト"_qs
                                 << pg << 11 << true << true << true;
        QTest::newRow("BitBtn5") << u"BitBtn5"_qs << QRect(536, 8, 33, 25) << u"戻る"_qs << QString() << pg << 12
                                 << true << true << true;
        QTest::newRow("BitBtn6") << u"BitBtn6"_qs << QRect(576, 8, 33, 25) << u"進む"_qs << QString() << pg << 12
                                 << true << true << true;
        QTest::newRow("Button1") << u"Button1"_qs << QRect(448, 56, 73, 17) << u"終了"_qs << QString() << pg << 12
                                 << true << true << false;
    }
    void layout()
    {
        QFETCH(QString, name);
        QFETCH(QRect, geometry);
        QFETCH(QString, caption);
        QFETCH(QString, hint);
        QFETCH(QString, face);
        QFETCH(int, pixels);
        QFETCH(bool, visible);
        QFETCH(bool, enabled);
        QFETCH(bool, hand);
        auto *control = form->findChild<QWidget *>(name);
        QVERIFY(control);
        QCOMPARE(control->parentWidget(), form);
        QCOMPARE(control->geometry(), geometry);
        if (auto *button = qobject_cast<QPushButton *>(control))
            QCOMPARE(button->text(), caption);
        if (auto *label = qobject_cast<QLabel *>(control); label && !caption.isEmpty())
            QCOMPARE(label->text(), caption);
        QCOMPARE(control->toolTip(), hint);
        if (!hint.isEmpty())
            QCOMPARE(control->toolTipDuration(), platform::Application::HintHidePauseMs);
        QCOMPARE(control->font().family(), face);
        QCOMPARE(control->font().pixelSize(), pixels);
        QCOMPARE(control->isVisible(), visible);
        QCOMPARE(control->isEnabled(), enabled);
        QCOMPARE(control->cursor().shape() == Qt::PointingHandCursor, hand);
    }

    void windowItself()
    {
        const QString caption = u"ポルカミーナ応援隊_番組表閲覧プログラム\u3000ＫＡLU．ｅｘｅ  v1.04"_qs
                                + QString(81, u' ');
        QVERIFY(form->windowTitle().startsWith(caption));
        QVERIFY(form->windowTitle().size() > caption.size());
        QVERIFY(form->windowTitle().at(caption.size()) != u' ');
        QCOMPARE(form->size(), QSize(TForm1::ClientWidth, TForm1::ClientHeight));
        QCOMPARE(form->font().family(), u"ＭＳ Ｐゴシック"_qs);
        QCOMPARE(form->font().pixelSize(), 12);
        // Green where no control lies, and the logo at the banner's corner.
        const QImage shot = form->grab().toImage();
        for (const QPoint p : {QPoint(4, 76), QPoint(525, 70), QPoint(530, 20), QPoint(614, 60), QPoint(800, 79)})
            QCOMPARE(shot.pixelColor(p), QColor(0, 128, 0));
        const QImage logo(u":/logo.png"_qs);
        QCOMPARE(logo.size(), QSize(97, 51));
        QCOMPARE(shot.copy(616, 0, 97, 51).convertToFormat(QImage::Format_RGB32), logo.convertToFormat(QImage::Format_RGB32));
        QCOMPARE(shot.pixelColor(616 + 120, 60), QColor(0, 128, 0));
        QCOMPARE(form->Timer1->interval(), 60000);
        QVERIFY(form->Timer1->isActive());
    }

    void stacking()
    {
        // Later controls lie above earlier ones; the pictures below them all.
        const QStringList order = {u"Image1"_qs,  u"Label1"_qs,  u"WebBrowser1"_qs, u"ListBox2"_qs, u"ListBox1"_qs,
                                   u"Button6"_qs, u"BitBtn1"_qs, u"BitBtn2"_qs,     u"BitBtn3"_qs,  u"BitBtn4"_qs,
                                   u"BitBtn5"_qs, u"BitBtn6"_qs, u"Button1"_qs};
        QStringList children;
        for (QObject *child : form->children())
            if (child->isWidgetType() && order.contains(child->objectName()))
                children << child->objectName();
        QCOMPARE(children, order);
    }

    void tabOrder()
    {
        // The browser takes the focus through the engine's own widgets, and
        // Tab inside a page belongs to the page: press Tab into it, and walk
        // the buttons from "今週" on. The hidden overlay is passed over.
        const auto focused = [this] {
            QWidget *w = QApplication::focusWidget();
            return w && form->WebBrowser1->isAncestorOf(w) ? u"WebBrowser1"_qs : w ? w->objectName() : QString();
        };
        form->ListBox1->setFocus();
        QTest::keyClick(form->ListBox1, Qt::Key_Tab);
        QTRY_COMPARE(focused(), u"WebBrowser1"_qs);

        form->Button6->setFocus();
        QStringList walked{focused()};
        for (int i = 0; i < 8; ++i) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            walked << focused();
        }
        QCOMPARE(walked, (QStringList{u"Button6"_qs, u"BitBtn1"_qs, u"BitBtn2"_qs, u"BitBtn3"_qs, u"BitBtn4"_qs,
                                      u"BitBtn5"_qs, u"BitBtn6"_qs, u"Button1"_qs, u"ListBox1"_qs}));
        form->Button6->setFocus();
        QTest::keyClick(form->Button6, Qt::Key_Backtab);
        QTRY_COMPARE(focused(), u"WebBrowser1"_qs);
        QCOMPARE(form->Image1->focusPolicy(), Qt::NoFocus);
        form->ListBox1->setFocus();
    }

    void gridPositions_data()
    {
        QTest::addColumn<int>("index");
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("column");
        QTest::addColumn<int>("row");
        QTest::newRow("first") << 0 << u"401"_qs << 0 << 0;
        QTest::newRow("after the gap at 404") << 3 << u"405"_qs << 0 << 3;
        QTest::newRow("top of column 2") << 5 << u"407"_qs << 1 << 0;
        QTest::newRow("after the gap at 439") << 37 << u"440"_qs << 7 << 2;
        QTest::newRow("after the gap at 478-488") << 75 << u"489"_qs << 15 << 0;
        QTest::newRow("last") << 83 << u"498"_qs << 16 << 3;
    }
    void gridPositions()
    {
        QFETCH(int, index);
        QFETCH(QString, text);
        QFETCH(int, column);
        QFETCH(int, row);
        QCOMPARE(form->ListBox1->count(), 84);
        QListWidgetItem *item = form->ListBox1->item(index);
        QCOMPARE(item->text(), text);
        QCOMPARE(form->ListBox1->visualItemRect(item).topLeft(), QPoint(column * 26, row * 13));
        QCOMPARE(form->ListBox1->horizontalScrollBar()->isVisible(), false);
        QCOMPARE(form->ListBox1->horizontalScrollBar()->maximum(), 0);
    }

    // Walks the history before any other guide is opened.
    void historyButtons()
    {
        QTRY_COMPARE_WITH_TIMEOUT(shownUrl().path(), u"/weekly/proglist/401.pdf"_qs, 10000);
        for (QPushButton *button : {form->BitBtn5, form->BitBtn6}) {
            SeenBox seen;
            closeNextBox(seen);
            QTest::mouseClick(button, Qt::LeftButton);
            QTRY_VERIFY(seen.seen);
            QCOMPARE(seen.text, u"ページがありません"_qs);
            QCOMPARE(seen.title, platform::Application::Title());
            QCOMPARE(seen.icon, QMessageBox::NoIcon);
            QCOMPARE(seen.buttons, QStringList{u"OK"_qs});
            QCOMPARE(shownUrl().path(), u"/weekly/proglist/401.pdf"_qs);
        }

        clickItem(u"412"_qs);
        QTRY_COMPARE_WITH_TIMEOUT(form->WebBrowser1->View()->history()->count(), 2, 10000);
        QTest::mouseClick(form->BitBtn5, Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(shownUrl().path(), u"/weekly/proglist/401.pdf"_qs, 10000);
        QTest::mouseClick(form->BitBtn6, Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(shownUrl().path(), u"/weekly/proglist/412.pdf"_qs, 10000);
        SeenBox seen;
        closeNextBox(seen);
        QTest::mouseClick(form->BitBtn6, Qt::LeftButton);
        QTRY_VERIFY(seen.seen);
        QCOMPARE(seen.text, u"ページがありません"_qs);
        QCOMPARE(shownUrl().path(), u"/weekly/proglist/412.pdf"_qs);

        // The two fixed pages are visits like any other.
        QTest::mouseClick(form->BitBtn2, Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(shownUrl(), QUrl(ServiceSite + u"/"_qs), 10000);
        QTest::mouseClick(form->BitBtn1, Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(shownUrl(), QUrl(AuthorSite + u"/soft/kalu.htm"_qs), 10000);
        QTest::mouseClick(form->BitBtn5, Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(shownUrl(), QUrl(ServiceSite + u"/"_qs), 10000);
        QTest::mouseClick(form->BitBtn5, Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(shownUrl().path(), u"/weekly/proglist/412.pdf"_qs, 10000);
        QCOMPARE(form->CurrentChannel(), u"412"_qs);
    }

    void guideAddresses()
    {
        // One at a time, as a user clicks: the engine drops a load that a
        // newer one overtakes before it went out.
        server->clear();
        clickItem(u"412"_qs);
        QTRY_COMPARE(guideRequests().size(), 1);
        QTest::mouseClick(form->BitBtn3, Qt::LeftButton);
        QTRY_COMPARE(guideRequests().size(), 2);
        QTest::mouseClick(form->Button6, Qt::LeftButton);
        QTRY_COMPARE(guideRequests(), (QList<QByteArray>{"/weekly/proglist/412.pdf", "/weekly/proglist2/412.pdf",
                                                         "/weekly/proglist/412.pdf"}));
        server->clear();
        clickItem(u"498"_qs);
        QTRY_COMPARE(lastGuide(), QByteArray("/weekly/proglist/498.pdf"));
        QTest::mouseClick(form->BitBtn3, Qt::LeftButton);
        QTRY_COMPARE(lastGuide(), QByteArray("/weekly/proglist2/498.pdf"));
        QCOMPARE(form->CurrentChannel(), u"498"_qs);
    }

    void clickNotice()
    {
        // Selecting from code tells nothing.
        form->ListBox1->setCurrentRow(10);
        QCOMPARE(form->CurrentChannel(), u"498"_qs);
        clickItem(u"412"_qs);
        QCOMPARE(form->CurrentChannel(), u"412"_qs);

        // Keys move the selection and tell.
        form->ListBox1->setFocus();
        QTest::keyClick(form->ListBox1, Qt::Key_Down);
        QCOMPARE(form->CurrentChannel(), u"413"_qs);
        QTRY_COMPARE(lastGuide(), QByteArray("/weekly/proglist/413.pdf"));

        // Type-ahead: the typed start of a number, a pause starts anew.
        QTest::keyClicks(form->ListBox1, u"49"_qs);
        QCOMPARE(form->CurrentChannel(), u"490"_qs);
        QTest::keyClick(form->ListBox1, Qt::Key_8);
        QCOMPARE(form->CurrentChannel(), u"498"_qs);
        QTest::qWait(platform::Application::TypeAheadIntervalMs + 100);
        QTest::keyClicks(form->ListBox1, u"41"_qs);
        QCOMPARE(form->CurrentChannel(), u"410"_qs);
    }

    void overlay()
    {
        QCOMPARE(form->ListBox2->count(), 123);
        QCOMPARE(form->ListBox2->item(0)->text(), u"Polkamina チャンネルガイド"_qs);
        QStringList channels;
        int empty = 0;
        for (int i = 0; i < form->ListBox2->count(); ++i) {
            const QString row = form->ListBox2->item(i)->text();
            if (row.isEmpty())
                ++empty;
            else if (row.size() > 4 && row.at(3) == u' ' && row.left(3).toInt() >= 400)
                channels << row.left(3);
        }
        QCOMPARE(empty, 11);
        QCOMPARE(channels.size(), 100);
        for (int n = 0; n < 100; ++n)
            QCOMPARE(channels.at(n), QString::number(400 + n));
        QCOMPARE(form->ListBox2->item(54)->text(), u"439 モーツァルトモーツァルト作品集"_qs);
        QCOMPARE(form->ListBox2->item(122)->text(), u"499 Inter FM 外国語FM 放送 （再送信）"_qs);

        const QStringList captions = {u"chガイドOFF"_qs, u"chガイド"_qs, u"chガイドOFF"_qs};
        for (int i = 0; i < 3; ++i) {
            QTest::mouseClick(form->BitBtn4, Qt::LeftButton);
            QCOMPARE(form->BitBtn4->text(), captions.at(i));
            QCOMPARE(form->ListBox2->isVisible(), i != 1);
            QCOMPARE(GuideShown, i != 1 ? 1 : 0);
        }

        // Shown: a channel click opens its guide and the overlay stays.
        server->clear();
        clickItem(u"412"_qs);
        QTRY_COMPARE(lastGuide(), QByteArray("/weekly/proglist/412.pdf"));
        QVERIFY(form->ListBox2->isVisible());

        // A row click only highlights it.
        server->clear();
        const int gridRow = form->ListBox1->currentRow();
        QListWidgetItem *row = form->ListBox2->item(7);
        QTest::mouseClick(form->ListBox2->viewport(), Qt::LeftButton, {},
                          form->ListBox2->visualItemRect(row).center());
        QCOMPARE(form->ListBox2->currentItem(), row);
        QTest::qWait(300);
        QCOMPARE(guideRequests(), QList<QByteArray>{});
        QCOMPARE(form->ListBox1->currentRow(), gridRow);
        QCOMPARE(form->CurrentChannel(), u"412"_qs);

        // It lies above the browser from x 312 to 792 and y 80 to 480.
        QTest::qWait(200);
        const QImage shot = form->grab().toImage();
        const QColor base = form->ListBox2->palette().color(QPalette::Base);
        for (const QPoint p : {QPoint(740, 90), QPoint(740, 300), QPoint(740, 470)})
            QCOMPARE(shot.pixelColor(p), base);
        // Beside it the guide shows through.
        QVERIFY(shot.pixelColor(305, 300) != base);
        QVERIFY(shot.pixelColor(796, 300) != base);
    }

    void resizeRule_data()
    {
        QTest::addColumn<QSize>("client");
        QTest::newRow("layout size") << QSize(801, 573);
        QTest::newRow("larger") << QSize(1024, 700);
        QTest::newRow("narrower than the overlay") << QSize(600, 500);
        QTest::newRow("exactly 80 high") << QSize(801, 80);
        QTest::newRow("under 80 high") << QSize(801, 40);
    }
    void resizeRule()
    {
        QFETCH(QSize, client);
        form->resize(client);
        QTRY_COMPARE(form->size(), client);
        QCOMPARE(form->WebBrowser1->geometry(),
                 QRect(0, 80, client.width(), std::max(0, client.height() - 80)));
        // Nothing else moves; the overlay keeps its size and is cut off instead.
        QCOMPARE(form->ListBox2->geometry(), QRect(312, 80, 481, 401));
        QCOMPARE(form->Image1->geometry(), QRect(616, 0, 321, 81));
        QCOMPARE(form->ListBox1->geometry(), QRect(8, 0, 481, 73));
    }

    void maximized()
    {
        form->showMaximized();
        const QSize screen = form->screen()->availableGeometry().size();
        QTest::qWait(1000);
        if (form->width() == TForm1::ClientWidth)
            QSKIP("no window manager here to maximize the window");
        QCOMPARE(form->WebBrowser1->geometry(), QRect(0, 80, form->width(), form->height() - 80));
        QVERIFY(form->width() <= screen.width());
        form->showNormal();
        form->resize(TForm1::ClientWidth, TForm1::ClientHeight);
    }

    void exitButtonClosesTheWindow()
    {
        QTest::mouseClick(form->Button1, Qt::LeftButton);
        QTRY_VERIFY(!form->isVisible());
    }
};

KALU_WINDOW_TEST_MAIN(tst_MainWindow)

#include "tst_mainwindow.moc"
