#pragma once

#include <QPoint>
#include <QSize>
#include <QWidget>

#include <memory>

class QFrame;
class QLabel;
class QPlainTextEdit;

namespace platform {
class HttpClient;
} // namespace platform

// The start-up message window: the stage picture, the title, the credit and
// the message fetched from the author's site while the window is created.
class TForm2 : public QWidget
{
    Q_OBJECT

public:
    static constexpr int ClientWidth = 643;
    static constexpr int ClientHeight = 318;
    // The most text the memo holds: 64 KiB of CP932 bytes, each line break
    // counted as the two bytes CR LF. More is refused with an error.
    static constexpr qsizetype MemoLimit = 64 * 1024;

    explicit TForm2(QWidget *parent = nullptr);
    ~TForm2() override;

    QFrame *Panel1;
    QLabel *Image2;
    QPlainTextEdit *Memo1;
    QLabel *Label1;
    QLabel *Label2;
    std::unique_ptr<platform::HttpClient> IdHTTP1;

    void FormCreate();

private:
    void SetMemoLines(const QStringList &lines);
};

extern TForm2 *Form2;

// Where the window's top-left corner goes on its first showing: centred on a
// desktop of this size, halves rounded towards zero, never negative.
QPoint StartupWindowPosition(QSize desktop);
// The area of all screens together.
QSize DesktopSize();

// The load-time step of Unit2: creates the first window (its creation fetches
// the message), stores it in Form2, shows it centred on the desktop and paints
// it at once, before any event loop runs. Returns the window, which nothing
// owns; it stays open until the program ends.
TForm2 *ShowStartupWindow();
