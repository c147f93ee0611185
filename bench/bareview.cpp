// The smallest Qt WebEngine application that shows a page: a QApplication and
// one QWebEngineView, nothing else. bench/run compares brindleton with it.
//
// The page's address comes from BRINDLETON_CONSOLE_URL. The view uses an
// off-the-record profile, or a named profile kept on disk with a disk cache
// (as the console's is) when BAREVIEW_PROFILE=named.

#include <QApplication>
#include <QUrl>
#include <QWebEnginePage>
#include <QWebEngineProfile>
#include <QWebEngineView>

int main(int argc, char **argv)
{
    QCoreApplication::setApplicationName(QStringLiteral("bareview"));
    QApplication app(argc, argv);

    const bool named = qEnvironmentVariable("BAREVIEW_PROFILE") == u"named";
    auto *profile = named ? new QWebEngineProfile(QStringLiteral("bareview"), &app)
                          : new QWebEngineProfile(&app);
    if (named)
        profile->setHttpCacheType(QWebEngineProfile::DiskHttpCache);

    {
        QWebEngineView view;
        view.setPage(new QWebEnginePage(profile, &view));
        view.resize(555, 400);
        view.show();
        view.setUrl(QUrl(qEnvironmentVariable("BRINDLETON_CONSOLE_URL")));
        const int status = app.exec();
        // The view and its page go here, before the profile.
        return status;
    }
}
