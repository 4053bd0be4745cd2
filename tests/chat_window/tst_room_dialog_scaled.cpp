// SPDX-License-Identifier: GPL-3.0-or-later
// The room dialog on a screen scaled by two (QT_SCALE_FACTOR=2, set before
// the application starts): it fits on the screen, its buttons in reach and
// whole, and what does not fit scrolls.

#include "room_dialog.h"

#include <QApplication>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QTest>

using namespace svw;
using namespace Qt::StringLiterals;

class TestRoomDialogScaled : public QObject
{
    Q_OBJECT

private slots:
    void fitsTheScreen()
    {
        QCOMPARE(QGuiApplication::primaryScreen()->devicePixelRatio(), 2.0);
        const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
        RoomDialog dialog(nullptr, u"zoe"_s);
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        QVERIFY2(screen.contains(dialog.frameGeometry()),
                 qPrintable(u"%1x%2 on %3x%4"_s.arg(dialog.frameGeometry().width())
                                .arg(dialog.frameGeometry().height())
                                .arg(screen.width())
                                .arg(screen.height())));
        for (const char* name : {"enterRoom", "cancelRoom"}) {
            auto* button = dialog.findChild<QPushButton*>(QLatin1String(name));
            QVERIFY(button->isVisible());
            const QRect where(button->mapTo(&dialog, QPoint(0, 0)), button->size());
            QVERIFY2(dialog.rect().contains(where), name);
            QVERIFY2(button->width() >= button->minimumSizeHint().width(), name);
        }
        // The rest is reached by scrolling, up and down only: the text wraps.
        auto* scroll = dialog.findChild<QScrollArea*>(u"roomScroll"_s);
        QVERIFY(!scroll->horizontalScrollBar()->isVisible());
        QVERIFY(scroll->widget()->width() <= scroll->viewport()->width());
        QVERIFY(scroll->widget()->height() <= scroll->viewport()->height() ||
                scroll->verticalScrollBar()->isVisible());
    }
};

int main(int argc, char* argv[])
{
    qputenv("QT_SCALE_FACTOR", "2");
    QApplication app(argc, argv);
    TestRoomDialogScaled test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_room_dialog_scaled.moc"
