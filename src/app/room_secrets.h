// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "room_factory.h"

#include <QString>

#include <optional>

namespace svw {

// Rooms' secrets in the desktop's keyring (the Secret Service, or KWallet),
// through QtKeychain, one entry a room address. Never a file of our own:
// without a keyring nothing is kept.
class RoomSecrets
{
public:
    // What the keyring holds for `address`; nothing when it holds nothing or
    // no keyring answers.
    std::optional<RoomCredentials> read(const QString& address);

    // Keeps `credentials` for `address`; false when no keyring takes them.
    bool write(const QString& address, const RoomCredentials& credentials);

    // Whether a keyring answers at all (asked once, then known).
    bool available();

private:
    std::optional<bool> m_available;
};

} // namespace svw
