// SPDX-License-Identifier: GPL-3.0-or-later
// How the chat window looks and where typing goes on desktops other than the
// one it was made for: dark and high-contrast palettes, large fonts, and the
// first click into a window that came up without the keyboard.

#include "chat_window_test_support.h"
#include "link_colour.h"
#include "room_indicator.h"
#include "sealed_look.h"
#include "solvane.h"

#include <QComboBox>
#include <QLabel>
#include <QMenuBar>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QStyle>
#include <QStyleOptionButton>
#include <QStyleOptionFrame>
#include <QTest>

using namespace svw;
using svw::testing::FakeRoom;

namespace {

QPalette paletteOf(const QColor& window, const QColor& windowText, const QColor& base,
                   const QColor& text)
{
    QPalette colours(windowText, window, window.lighter(), window.darker(), window.darker(120),
                     text, Qt::white, base, window);
    return colours;
}

// The dark scheme qt6ct calls "darker", and pure black and white both ways.
QPalette darker()
{
    return paletteOf(QColor(0x22, 0x20, 0x20), Qt::white, QColor(0x3d, 0x3d, 0x3d), Qt::white);
}

// Pixels of `image` that are not its background, the colour of its corner.
int inkPixels(const QImage& image)
{
    const QRgb background = image.pixel(image.width() - 1, image.height() - 1);
    int ink = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            ink += image.pixel(x, y) != background ? 1 : 0;
    return ink;
}

QImage rendered(QWidget* widget)
{
    return widget->grab().toImage();
}

// The height a line edit leaves for its text: its contents less the margin
// it keeps above and below the text.
int textHeightIn(const QLineEdit* edit)
{
    QStyleOptionFrame option;
    option.initFrom(edit);
    option.rect = edit->rect();
    option.lineWidth = edit->hasFrame()
                           ? edit->style()->pixelMetric(QStyle::PM_DefaultFrameWidth, &option, edit)
                           : 0;
    const QRect contents =
        edit->style()->subElementRect(QStyle::SE_LineEditContents, &option, edit);
    const QMargins margins = edit->textMargins();
    return contents.height() - margins.top() - margins.bottom() - 2;
}

QRect buttonContents(const QPushButton* button)
{
    QStyleOptionButton option;
    option.initFrom(button);
    option.rect = button->rect();
    option.text = button->text();
    return button->style()->subElementRect(QStyle::SE_PushButtonContents, &option, button);
}

} // namespace

