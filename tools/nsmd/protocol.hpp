// protocol.hpp - the stand-in name server's answers, bytes in, bytes out.
//
// Nothing here does I/O: a deciphered request or datagram goes in, the plain
// reply record (and for a name list, the names to stream) comes out.  The
// framing and enciphering of what goes back out is here too.
//
// Every refused or malformed request (a record shorter than its 16-byte
// header, a missing or out-of-range item, an unknown type, a name that is
// not registered) is answered with the header-only record of type
// NS_REFUSED.  Any type but NS_OK is a refusal to the client.
#ifndef TOOLS_NSMD_PROTOCOL_HPP
#define TOOLS_NSMD_PROTOCOL_HPP

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "rsockmap/rsockmap.h"
#include "registry.hpp"

namespace nsmd {

// The reply type of every refusal: the code right after NS_OK.
inline constexpr int NS_REFUSED = 33;
// The type of the name records of a name list stream (any type but
// NS_LISTEND is a name record to the client).
inline constexpr int kListEntryType = NS_NAMELIST;

enum class Role { Master, Backup };

using Bytes = std::vector<std::uint8_t>;

// A name list to stream back after the NS_OK reply.
struct ListJob {
    NsAddr to{};                     // where to connect (family set)
    std::vector<std::string> names;  // the matching names, in order
};

struct Outcome {
    Bytes reply;                  // the plain reply record
    std::optional<ListJob> list;  // NS_NAMELIST only
    std::string summary;          // one line for the verbose output
};

// Answers one deciphered TCP request.  nameItem: lookup replies carry the
// registered name as their name item.
Outcome handleRequest(Registry &registry, std::span<const std::uint8_t> plain, bool nameItem);

// The answer to one deciphered datagram, or nullopt when it gets none.  A
// master answers discovery and census with NS_MASTER, a backup only the
// census, with NS_BACKUP.  tcpAddr, when given, goes into the reply as its
// address item.
std::optional<Bytes> answerDatagram(std::span<const std::uint8_t> plain, Role role,
                                    const NsAddr *tcpAddr);

// The record's type name for log lines ("LOOKUP", "type 99").
std::string typeName(int type);

// Enciphers a plain record (as one datagram holds it).
Bytes encipher(std::span<const std::uint8_t> plain);
// Appends one TCP frame of a plain record of at most 231 bytes: the length
// byte, then the ciphertext.  extra is added to the length byte only (a frame
// that claims more bytes than follow); the length byte keeps its low 8 bits.
void appendFrame(Bytes &out, std::span<const std::uint8_t> plain, int extra = 0);

// A header-only record of the given type.
Bytes headerRecord(int type);

// Produces the frames of a name list stream (head, one record per name, end)
// a block at a time, so a long list never sits in memory enciphered.
class ListEncoder {
public:
    explicit ListEncoder(std::vector<std::string> names) : names_(std::move(names)) {}
    // Appends frames to out until it has grown by about maxBytes; false when
    // the end record has already been produced.
    bool next(Bytes &out, std::size_t maxBytes);

private:
    std::vector<std::string> names_;
    std::size_t index_ = 0;
    bool head_ = false, end_ = false;
};

}  // namespace nsmd

#endif
