#pragma once

#include <QString>
#include <QWidget>

class QWebEngineProfile;
class QWebEngineView;

namespace platform {

// The embedded browser: HTML pages and PDF documents in its own area, with
// its own history. Nothing it loads is written to disk.
class WebBrowser : public QWidget
{
    Q_OBJECT

public:
    explicit WebBrowser(QWidget *parent = nullptr);
    ~WebBrowser() override;

    // Hands the address to the engine and returns at once. Surrounding white
    // space and line breaks are dropped; an empty address opens nothing. An
    // address the engine cannot take throws platform::Error saying why.
    void Navigate(const QString &address);
    // Navigate for addresses that came from the net: anything but an http or
    // https address (javascript:, file:, data: ...) throws and opens nothing.
    void NavigateWeb(const QString &address);
    // Throw platform::Error when the history has no entry to go to.
    void GoBack();
    void GoForward();

    QWebEngineView *View() const { return m_view; }

signals:
    // An address was handed to the engine.
    void Navigating(const QUrl &url);

protected:
    void resizeEvent(QResizeEvent *event) override;

private:
    QWebEngineProfile *m_profile;
    QWebEngineView *m_view;
};

} // namespace platform
