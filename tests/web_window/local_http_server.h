// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QHash>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTcpServer>
#include <QUrl>

namespace svw::test {

// A small HTTP/1.1 server on 127.0.0.1 for the web-window tests, so that no test
// depends on the internet. It answers GET with the page registered for the path
// (exact, case-sensitive), optionally after a delay, and counts the requests.
class LocalHttpServer : public QObject
{
    Q_OBJECT
public:
    struct Page
    {
        QByteArray body;
        int delayMs = 0;
        QByteArray contentType = "text/html; charset=utf-8";
    };

    explicit LocalHttpServer(QObject* parent = nullptr);

    bool start();
    void addPage(const QString& path, const Page& page);
    // A page with a <title> and a line of text.
    void addTitledPage(const QString& path, const QString& title, int delayMs = 0);

    QUrl url(const QString& path) const;
    QString address(const QString& path) const { return url(path).toString(); }
    int requestCount(const QString& path) const { return m_requests.value(path); }
    QStringList requestedPaths() const { return m_order; }

signals:
    // The answer to a request for `path` was due: written when the client
    // still held the connection (`delivered`), else dropped.
    void answered(const QString& path, bool delivered);

private:
    void serve(class QTcpSocket* socket);
    void answer(QTcpSocket* socket, const QString& path);

    QTcpServer m_server;
    QHash<QString, Page> m_pages;
    QHash<QString, int> m_requests;
    QStringList m_order;
};

} // namespace svw::test
