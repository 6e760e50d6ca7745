// protocol.hpp - the stand-in name server's answers, bytes in, bytes out.
//
// Nothing here does I/O: a deciphered request or datagram goes in, the plain
// reply record (and for a name list, the names to stream) comes out.  The
// framing and enciphering of what goes back out is here too.
//
// Every refused or malformed request (a record shorter than its 16-byte
// header, a missing or out-of-range item, an unknown type, a name that is
// not registered, a registry that is full) is answered with the header-only
// record of type NS_REFUSED.  Any type but NS_OK is a refusal to the client.
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

// A name list to stream back after the NS_OK reply.  The names are not
// copied: the stream walks the registry with a NameCursor as it goes.
struct ListJob {
    NsAddr to{};  // where to connect (family set)
    ListKind kind = ListKind::Services;
    std::string pattern;  // "" matches every name
};

struct Outcome {
    Bytes reply;                  // the plain reply record
    std::optional<ListJob> list;  // NS_NAMELIST only
    std::string request;          // the request's type and details
    std::string summary;          // one line for the verbose output
};

// Turns an outcome into a refusal for the reason why (no list then).
void refuse(Outcome &outcome, const std::string &why);

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
// a block at a time, so a long list never sits in memory enciphered, taking
// the names from a cursor as it goes, so they are never copied whole either.
class ListEncoder {
public:
    explicit ListEncoder(NameCursor names) : names_(std::move(names)) {}
    // Appends frames to out until it has grown by about maxBytes; false when
    // the end record has already been produced.
    bool next(Bytes &out, std::size_t maxBytes);

private:
    NameCursor names_;
    bool head_ = false, end_ = false;
};

}  // namespace nsmd

#endif
