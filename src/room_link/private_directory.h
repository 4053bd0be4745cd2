// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>

namespace svw {

// The directory that holds this user's local rooms: "svw" inside
// $XDG_RUNTIME_DIR when that is set and private to the user (when it is not
// set, /run/user/<uid>, where the system keeps it for the user's sessions), else
// svw-<uid> in the temporary directory ($TMPDIR or /tmp), else, when that
// name is taken by something that is not this user's private directory
// (anyone can create it first), ".cache/svw-rooms" in the user's home, which
// nobody else can create. Every copy a user starts goes through the same
// choices, so they meet in the same rooms. The temporary and home
// directories are created here when they are the choice.
//
// When no choice is usable, returns the first fallback; *problems (if given)
// then says for each what is wrong and what the user can remove or set.
QString defaultLocalRoomDirectory(QString* problems = nullptr);

// Makes `path` a directory that only this user can enter, or says why not.
// A missing directory is created with mode 0700 (its parent must exist). An
// existing one is used only when it is a real directory (not a symbolic link),
// owned by this user and closed to group and others; anything else is
// refused, since whoever can enter it could listen in on the room or take
// the room's place. Returns false with *error a sentence for the user.
bool preparePrivateDirectory(const QString& path, QString* error);

} // namespace svw
