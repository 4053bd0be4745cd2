// SPDX-License-Identifier: GPL-3.0-or-later
#include "room_kind_pages.h"

#include "irc_address.h"
#include "irc_names.h"
#include "local_room.h"
#include "xmpp_address.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QSpinBox>
#include <QStyle>

namespace svw {

namespace {

const QString kLocal = QStringLiteral("local");
const QString kLocalPrefix = QStringLiteral("local:");

// A row of a form: the caption names its box for screen readers too, and
// its mnemonic reaches the box.
void addRow(QFormLayout* form, const QString& caption, QWidget* field, const char* name,
            const QString& description)
{
    field->setObjectName(QLatin1String(name));
    auto* label = new QLabel(caption);
    label->setBuddy(field);
    label->setObjectName(QLatin1String(name) + QStringLiteral("Label"));
    QString plain = caption;
    plain.remove(QLatin1Char('&'));
    if (plain.endsWith(QLatin1Char(':')))
        plain.chop(1);
    field->setAccessibleName(plain);
    field->setAccessibleDescription(description);
    form->addRow(label, field);
}

QLineEdit* secretBox()
{
    auto* box = new QLineEdit;
    box->setEchoMode(QLineEdit::Password);
    box->setAttribute(Qt::WA_InputMethodEnabled, false);
    return box;
}

QLabel* wrappedNote(const QString& text, const char* name)
{
    auto* note = new QLabel(text);
    note->setWordWrap(true);
    note->setObjectName(QLatin1String(name));
    return note;
}

} // namespace

LocalRoomPage::LocalRoomPage(QWidget* parent) : RoomKindPage(parent), m_name(new QLineEdit)
{
    auto* form = new QFormLayout(this);
    form->addRow(wrappedNote(QStringLiteral("A room on this computer only: every copy of SVW "
                                            "started here by you can be in it, nobody on "
                                            "another computer can."),
                             "localNote"));
    m_name->setPlaceholderText(QStringLiteral("the default room"));
    addRow(form, QStringLiteral("Room &name:"), m_name, "localName",
           QStringLiteral("Optional: a separate room on this computer, 1 to 64 letters, digits, "
                          "'-', '_' or '.'"));
    connect(m_name, &QLineEdit::textChanged, this, &RoomKindPage::changed);
}

bool LocalRoomPage::takes(const QString& address) const
{
    return address.isEmpty() || address == kLocal || address.startsWith(kLocalPrefix);
}

bool LocalRoomPage::showAddress(const QString& address)
{
    if (!takes(address))
        return false;
    m_name->setText(address.startsWith(kLocalPrefix) ? address.mid(kLocalPrefix.size())
                                                     : QString());
    return true;
}

QString LocalRoomPage::address(QString* error) const
{
    const QString name = m_name->text().trimmed();
    if (name.isEmpty() || name == LocalRoom::defaultName())
        return kLocal;
    if (!LocalRoom::isValidName(name)) {
        *error = QStringLiteral("A room's name is 1 to 64 letters, digits, '-', '_' or '.'.");
        return {};
    }
    return kLocalPrefix + name;
}

QString LocalRoomPage::invitation() const
{
    QString error;
    return address(&error);
}

QString LocalRoomPage::meetingText() const
{
    const QString name = m_name->text().trimmed();
    const QString room =
        name.isEmpty() ? QStringLiteral("with no name") : QStringLiteral("named \"%1\"").arg(name);
    return QStringLiteral("Only copies of SVW on this computer can meet you here: they choose "
                          "This computer, %1. Friends on other computers cannot.")
        .arg(room);
}

IrcRoomPage::IrcRoomPage(const QString& defaultNick, QWidget* parent)
    : RoomKindPage(parent), m_network(new QComboBox), m_host(new QLineEdit), m_port(new QSpinBox),
      m_tls(new QCheckBox(QStringLiteral("&TLS"))), m_channel(new QLineEdit),
      m_channelKey(new QLineEdit), m_nick(new QLineEdit), m_serverPassword(secretBox()),
      m_saslAccount(new QLineEdit), m_saslPassword(secretBox()), m_clientCertificate(new QLineEdit)
{
    auto* form = new QFormLayout(this);
    for (const IrcNetwork& network : knownIrcNetworks())
        m_network->addItem(network.name);
    m_network->addItem(QStringLiteral("Another server"));
    m_port->setRange(1, 65535);
    m_port->setValue(kIrcsDefaultPort);
    m_tls->setChecked(true);
    m_channel->setPlaceholderText(QStringLiteral("#channel"));
    m_channelKey->setPlaceholderText(QStringLiteral("none"));
    m_nick->setText(nickFromName(defaultNick));

    addRow(form, QStringLiteral("&Network:"), m_network, "ircNetwork",
           QStringLiteral("A well-known public network, or another server"));
    addRow(form, QStringLiteral("&Server:"), m_host, "ircHost",
           QStringLiteral("The server's host name or address"));
    addRow(form, QStringLiteral("&Port:"), m_port, "ircPort", QStringLiteral("The server's port"));
    m_tls->setObjectName(QStringLiteral("ircTls"));
    m_tls->setAccessibleDescription(QStringLiteral("Reach the server over TLS"));
    form->addRow(QString(), m_tls);
    addRow(form, QStringLiteral("C&hannel:"), m_channel, "ircChannel",
           QStringLiteral("The channel the group meets in, such as #friends"));
    addRow(form, QStringLiteral("Channe&l key:"), m_channelKey, "ircChannelKey",
           QStringLiteral("The channel's key, if it has one; friends need it too"));
    addRow(form, QStringLiteral("Nic&k:"), m_nick, "ircNick",
           QStringLiteral("The name you go by in the channel"));
    addRow(form, QStringLiteral("Server pass&word:"), m_serverPassword, "ircServerPassword",
           QStringLiteral("Only for servers and bouncers that ask for one"));
    addRow(form, QStringLiteral("&Account:"), m_saslAccount, "ircSaslAccount",
           QStringLiteral("Your registered account, to identify with SASL; optional"));
    addRow(form, QStringLiteral("Account passwor&d:"), m_saslPassword, "ircSaslPassword",
           QStringLiteral("The account's password"));
    // A certificate tied to the account identifies without a password (SASL
    // EXTERNAL); the path may be typed, or chosen from the box's button.
    m_clientCertificate->setPlaceholderText(
        QStringLiteral("none (a PEM file: certificate and key)"));
    QAction* choose = m_clientCertificate->addAction(style()->standardIcon(QStyle::SP_DirOpenIcon),
                                                     QLineEdit::TrailingPosition);
    choose->setToolTip(QStringLiteral("Choose the certificate file"));
    connect(choose, &QAction::triggered, this, [this] {
        const QString file = QFileDialog::getOpenFileName(
            this, QStringLiteral("Client certificate"), m_clientCertificate->text(),
            QStringLiteral("PEM files (*.pem *.crt *.key);;All files (*)"));
        if (!file.isEmpty())
            m_clientCertificate->setText(file);
    });
    addRow(form, QStringLiteral("Client certi&ficate:"), m_clientCertificate,
           "ircClientCertificate",
           QStringLiteral("A certificate and its key tied to your account, to identify without "
                          "a password over TLS; optional"));

    connect(m_network, &QComboBox::currentIndexChanged, this, &IrcRoomPage::networkChosen);
    for (QLineEdit* box : {m_host, m_channel, m_channelKey, m_nick})
        connect(box, &QLineEdit::textChanged, this, &RoomKindPage::changed);
    connect(m_port, &QSpinBox::valueChanged, this, &RoomKindPage::changed);
    connect(m_tls, &QCheckBox::toggled, this, [this](bool on) {
        // A port left at the other scheme's usual value follows the choice.
        if (m_port->value() == (on ? kIrcDefaultPort : kIrcsDefaultPort))
            m_port->setValue(on ? kIrcsDefaultPort : kIrcDefaultPort);
        emit changed();
    });
    networkChosen();
}

void IrcRoomPage::networkChosen()
{
    const QList<IrcNetwork>& networks = knownIrcNetworks();
    const qsizetype index = m_network->currentIndex();
    const bool known = index >= 0 && index < networks.size();
    if (known) {
        m_host->setText(networks[index].host);
        m_port->setValue(networks[index].port);
        m_tls->setChecked(true);
    }
    // A known network's server is shown but is the list's to change.
    for (QWidget* field : {static_cast<QWidget*>(m_host), static_cast<QWidget*>(m_port),
                           static_cast<QWidget*>(m_tls)})
        field->setEnabled(!known);
    emit changed();
}

bool IrcRoomPage::takes(const QString& address) const
{
    return isIrcRoomChoice(address);
}

bool IrcRoomPage::showAddress(const QString& address)
{
    QString error;
    const std::optional<IrcPlace> read = readIrcPlace(address, &error);
    if (!read)
        return false;
    const QList<IrcNetwork>& networks = knownIrcNetworks();
    qsizetype index = networks.size();
    for (qsizetype i = 0; i < networks.size(); ++i) {
        if (read->tls && networks[i].host.compare(read->host, Qt::CaseInsensitive) == 0 &&
            networks[i].port == read->port)
            index = i;
    }
    m_network->setCurrentIndex(int(index));
    if (index == networks.size()) {
        m_host->setText(read->host);
        m_tls->setChecked(read->tls);
        m_port->setValue(read->port);
    }
    m_channel->setText(read->channel);
    m_channelKey->setText(read->channelKey);
    if (!read->nick.isEmpty())
        m_nick->setText(read->nick);
    return true;
}

QString IrcRoomPage::channel() const
{
    // People say "the channel friends", and mean #friends.
    QString typed = m_channel->text().trimmed();
    if (typed.isEmpty() || typed.startsWith(QLatin1Char('#')) || typed.startsWith(QLatin1Char('&')))
        return typed;
    return QLatin1Char('#') + typed;
}

IrcPlace IrcRoomPage::place() const
{
    return IrcPlace{m_tls->isChecked(), m_host->text().trimmed(), quint16(m_port->value()),
                    channel(),          m_channelKey->text(),     m_nick->text().trimmed()};
}

QString IrcRoomPage::address(QString* error) const
{
    const IrcPlace chosen = place();
    if (chosen.host.isEmpty()) {
        *error = QStringLiteral("Name the server.");
        return {};
    }
    if (chosen.channel.isEmpty()) {
        *error = QStringLiteral("Name the channel the group meets in.");
        return {};
    }
    if (chosen.nick.isEmpty()) {
        *error = QStringLiteral("Choose a nick.");
        return {};
    }
    QString written = ircPlaceAddress(chosen);
    // What the room will be made from must read back as it was filled in.
    if (!readIrcPlace(written, error))
        return {};
    return written;
}

QString IrcRoomPage::invitation() const
{
    return ircPlaceAddress(place(), false);
}

QString IrcRoomPage::meetingText() const
{
    const qsizetype index = m_network->currentIndex();
    const QList<IrcNetwork>& networks = knownIrcNetworks();
    const QString name = index >= 0 && index < networks.size() ? networks[index].name : QString();
    return ircMeetingText(place(), name);
}

RoomCredentials IrcRoomPage::credentials() const
{
    RoomCredentials given;
    given.serverPassword = m_serverPassword->text();
    given.saslAccount = m_saslAccount->text().trimmed();
    given.saslPassword = m_saslPassword->text();
    given.clientCertificate = m_clientCertificate->text().trimmed();
    return given;
}

void IrcRoomPage::showCredentials(const RoomCredentials& credentials)
{
    m_serverPassword->setText(credentials.serverPassword);
    m_saslAccount->setText(credentials.saslAccount);
    m_saslPassword->setText(credentials.saslPassword);
    m_clientCertificate->setText(credentials.clientCertificate);
}

XmppRoomPage::XmppRoomPage(QWidget* parent)
    : RoomKindPage(parent), m_room(new QLineEdit), m_account(new QLineEdit),
      m_password(secretBox()), m_nick(new QLineEdit), m_server(new QLineEdit)
{
    auto* form = new QFormLayout(this);
    m_room->setPlaceholderText(QStringLiteral("room@conference.example.org"));
    m_account->setPlaceholderText(QStringLiteral("you@example.org"));
    m_nick->setPlaceholderText(QStringLiteral("the account's name, before the @"));
    m_server->setPlaceholderText(QStringLiteral("found from the account"));
    addRow(form, QStringLiteral("Roo&m:"), m_room, "xmppRoom",
           QStringLiteral("The group chat's address, such as friends@conference.example.org"));
    addRow(form, QStringLiteral("&Account:"), m_account, "xmppAccount",
           QStringLiteral("Your XMPP account, such as ann@example.org"));
    addRow(form, QStringLiteral("Account passwor&d:"), m_password, "xmppPassword",
           QStringLiteral("The account's password; asked for when left empty"));
    addRow(form, QStringLiteral("Nic&k:"), m_nick, "xmppNick",
           QStringLiteral("The name you go by in the room; optional"));
    addRow(form, QStringLiteral("&Server:"), m_server, "xmppServer",
           QStringLiteral("Optional: host or host:port, where the account's domain does not "
                          "lead to its server"));
    for (QLineEdit* box : {m_room, m_account, m_nick, m_server})
        connect(box, &QLineEdit::textChanged, this, &RoomKindPage::changed);
}

bool XmppRoomPage::takes(const QString& address) const
{
    return isXmppRoomChoice(address);
}

bool XmppRoomPage::showAddress(const QString& address)
{
    QString error;
    const QString room = xmppRoomFromChoice(address, &error);
    if (room.isEmpty())
        return false;
    m_room->setText(room);
    return true;
}

QString XmppRoomPage::address(QString* error) const
{
    const QString typed = m_room->text().trimmed();
    if (typed.isEmpty()) {
        *error = QStringLiteral("Name the room, as in friends@conference.example.org.");
        return {};
    }
    QString why;
    const QString room = readXmppRoomJid(typed, &why);
    if (room.isEmpty()) {
        *error = QStringLiteral("\"%1\" is no room's address: %2.").arg(typed, why);
        return {};
    }
    if (!isXmppAccountJid(m_account->text().trimmed())) {
        *error = QStringLiteral("Give the account to log in with, as in ann@example.org.");
        return {};
    }
    QString host;
    quint16 port = 0;
    if (const QString server = m_server->text().trimmed();
        !server.isEmpty() && !readXmppServer(server, &host, &port)) {
        *error = QStringLiteral("Give the server as host or host:port, or leave it empty.");
        return {};
    }
    return xmppRoomAddress(room);
}

QString XmppRoomPage::invitation() const
{
    QString why;
    const QString room = readXmppRoomJid(m_room->text().trimmed(), &why);
    return room.isEmpty() ? QString() : xmppRoomAddress(room);
}

QString XmppRoomPage::meetingText() const
{
    QString why;
    const QString room = readXmppRoomJid(m_room->text().trimmed(), &why);
    const QString where = room.isEmpty() ? QStringLiteral("the same XMPP group chat")
                                         : QStringLiteral("the XMPP group chat %1").arg(room);
    return QStringLiteral("To meet you, the others choose %1, each with an XMPP account and a "
                          "nick of their own.")
        .arg(where);
}

RoomCredentials XmppRoomPage::credentials() const
{
    RoomCredentials given;
    given.saslAccount = m_account->text().trimmed();
    given.saslPassword = m_password->text();
    given.nick = m_nick->text().trimmed();
    given.server = m_server->text().trimmed();
    return given;
}

void XmppRoomPage::showCredentials(const RoomCredentials& credentials)
{
    // A room entered before brings its account; one not known keeps what
    // the page holds, so a friend's invitation pasted after the account
    // was typed does not undo it.
    if (credentials.saslAccount.isEmpty())
        return;
    m_account->setText(credentials.saslAccount);
    m_password->setText(credentials.saslPassword);
    m_nick->setText(credentials.nick);
    m_server->setText(credentials.server);
}

} // namespace svw
