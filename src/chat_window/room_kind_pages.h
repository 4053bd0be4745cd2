// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "irc_place.h"
#include "room_factory.h"

#include <QString>
#include <QWidget>

class QCheckBox;
class QComboBox;
class QLineEdit;
class QSpinBox;

namespace svw {

// One kind of room in the room dialog, as a page of its own: it reads and
// writes the addresses of its kind and holds what the user fills in. A new
// kind of room is a new page class and one line where the dialog lists its
// pages.
class RoomKindPage : public QWidget
{
    Q_OBJECT

public:
    using QWidget::QWidget;

    // The page's caption, with its & mnemonic.
    virtual QString title() const = 0;

    // Whether `address` is a room of this kind.
    virtual bool takes(const QString& address) const = 0;

    // Fills the page from an address of its kind; false, leaving the page
    // as it was, when the address cannot be read.
    virtual bool showAddress(const QString& address) = 0;

    // The address of the room as filled in, nick included, never a secret;
    // empty, with `error` a sentence for the user, while something needed
    // is missing or wrong.
    virtual QString address(QString* error) const = 0;

    // The line a friend uses to land in the same room: the address without
    // anything that is the user's own.
    virtual QString invitation() const = 0;

    // Whether an invitation can be copied: by default once the room could
    // be entered.
    virtual bool canInvite() const
    {
        QString error;
        return !address(&error).isEmpty();
    }

    // What the others must choose to meet the user, in words.
    virtual QString meetingText() const = 0;

    virtual RoomCredentials credentials() const { return {}; }
    virtual void showCredentials(const RoomCredentials& credentials) { Q_UNUSED(credentials); }

signals:
    // Something the user filled in changed.
    void changed();
};

// The room on this computer, with an optional name of its own.
class LocalRoomPage : public RoomKindPage
{
    Q_OBJECT

public:
    explicit LocalRoomPage(QWidget* parent = nullptr);

    QString title() const override { return QStringLiteral("This &computer"); }
    bool takes(const QString& address) const override;
    bool showAddress(const QString& address) override;
    QString address(QString* error) const override;
    QString invitation() const override;
    QString meetingText() const override;

private:
    QLineEdit* m_name;
};

// A channel on an IRC network: a well-known network from the list or a
// server of the user's choice, the channel and its key, the nick, and the
// server's and the account's passwords.
class IrcRoomPage : public RoomKindPage
{
    Q_OBJECT

public:
    explicit IrcRoomPage(const QString& defaultNick, QWidget* parent = nullptr);

    QString title() const override { return QStringLiteral("&IRC network"); }
    bool takes(const QString& address) const override;
    bool showAddress(const QString& address) override;
    QString address(QString* error) const override;
    QString invitation() const override;
    QString meetingText() const override;
    RoomCredentials credentials() const override;
    void showCredentials(const RoomCredentials& credentials) override;

private:
    IrcPlace place() const;
    QString channel() const;
    void networkChosen();

    QComboBox* m_network;
    QLineEdit* m_host;
    QSpinBox* m_port;
    QCheckBox* m_tls;
    QLineEdit* m_channel;
    QLineEdit* m_channelKey;
    QLineEdit* m_nick;
    QLineEdit* m_serverPassword;
    QLineEdit* m_saslAccount;
    QLineEdit* m_saslPassword;
    QLineEdit* m_clientCertificate;
};

// A group chat on XMPP: the room's address, the account to log in with and
// its password, the nick, and the server where the account's domain does
// not lead to it. The address holds the room alone; the rest is the user's
// own and goes with the credentials.
class XmppRoomPage : public RoomKindPage
{
    Q_OBJECT

public:
    explicit XmppRoomPage(QWidget* parent = nullptr);

    QString title() const override { return QStringLiteral("&XMPP group chat"); }
    bool takes(const QString& address) const override;
    bool showAddress(const QString& address) override;
    QString address(QString* error) const override;
    QString invitation() const override;
    // The room alone makes the invitation; the account is the user's own.
    bool canInvite() const override { return !invitation().isEmpty(); }
    QString meetingText() const override;
    RoomCredentials credentials() const override;
    void showCredentials(const RoomCredentials& credentials) override;

private:
    QLineEdit* m_room;
    QLineEdit* m_account;
    QLineEdit* m_password;
    QLineEdit* m_nick;
    QLineEdit* m_server;
};

} // namespace svw
