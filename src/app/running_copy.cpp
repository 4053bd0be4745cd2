// SPDX-License-Identifier: GPL-3.0-or-later
#include "running_copy.h"

#include "folder_lock.h"
#include "notice.h"

#include <QAbstractButton>
#include <QLocalServer>
#include <QLocalSocket>
#include <QMessageBox>
#include <QPushButton>

#include <cstdio>

#include <sys/socket.h>
#include <unistd.h>

namespace svw {

namespace {

const QByteArray kRequest = QByteArrayLiteral("come forward\n");
const QByteArray kAnswer = QByteArrayLiteral("came forward\n");

// The longest request or answer; more from a peer is not ours.
constexpr qsizetype kMaxMessage = 64;

bool peerIsThisUser(const QLocalSocket& socket)
{
    struct ucred credentials = {};
    socklen_t size = sizeof credentials;
    return ::getsockopt(int(socket.socketDescriptor()), SOL_SOCKET, SO_PEERCRED, &credentials,
                        &size) == 0 &&
           credentials.uid == ::geteuid();
}

} // namespace

RunningCopy::RunningCopy(QObject* parent) : QObject(parent) {}

QString RunningCopy::socketName(const FolderLock& lock)
{
    return QStringLiteral("svw-%1-folder-%2-%3")
        .arg(::geteuid())
        .arg(quint64(lock.device()))
        .arg(quint64(lock.inode()));
}

bool RunningCopy::answer(const FolderLock& lock, QString* error)
{
    delete m_server;
    m_server = new QLocalServer(this);
    m_server->setSocketOptions(QLocalServer::AbstractNamespaceOption);
    connect(m_server, &QLocalServer::newConnection, this, &RunningCopy::takeConnections);
    if (!m_server->listen(socketName(lock))) {
        *error = QStringLiteral("A copy started later in %1 cannot reach this one (%2); it will "
                                "say that this one runs instead of bringing its window forward.")
                     .arg(lock.folder(), m_server->errorString());
        return false;
    }
    return true;
}

void RunningCopy::bringForwardOnRequest(const FolderLock& lock, QWidget* window)
{
    QString error;
    if (!answer(lock, &error))
        std::fprintf(stderr, "svw: %s\n", qUtf8Printable(error));
    connect(this, &RunningCopy::comeForward, window, [window] {
        window->showNormal();
        window->raise();
        window->activateWindow();
        std::fprintf(stderr, "svw: a copy started in this folder brought this window forward.\n");
    });
}

void RunningCopy::takeConnections()
{
    while (QLocalSocket* socket = m_server->nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        if (!peerIsThisUser(*socket)) {
            socket->abort();
            socket->deleteLater();
            continue;
        }
        auto read = [this, socket] {
            if (!socket->canReadLine()) {
                if (socket->bytesAvailable() > kMaxMessage)
                    socket->abort();
                return;
            }
            if (socket->readLine(kMaxMessage) == kRequest) {
                emit comeForward();
                socket->write(kAnswer);
            }
            socket->disconnectFromServer();
        };
        connect(socket, &QLocalSocket::readyRead, this, read);
        read();
    }
}

bool RunningCopy::askToComeForward(const FolderLock& lock, int timeoutMs)
{
    QLocalSocket socket;
    socket.setSocketOptions(QLocalSocket::AbstractNamespaceOption);
    socket.connectToServer(socketName(lock));
    if (!socket.waitForConnected(timeoutMs) || !peerIsThisUser(socket))
        return false;
    socket.write(kRequest);
    if (!socket.waitForBytesWritten(timeoutMs))
        return false;
    while (!socket.canReadLine() && socket.bytesAvailable() <= kMaxMessage) {
        if (!socket.waitForReadyRead(timeoutMs))
            return false;
    }
    return socket.readLine(kMaxMessage) == kAnswer;
}

void tellAside(QWidget* window, const QString& text)
{
    QMessageBox* box = makeNotice(window, text);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setAttribute(Qt::WA_ShowWithoutActivating);
    box->setWindowFlag(Qt::WindowDoesNotAcceptFocus);
    box->setWindowModality(Qt::NonModal);
    box->show();
    // No default button that a key meant for the window could press.
    for (QAbstractButton* button : box->buttons()) {
        button->setFocusPolicy(Qt::NoFocus);
        if (auto* push = qobject_cast<QPushButton*>(button)) {
            push->setDefault(false);
            push->setAutoDefault(false);
        }
    }
}

} // namespace svw
