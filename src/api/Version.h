#pragma once

namespace ktremote {

// The library's version text, as ktconGetVersion reports it.
inline constexpr char versionText[] = "1.1.3.26";

} // namespace ktremote
