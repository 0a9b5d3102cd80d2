#include "platform/WebBrowser.h"

#include <QResizeEvent>
#include <QUrl>
#include <QWebEngineHistory>
#include <QWebEnginePage>
#include <QWebEngineProfile>
#include <QWebEngineSettings>
#include <QWebEngineView>

#include "platform/Error.h"

namespace platform {

WebBrowser::WebBrowser(QWidget *parent)
    : QWidget(parent)
    // A profile without a storage name is off the record: cookies, cache and
    // history stay in memory and go with the program.
    , m_profile(new QWebEngineProfile(this))
    , m_view(new QWebEngineView(this))
{
    QWebEngineSettings *settings = m_profile->settings();
    settings->setAttribute(QWebEngineSettings::PluginsEnabled, true);
    settings->setAttribute(QWebEngineSettings::PdfViewerEnabled, true);
    m_view->setPage(new QWebEnginePage(m_profile, m_view));
    // Takes part in the tab order itself (the view does not), handing the
    // focus on to the engine.
    setFocusPolicy(Qt::StrongFocus);
    setFocusProxy(m_view);
}

WebBrowser::~WebBrowser()
{
    // The page must go before its profile.
    delete m_view;
    m_view = nullptr;
}

void WebBrowser::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    m_view->setGeometry(rect());
}

void WebBrowser::Navigate(const QString &address)
{
    // Texts downloaded from the net often end in CR LF; the engine would send
    // those as %0D%0A. An empty text would add an about:blank entry.
    const QString text = address.trimmed();
    if (text.isEmpty())
        return;
    const QUrl url(text, QUrl::StrictMode);
    if (!url.isValid())
        throw Error(QStringLiteral("アドレスが正しくありません: ") + text + QStringLiteral(" (")
                    + url.errorString() + u')');
    if (url.isRelative())
        throw Error(QStringLiteral("アドレスにスキームがありません: ") + text);
    m_view->load(url);
}

void WebBrowser::GoBack()
{
    QWebEngineHistory *history = m_view->history();
    if (!history->canGoBack())
        throw Error(QStringLiteral("履歴に前のページがありません"));
    history->back();
}

void WebBrowser::GoForward()
{
    QWebEngineHistory *history = m_view->history();
    if (!history->canGoForward())
        throw Error(QStringLiteral("履歴に次のページがありません"));
    history->forward();
}

} // namespace platform
