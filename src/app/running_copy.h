// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QObject>
#include <QString>

class QLocalServer;
class QWidget;

namespace svw {

class FolderLock;

// The copy running in a folder, as a later start in the same folder meets
// it. Started from the desktop's menu twice, the user wants the window they
// already have, not a message about folders: the later copy asks the running
// one to bring its window forward and ends.
//
// They talk over a socket in the abstract namespace, named after the user and
// the folder's device and inode: it needs no directory (so it is found
// whatever the two copies' environments say), and it goes with the process
// that holds it. Anyone may connect to such a socket or take its name first,
// so each side checks that the other runs as this user.
class RunningCopy : public QObject
{
    Q_OBJECT

public:
    explicit RunningCopy(QObject* parent = nullptr);

    // The socket's name for the folder `lock` claimed.
    static QString socketName(const FolderLock& lock);

    // In the copy that holds the folder: answers later copies from now on.
    // False, with *error set, when the name cannot be taken.
    bool answer(const FolderLock& lock, QString* error);

    // In the copy that holds the folder: a later copy started there brings
    // `window` forward from now on. Trouble goes to standard error: without
    // the socket, a later copy only says that this one runs.
    void bringForwardOnRequest(const FolderLock& lock, QWidget* window);

    // In a later copy: asks the running copy to bring its window forward and
    // waits for its answer (at most `timeoutMs`). False when no copy of this
    // user answered: it may be frozen, or gone meanwhile.
    static bool askToComeForward(const FolderLock& lock, int timeoutMs = 3000);

signals:
    // A later copy in this folder wants the window brought forward.
    void comeForward();

private:
    void takeConnections();

    QLocalServer* m_server = nullptr;
};

// Shows `text` in a box beside `window` that takes no keyboard focus and
// holds up nothing, for trouble the user did not cause by typing.
void tellAside(QWidget* window, const QString& text);

} // namespace svw
