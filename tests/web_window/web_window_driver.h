// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "frm_browser.h"

#include <QAbstractItemView>
#include <QAction>
#include <QComboBox>
#include <QLineEdit>
#include <QTest>
#include <QTimer>
#include <QToolBar>

#include <memory>

// Works a web window as a user would: through its controls, found by name.
struct WebWindowDriver
{
    explicit WebWindowDriver(std::unique_ptr<svw::frmBrowser> w) : window(std::move(w)) {}

    QComboBox* addressBox() const { return window->findChild<QComboBox*>("cboAddress"); }
    QTimer* timer() const { return window->findChild<QTimer*>("timTimer"); }
    QToolBar* toolBar() const { return window->findChild<QToolBar*>("tbToolBar"); }
    QString caption() const { return window->windowTitle(); }

    QStringList history() const
    {
        QStringList entries;
        for (int i = 0; i < addressBox()->count(); ++i)
            entries << addressBox()->itemText(i);
        return entries;
    }

    QAction* button(const QString& key) const
    {
        for (QAction* action : toolBar()->actions()) {
            if (action->data().toString() == key)
                return action;
        }
        return nullptr;
    }

    void press(const QString& key) const
    {
        QTest::mouseClick(toolBar()->widgetForAction(button(key)), Qt::LeftButton);
    }

    // Types into the address box and presses Enter. Keys go where the focus
    // is: the box itself, which hands them to its text field.
    void typeAndEnter(const QString& text) const
    {
        addressBox()->setFocus();
        addressBox()->lineEdit()->selectAll();
        QTest::keyClicks(addressBox(), text);
        QTest::keyClick(addressBox(), Qt::Key_Return);
    }

    // Chooses entry `index` from the address box's drop-down list.
    void choose(int index) const
    {
        addressBox()->showPopup();
        QAbstractItemView* list = addressBox()->view();
        list->setCurrentIndex(list->model()->index(index, 0));
        QTest::keyClick(list, Qt::Key_Return);
    }

    std::unique_ptr<svw::frmBrowser> window;
};
