#pragma once

#include <QLatin1String>

// The keys of the signed-in session in the settings file. Files written by earlier releases use
// the same names, so they never change.
namespace sessionkey {
inline constexpr QLatin1String kAccessToken("token");
inline constexpr QLatin1String kRefreshToken("refreshToken");
inline constexpr QLatin1String kTokenLifetime("tokenLifeTime"); // seconds, as the service gave it
inline constexpr QLatin1String kUserId("id");
inline constexpr QLatin1String kEmail("email");
} // namespace sessionkey
