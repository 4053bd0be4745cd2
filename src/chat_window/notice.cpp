// SPDX-License-Identifier: GPL-3.0-or-later
#include "notice.h"

#include <QMessageBox>
#include <QPointer>

namespace svw {

QMessageBox* makeNotice(QWidget* parent, const QString& text, const QString& caption)
{
    auto* box = new QMessageBox(QMessageBox::NoIcon, caption, text, QMessageBox::Ok, parent);
    box->setTextFormat(Qt::PlainText);
    return box;
}

void showNotice(QWidget* parent, const QString& text, const QString& caption)
{
    // The parent may go while the box is open (the program ending).
    QPointer<QMessageBox> box = makeNotice(parent, text, caption);
    box->exec();
    delete box.data();
}

void openNotice(QWidget* parent, const QString& text, const QString& caption)
{
    QMessageBox* box = makeNotice(parent, text, caption);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open();
}

} // namespace svw
