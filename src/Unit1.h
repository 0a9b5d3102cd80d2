#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QWidget>

#include <memory>

class QLabel;
class QListWidget;
class QPushButton;
class QTimer;

namespace platform {
class HttpClient;
class ListBox;
class WebBrowser;
} // namespace platform

// The main window: channel grid, buttons and banner along the top, the
// browser below the top 80 pixels.
class TForm1 : public QWidget
{
    Q_OBJECT

public:
    static constexpr int ClientWidth = 801;
    static constexpr int ClientHeight = 573;
    static constexpr int BrowserTop = 80;
    static constexpr int StartPauseMs = 4500;
    static constexpr int TimerIntervalMs = 60000;
    // Relative: it lies in the working folder of the moment.
    static inline const QString BannerFile = QStringLiteral("kalumain.jpg");

    explicit TForm1(QWidget *parent = nullptr);
    ~TForm1() override;

    platform::WebBrowser *WebBrowser1;
    QListWidget *ListBox2;
    platform::ListBox *ListBox1;
    QPushButton *Button6;
    QPushButton *BitBtn1;
    QPushButton *BitBtn2;
    QPushButton *BitBtn3;
    QPushButton *BitBtn4;
    QPushButton *BitBtn5;
    QPushButton *BitBtn6;
    QLabel *Image1;
    QTimer *Timer1;
    std::unique_ptr<platform::HttpClient> IdHTTP1;
    QPushButton *Button1;
    QLabel *Label1;

    void Button1Click();
    void Button6Click();
    void BitBtn1Click();
    void BitBtn2Click();
    void BitBtn3Click();
    void BitBtn4Click();
    void BitBtn6Click();
    void BitBtn5Click();
    void FormCreate();
    void FormResize();
    void Image1MouseDown();
    void Timer1Timer();

    const QString &CurrentChannel() const { return Channel; }

protected:
    void resizeEvent(QResizeEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;
    bool focusNextPrevChild(bool next) override;

private:
    void OpenGuide(const QString &weekPath);
    void Walk(void (platform::WebBrowser::*step)());

    QString Channel;
    QList<QWidget *> TabOrder;
};

extern TForm1 *Form1;

// Module state of the main window: 1 while the channel guide is shown, and the
// address the banner opens (bytes as downloaded).
extern int GuideShown;
extern QByteArray CmUrl;