class WindowLook : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        m_room = new FakeRoom;
        m_window = new Solvane(m_room);
    }
    void cleanup()
    {
        delete m_window.data();
        QApplication::setFont(m_font);
    }

    void sealedColoursRead_data()
    {
        QTest::addColumn<QColor>("base");
        QTest::addColumn<QColor>("text");
        QTest::newRow("light grey") << QColor(0xfc, 0xfc, 0xfc) << QColor(0x23, 0x26, 0x29);
        QTest::newRow("soft light") << QColor(0xf7, 0xf7, 0xf2) << QColor(0x33, 0x33, 0x33);
        QTest::newRow("qt6ct darker") << QColor(0x3d, 0x3d, 0x3d) << QColor(Qt::white);
        QTest::newRow("dark") << QColor(0x2b, 0x2b, 0x2b) << QColor(0xee, 0xee, 0xee);
        QTest::newRow("high contrast black on white") << QColor(Qt::white) << QColor(Qt::black);
        QTest::newRow("high contrast white on black") << QColor(Qt::black) << QColor(Qt::white);
        QTest::newRow("yellow on black") << QColor(Qt::black) << QColor(Qt::yellow);
        QTest::newRow("grey text") << QColor(0x60, 0x60, 0x60) << QColor(0xa0, 0xa0, 0xa0);
    }

    void sealedColoursRead()
    {
        QFETCH(QColor, base);
        QFETCH(QColor, text);
        const SealedColours sealed = sealedColoursFor(base, text);
        QVERIFY2(contrastRatio(sealed.base, sealed.text) >= kReadableContrast,
                 qPrintable(sealed.base.name() + QLatin1Char('/') + sealed.text.name()));
        // A box that visibly changed, to green.
        QVERIFY2(sealed.base != base, qPrintable(sealed.base.name()));
        QVERIFY2(sealed.base.green() > sealed.base.red() &&
                     sealed.base.green() > sealed.base.blue(),
                 qPrintable(sealed.base.name()));
        // The user's own text colour stays wherever it can.
        if (contrastRatio(base, text) >= kReadableContrast)
            QCOMPARE(sealed.text, text);
    }

    void sealedBoxReadsOnTheWindowsPalette()
    {
        auto* seal = m_window->findChild<QAction*>(QStringLiteral("mnuSeal"));
        auto* said = m_window->findChild<QPlainTextEdit*>(QStringLiteral("txtSaid"));
        const auto contrast = [said] {
            return contrastRatio(said->palette().color(QPalette::Base),
                                 said->palette().color(QPalette::Text));
        };
        m_window->setPalette(darker());
        const QColor plain = said->palette().color(QPalette::Base);
        QCOMPARE(plain, QColor(0x3d, 0x3d, 0x3d));
        seal->trigger();
        QVERIFY(said->palette().color(QPalette::Base) != plain);
        QVERIFY2(contrast() >= kReadableContrast, qPrintable(QString::number(contrast())));

        // The desktop turning light while sealed: the box follows.
        m_window->setPalette(paletteOf(Qt::white, Qt::black, Qt::white, Qt::black));
        QCOMPARE(said->palette().color(QPalette::Text), QColor(Qt::black));
        QVERIFY(said->palette().color(QPalette::Base) != QColor(Qt::white));
        QVERIFY(contrast() >= kReadableContrast);

        // Off again: the window's own colours, and they follow the window.
        seal->trigger();
        QCOMPARE(said->palette().color(QPalette::Base), QColor(Qt::white));
        m_window->setPalette(darker());
        QCOMPARE(said->palette().color(QPalette::Base), QColor(0x3d, 0x3d, 0x3d));
        QCOMPARE(said->palette().color(QPalette::Text), QColor(Qt::white));
    }

    void sealingShowsWithoutColour()
    {
        m_window->setPalette(darker());
        auto* seal = m_window->findChild<QAction*>(QStringLiteral("mnuSeal"));
        auto* sign = m_window->findChild<RoomIndicator*>(QStringLiteral("roomIndicator"));
        QMenuBar* bar = m_window->menuBar();
        const QRect item = bar->actionGeometry(seal);
        QVERIFY(!item.isEmpty());
        const QImage barOpen = rendered(bar).copy(item);
        const int signOpen = inkPixels(rendered(sign));

        seal->trigger();
        QVERIFY(sign->sealed());
        // The item is framed, and the sign gains a lock in the text's colour.
        QVERIFY(rendered(bar).copy(item) != barOpen);
        QVERIFY(inkPixels(rendered(sign)) > signOpen);

        // Turned off by the user, both go.
        seal->trigger();
        QVERIFY(!sign->sealed());
        QCOMPARE(rendered(bar).copy(item), barOpen);
        QCOMPARE(inkPixels(rendered(sign)), signOpen);
    }

    void lockScalesWithTheSign()
    {
        RoomIndicator sign;
        sign.setRoomState(RoomState::Connected);
        const auto lockInk = [&sign](int height) {
            sign.resize(sign.sizeHint().width() * height / sign.sizeHint().height(), height);
            sign.setSealed(false);
            const int open = inkPixels(rendered(&sign));
            sign.setSealed(true);
            const QImage image = rendered(&sign);
            // The lock stands whole inside the sign: nothing at its right edge.
            for (int y = 0; y < image.height(); ++y)
                if (image.pixel(image.width() - 1, y) != image.pixel(image.width() - 1, 0))
                    return -1;
            return inkPixels(image) - open;
        };
        const int small = lockInk(16);
        const int large = lockInk(40);
        QVERIFY2(small > 10, qPrintable(QString::number(small)));
        QVERIFY2(large > small * 3, qPrintable(QStringLiteral("%1 %2").arg(small).arg(large)));
    }

    void largeFontsFit_data()
    {
        QTest::addColumn<qreal>("points");
        QTest::newRow("12 pt") << 12.0;
        QTest::newRow("14 pt") << 14.0;
    }

    void largeFontsFit()
    {
        QFETCH(qreal, points);
        delete m_window.data();
        QFont font = m_font;
        font.setPointSizeF(points);
        QApplication::setFont(font);
        m_room = new FakeRoom;
        m_window = new Solvane(m_room);
        QApplication::processEvents(); // the menu bar fits itself once laid out

        for (const char* name : {"txtSend", "pw"}) {
            auto* edit = m_window->findChild<QLineEdit*>(QLatin1String(name));
            QVERIFY2(edit->fontMetrics().height() <= textHeightIn(edit), name);
        }
        auto* prefix = m_window->findChild<QComboBox*>(QStringLiteral("cbPre"))->lineEdit();
        QVERIFY(prefix->fontMetrics().height() <= prefix->height());

        for (const char* name : {"cmdSend", "cmdClear"}) {
            auto* button = m_window->findChild<QPushButton*>(QLatin1String(name));
            QString caption = button->text();
            caption.remove(QLatin1Char('&'));
            const QRect contents = buttonContents(button);
            QVERIFY2(button->fontMetrics().height() <= contents.height(), name);
            QVERIFY2(button->fontMetrics().horizontalAdvance(caption) <= button->width() - 10,
                     name);
        }
        for (const char* name : {"Label1", "Label2", "Web"}) {
            auto* label = m_window->findChild<QLabel*>(QLatin1String(name));
            QVERIFY2(label->fontMetrics().height() <= label->contentsRect().height(), name);
        }

        // The controls keep their places, and the lowest of them, the link,
        // stays inside the window.
        auto* web = m_window->findChild<QLabel*>(QStringLiteral("Web"));
        QCOMPARE(web->geometry(), QRect(88, 248, 169, 17));
        const QRect inWindow(web->mapTo(m_window, QPoint(0, 0)), web->size());
        QVERIFY2(
            m_window->rect().contains(inWindow),
            qPrintable(QStringLiteral("%1 in %2").arg(inWindow.bottom()).arg(m_window->height())));
    }

    void firstClickPutsTheCaretInPassword()
    {
        auto* pw = m_window->findChild<QLineEdit*>(QStringLiteral("pw"));
        auto* said = m_window->findChild<QPlainTextEdit*>(QStringLiteral("txtSaid"));
        QVERIFY(!m_window->isActiveWindow());

        // The user clicks into the conversation to bring the window up.
        m_window->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(m_window));
        QTest::mouseClick(said->viewport(), Qt::LeftButton);
        QTRY_COMPARE(QApplication::focusWidget(), pw);

        // Later clicks go where they land.
        QTest::mouseClick(said->viewport(), Qt::LeftButton);
        QApplication::processEvents();
        QCOMPARE(QApplication::focusWidget(), said);
    }

    void firstClickIntoABoxStaysThere()
    {
        auto* send = m_window->findChild<QLineEdit*>(QStringLiteral("txtSend"));
        m_window->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(m_window));
        QTest::mouseClick(send, Qt::LeftButton);
        QApplication::processEvents();
        QCOMPARE(QApplication::focusWidget(), send);
    }

    void activatedFromTheKeyboard()
    {
        auto* pw = m_window->findChild<QLineEdit*>(QStringLiteral("pw"));
        m_window->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(m_window));
        QCOMPARE(QApplication::focusWidget(), pw);
        QTest::keyClicks(QApplication::focusWidget(), "abc");
        QCOMPARE(pw->text(), QStringLiteral("abc"));
    }

private:
    FakeRoom* m_room = nullptr;
    QPointer<Solvane> m_window;
    const QFont m_font = QApplication::font();
};

QTEST_MAIN(WindowLook)
#include "tst_window_look.moc"
