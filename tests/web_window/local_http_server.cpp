// SPDX-License-Identifier: GPL-3.0-or-later
#include "local_http_server.h"

#include <QHostAddress>
#include <QPointer>
#include <QTcpSocket>
#include <QTimer>

namespace svw::test {

LocalHttpServer::LocalHttpServer(QObject* parent) : QObject(parent)
{
    connect(&m_server, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket* socket = m_server.nextPendingConnection())
            serve(socket);
    });
}

bool LocalHttpServer::start()
{
    return m_server.listen(QHostAddress::LocalHost, 0);
}

void LocalHttpServer::addPage(const QString& path, const Page& page)
{
    m_pages.insert(path, page);
}

void LocalHttpServer::addTitledPage(const QString& path, const QString& title, int delayMs)
{
    const QString html = QStringLiteral("<!DOCTYPE html><html><head><title>%1</title></head>"
                                        "<body><p>%1</p></body></html>")
                             .arg(title.toHtmlEscaped());
    addPage(path, Page{html.toUtf8(), delayMs});
}

QUrl LocalHttpServer::url(const QString& path) const
{
    QUrl url;
    url.setScheme(QStringLiteral("http"));
    url.setHost(QStringLiteral("127.0.0.1"));
    url.setPort(m_server.serverPort());
    url.setPath(path);
    return url;
}

void LocalHttpServer::serve(QTcpSocket* socket)
{
    connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    connect(socket, &QTcpSocket::readyRead, socket, [this, socket] {
        // Only the request line matters; the rest of the head is read and dropped.
        if (!socket->canReadLine() || socket->property("answered").toBool())
            return;
        const QList<QByteArray> requestLine = socket->readLine().trimmed().split(' ');
        socket->readAll();
        socket->setProperty("answered", true);
        const QString path = requestLine.size() >= 2
                                 ? QUrl(QString::fromLatin1(requestLine.at(1))).path()
                                 : QString();
        m_requests[path] += 1;
        m_order.append(path);
        answer(socket, path);
    });
}

void LocalHttpServer::answer(QTcpSocket* socket, const QString& path)
{
    const auto page = m_pages.constFind(path);
    QByteArray head;
    QByteArray body;
    int delayMs = 0;
    if (page == m_pages.constEnd()) {
        body = "<html><head><title>Not Found</title></head><body>Not Found</body></html>";
        head = "HTTP/1.1 404 Not Found\r\nContent-Type: text/html\r\n";
    } else {
        body = page->body;
        delayMs = page->delayMs;
        head = "HTTP/1.1 200 OK\r\nContent-Type: " + page->contentType + "\r\n";
    }
    head += "Content-Length: " + QByteArray::number(body.size()) +
            "\r\nCache-Control: no-store\r\nConnection: close\r\n\r\n";
    QPointer<QTcpSocket> guard(socket);
    QTimer::singleShot(delayMs, this, [this, guard, head, body, path] {
        const bool open = guard && guard->state() == QAbstractSocket::ConnectedState;
        if (open) {
            guard->write(head + body);
            guard->disconnectFromHost();
        }
        emit answered(path, open);
    });
}

} // namespace svw::test
