// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QLatin1StringView>

namespace svw {

// The fixed page that the chat window's link opens. The link shows it without
// its leading "http://".
inline constexpr QLatin1StringView kWebPageAddress("http://example.com/");

} // namespace svw
