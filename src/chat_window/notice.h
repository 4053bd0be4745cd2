// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>

class QMessageBox;
class QWidget;

namespace svw {

// The application title, the caption of the program's message boxes.
inline const QString kAppTitle = QStringLiteral("SVW");

// A message box with a single OK button and no icon. The text is shown as
// plain text, whatever characters it holds.
QMessageBox* makeNotice(QWidget* parent, const QString& text, const QString& caption = kAppTitle);

// Shows the box modally and returns once the user has closed it.
void showNotice(QWidget* parent, const QString& text, const QString& caption = kAppTitle);

// Shows the box modal to its window and returns at once; the box deletes
// itself when closed.
void openNotice(QWidget* parent, const QString& text, const QString& caption = kAppTitle);

} // namespace svw
