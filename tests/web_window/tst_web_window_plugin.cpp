// SPDX-License-Identifier: GPL-3.0-or-later
// The web window as the program gets it: the plugin, loaded on first use through the
// loader, showing a page from a server on 127.0.0.1 on the real web engine.

#include "local_http_server.h"
#include "web_window_loader.h"

#include <QApplication>
#include <QPointer>
#include <QTest>
#include <QWidget>

using svw::test::LocalHttpServer;

class TestWebWindowPlugin : public QObject
{
    Q_OBJECT

private slots:
    void opensWindowsThroughThePlugin();
};

namespace {

QList<QWidget*> webWindows()
{
    QList<QWidget*> windows;
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (widget->objectName() == QLatin1String("frmBrowser") && widget->isVisible())
            windows << widget;
    }
    return windows;
}

} // namespace

void TestWebWindowPlugin::opensWindowsThroughThePlugin()
{
    LocalHttpServer server;
    QVERIFY(server.start());
    server.addTitledPage("/page", "Served Page");
    server.addTitledPage("/home", "Home Page");

    QWidget chat;
    auto* marker = new QWidget(&chat);
    chat.show();
    marker->show();

    svw::WebWindowLoader loader(server.address("/home"), {QStringLiteral(SVW_PLUGIN_DIR)});
    loader.open(server.address("/page"), marker);
    loader.open(server.address("/page"), marker);
    const QList<QWidget*> windows = webWindows();
    QCOMPARE(windows.size(), 2);
    QVERIFY(windows.at(0)->findChild<QWidget*>("brwWebBrowser"));
    for (QWidget* window : windows)
        QTRY_COMPARE_WITH_TIMEOUT(window->windowTitle(), QStringLiteral("Served Page"), 20000);
    QCOMPARE(server.requestCount("/page"), 2);

    QPointer<QWidget> first = windows.at(0);
    first->close();
    QTRY_VERIFY(first.isNull());
    QVERIFY(!marker->isVisible());
    delete windows.at(1);
}

int main(int argc, char* argv[])
{
    // Nothing prepared for the engine: the loader does all it needs, as in the program.
    QApplication app(argc, argv);
    TestWebWindowPlugin test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_web_window_plugin.moc"
