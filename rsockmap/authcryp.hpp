// authcryp: the two key tables of the record cipher.
//
// K0 masks the 24-byte salt; K1 is mixed with the salt into the 128-byte
// message key.  Both must equal the tables of the name servers a deployment
// talks to; the build generates them from rsockmap/authcryp.keys (or the file
// named by the NS_KEY_FILE option).
#ifndef RSOCKMAP_AUTHCRYP_HPP
#define RSOCKMAP_AUTHCRYP_HPP

#include <array>
#include <cstdint>

namespace authcryp {
extern const std::array<std::uint8_t, 24> K0;
extern const std::array<std::uint8_t, 128> K1;
}  // namespace authcryp

#endif
