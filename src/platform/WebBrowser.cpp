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
    // Guides are a few tens of KiB: a small cache still makes history walks
    // instant, and a viewer left open all day does not grow it further.
    m_profile->setHttpCacheType(QWebEngineProfile::MemoryHttpCache);
    m_profile->setHttpCacheMaximumSize(4 << 20);
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

namespace {

// Long garbage from the net stays readable in a report.
QString shown(const QString &text)
{
    constexpr qsizetype most = 200;
    return text.size() <= most ? text : text.left(most) + QStringLiteral("…");
}

// Texts downloaded from the net often end in CR LF; the engine would send
// those as %0D%0A. Null for an empty text, which would add an about:blank entry.
QUrl parse(const QString &address)
{
    const QString text = address.trimmed();
    if (text.isEmpty())
        return {};
    const QUrl url(text, QUrl::StrictMode);
    if (!url.isValid())
        throw Error(QStringLiteral("アドレスが正しくありません: ") + shown(text) + QStringLiteral(" (")
                    + url.errorString() + u')');
    if (url.isRelative())
        throw Error(QStringLiteral("アドレスにスキームがありません: ") + shown(text));
    return url;
}

} // namespace

void WebBrowser::Navigate(const QString &address)
{
    const QUrl url = parse(address);
    if (url.isEmpty())
        return;
    emit Navigating(url);
    m_view->load(url);
}

void WebBrowser::NavigateWeb(const QString &address)
{
    const QUrl url = parse(address);
    if (url.isEmpty())
        return;
    const QString scheme = url.scheme().toLower();
    if (scheme != u"http" && scheme != u"https")
        throw Error(QStringLiteral("http または https のアドレスではないので開きません: ")
                    + shown(address.trimmed()));
    emit Navigating(url);
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
