// The application object's rules: the title, the report's full stop, and the
// default error handler that every window handler runs under.

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QStyle>
#include <QTimer>
#include <QtTest>

#include "platform/Application.h"
#include "platform/Dialogs.h"
#include "platform/Error.h"
#include "support/ModalBox.h"
#include "support/WindowTestMain.h"

using namespace platform;

class tst_Application : public QObject
{
    Q_OBJECT

private slots:
    void title_data()
    {
        QTest::addColumn<QString>("fileName");
        QTest::addColumn<QString>("title");
        QTest::newRow("upper case with extension") << u"KALU.exe"_qs << u"Kalu"_qs;
        QTest::newRow("cut at the first dot") << u"MY.APP.EXE"_qs << u"My"_qs;
        QTest::newRow("lower case") << u"kalu.exe"_qs << u"kalu"_qs;
        QTest::newRow("no extension") << u"kalu"_qs << u"kalu"_qs;
        QTest::newRow("folders dropped") << u"/usr/local/bin/KALU"_qs << u"Kalu"_qs;
        QTest::newRow("leading dot") << u".hidden"_qs << QString();
        QTest::newRow("japanese first") << u"番組VIEW.bin"_qs << u"番組view"_qs;
    }
    void title()
    {
        QFETCH(QString, fileName);
        QFETCH(QString, title);
        QCOMPARE(Application::TitleFromFileName(fileName), title);
    }

    void fullStop_data()
    {
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("shown");
        QTest::newRow("letter") << u"HTTP/1.1 404 Not Found"_qs << u"HTTP/1.1 404 Not Found."_qs;
        QTest::newRow("digit") << u"JPEG エラー #53"_qs << u"JPEG エラー #53."_qs;
        QTest::newRow("slash") << u"a/"_qs << u"a/."_qs;
        QTest::newRow("japanese") << u"ページがありません"_qs << u"ページがありません."_qs;
        QTest::newRow("ideographic full stop") << u"作成できません。"_qs << u"作成できません。."_qs;
        QTest::newRow("half-width katakana") << u"ｱ"_qs << u"ｱ."_qs;
        QTest::newRow("full stop") << u"Connection refused."_qs << u"Connection refused."_qs;
        QTest::newRow("parenthesis") << u"(x)"_qs << u"(x)"_qs;
        QTest::newRow("exclamation") << u"x!"_qs << u"x!"_qs;
        QTest::newRow("comma") << u"x,"_qs << u"x,"_qs;
        QTest::newRow("hyphen") << u"x-"_qs << u"x-"_qs;
        QTest::newRow("blank") << u"x "_qs << u"x "_qs;
        QTest::newRow("line break") << u"x\r\n"_qs << u"x\r\n"_qs;
        QTest::newRow("empty") << QString() << QString();
        QTest::newRow("outside cp932 counts as ?") << u"x😀"_qs << u"x😀."_qs;
    }
    void fullStop()
    {
        QFETCH(QString, message);
        QFETCH(QString, shown);
        QCOMPARE(Application::WithFullStop(message), shown);
    }

    void throwingHandlerIsReportedAndLoopGoesOn_data()
    {
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("shown");
        QTest::newRow("status line") << u"HTTP/1.1 500 Internal Server Error"_qs
                                     << u"HTTP/1.1 500 Internal Server Error."_qs;
        QTest::newRow("markup stays text") << u"<b>x</b>"_qs << u"<b>x</b>."_qs;
        QTest::newRow("empty message") << QString() << QString();
    }
    void throwingHandlerIsReportedAndLoopGoesOn()
    {
        QFETCH(QString, message);
        QFETCH(QString, shown);
        SeenBox seen;
        closeNextBox(seen);
        bool after = false;
        // Through a real signal, as a button click runs its handler.
        QTimer trigger;
        trigger.setSingleShot(true);
        connect(&trigger, &QTimer::timeout, [&] {
            Application::Dispatch([&] {
                throw Error(message);
                after = true; // abandoned at the failing step
            });
        });
        trigger.start(0);
        bool loopWentOn = false;
        QTimer::singleShot(50, [&] { loopWentOn = true; });
        QTRY_VERIFY(loopWentOn);
        QVERIFY(!after);
        QCOMPARE(seen.title, Application::Title());
        QCOMPARE(seen.icon, QMessageBox::Critical);
        QCOMPARE(seen.buttons, QStringList{u"OK"_qs});
        QCOMPARE(seen.text, shown);
    }

    void pendingReportsDoNotPileUp()
    {
        // A periodic source failing again while its report is open is not
        // shown twice; once closed, the next failure is reported again.
        int boxes = 0;
        const int source = 0;
        auto fail = [] { throw Error(u"Socket Error # 10061\r\nConnection refused."_qs); };
        QString firstText;
        QTimer poll;
        connect(&poll, &QTimer::timeout, [&] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            if (!box)
                return;
            poll.stop();
            ++boxes;
            firstText = box->text();
            // A second failure while this one is open shows nothing further.
            Application::Dispatch(fail, Application::Reports::OnePending, &source);
            QCOMPARE(QApplication::activeModalWidget(), box);
            QTest::keyClick(box, Qt::Key_Return);
        });
        poll.start(10);
        Application::Dispatch(fail, Application::Reports::OnePending, &source);
        QCOMPARE(boxes, 1);
        QCOMPARE(firstText, u"Socket Error # 10061\r\nConnection refused."_qs);
        SeenBox seen;
        closeNextBox(seen);
        Application::Dispatch(fail, Application::Reports::OnePending, &source);
        QCOMPARE(seen.icon, QMessageBox::Critical);
    }

    void hintAndTypeAheadTiming()
    {
        QStyle *style = QApplication::style();
        QCOMPARE(style->styleHint(QStyle::SH_ToolTip_WakeUpDelay), 500);
        QCOMPARE(style->styleHint(QStyle::SH_ToolTip_FallAsleepDelay), 2500);
        QCOMPARE(QApplication::keyboardInputInterval(), 500);
        QWidget control;
        Application::SetHint(&control, u"番組ＣＨ番号"_qs);
        QCOMPARE(control.toolTip(), u"番組ＣＨ番号"_qs);
        QCOMPARE(control.toolTipDuration(), 2500);
    }

    void plainMessageBox_data()
    {
        QTest::addColumn<int>("key");
        QTest::newRow("enter") << int(Qt::Key_Return);
        QTest::newRow("escape") << int(Qt::Key_Escape);
    }
    void plainMessageBox()
    {
        QFETCH(int, key);
        SeenBox seen;
        closeNextBox(seen, key);
        Dialogs::ShowMessage(u"ページがありません"_qs);
        QCOMPARE(seen.title, Application::Title());
        QCOMPARE(seen.text, u"ページがありません"_qs);
        QCOMPARE(seen.icon, QMessageBox::NoIcon);
        QCOMPARE(seen.buttons, QStringList{u"OK"_qs});
        QVERIFY(seen.defaultIsOk);
        QVERIFY(seen.escapeIsOk);
        const QRect screen = QGuiApplication::primaryScreen()->geometry();
        QVERIFY2((seen.geometry.center() - screen.center()).manhattanLength() <= 2,
                 qPrintable(QStringLiteral("box at %1,%2").arg(seen.geometry.x()).arg(seen.geometry.y())));
    }
};

KALU_WINDOW_TEST_MAIN(tst_Application)

#include "tst_application.moc"
