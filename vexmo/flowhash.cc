// Symmetric flow hash used to spread replayed packets over receive streams.
//
// Each endpoint (address, and port where there is one) is hashed on its own
// and the two endpoint hashes are added, so swapping source and destination
// gives the same value and both directions of a conversation land in one
// stream. Up to two VLAN tags are skipped and not hashed, so tagged and
// untagged legs of one flow agree. Fragments are hashed by addresses only,
// since only the first fragment carries the ports. Frames that are neither
// IPv4 nor IPv6 (or too short to parse) are hashed by their Ethernet
// addresses, the same way.
#include <cstring>

#include "internal.h"

namespace {

constexpr uint16_t kEthertypeIpv4 = 0x0800;
constexpr uint16_t kEthertypeIpv6 = 0x86dd;
constexpr uint16_t kEthertypeVlan = 0x8100;
constexpr uint16_t kEthertypeQinq = 0x88a8;
constexpr uint16_t kEthertypeQinqOld = 0x9100;
constexpr uint32_t kEthHeaderLen = 14;
constexpr uint32_t kVlanTagLen = 4;
constexpr int kMaxVlanTags = 2;

constexpr uint8_t kProtoTcp = 6;
constexpr uint8_t kProtoUdp = 17;
constexpr uint8_t kProtoSctp = 132;

// 64-bit finaliser (murmur3): every input bit affects every output bit.
inline uint64_t mix64(uint64_t x)
{
    x ^= x >> 33;
    x *= 0xff51afd7ed558ccdULL;
    x ^= x >> 33;
    x *= 0xc4ceb9fe1a85ec53ULL;
    x ^= x >> 33;
    return x;
}

// Hash of one endpoint: its address bytes and its port (0 when none). The
// address length is a constant at every use, so the word loads are fixed
// moves rather than calls: this runs once per replayed packet.
template <uint32_t Len>
inline uint64_t endpoint_hash(const uint8_t *addr, uint16_t port)
{
    uint64_t h = 0x9e3779b97f4a7c15ULL ^ (static_cast<uint64_t>(Len) << 16) ^ port;
    for (uint32_t off = 0; off < Len; off += 8) {
        uint64_t w = 0;
        memcpy(&w, addr + off, Len - off < 8 ? Len - off : 8);
        h = mix64(h ^ w);
    }
    return mix64(h);
}

inline uint16_t be16(const uint8_t *p)
{
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}

bool has_ports(uint8_t proto)
{
    return proto == kProtoTcp || proto == kProtoUdp || proto == kProtoSctp;
}

template <uint32_t Len>
inline uint64_t combine(const uint8_t *a, const uint8_t *b, uint16_t pa, uint16_t pb, uint64_t kind)
{
    // Addition is commutative: the value does not depend on direction.
    return mix64(endpoint_hash<Len>(a, pa) + endpoint_hash<Len>(b, pb) + kind);
}

// IPv4 from l3 (len bytes available); false when it cannot be parsed.
bool ipv4_hash(const uint8_t *l3, uint32_t len, uint64_t *out)
{
    if (len < 20 || (l3[0] >> 4) != 4)
        return false;
    uint32_t ihl = (l3[0] & 0x0f) * 4u;
    if (ihl < 20 || ihl > len)
        return false;
    uint8_t proto = l3[9];
    bool fragment = (be16(l3 + 6) & 0x3fff) != 0; // MF set or an offset
    uint16_t ps = 0, pd = 0;
    if (!fragment && has_ports(proto) && len >= ihl + 4) {
        ps = be16(l3 + ihl);
        pd = be16(l3 + ihl + 2);
    }
    *out = combine<4>(l3 + 12, l3 + 16, ps, pd, (4u << 8) | (ps || pd ? proto : 0));
    return true;
}

bool ipv6_hash(const uint8_t *l3, uint32_t len, uint64_t *out)
{
    if (len < 40 || (l3[0] >> 4) != 6)
        return false;
    uint8_t next = l3[6];
    uint32_t off = 40;
    bool fragment = false;
    // Walk the extension headers that may stand before the transport header.
    for (int i = 0; i < 8 && !fragment; ++i) {
        if (next == 0 || next == 43 || next == 60) { // hop-by-hop, routing, destination
            if (len < off + 2)
                break;
            uint8_t nh = l3[off];
            off += (l3[off + 1] + 1u) * 8u;
            next = nh;
        } else if (next == 51) { // authentication header
            if (len < off + 2)
                break;
            uint8_t nh = l3[off];
            off += (l3[off + 1] + 2u) * 4u;
            next = nh;
        } else if (next == 44) {
            fragment = true;
        } else {
            break;
        }
    }
    uint16_t ps = 0, pd = 0;
    if (!fragment && has_ports(next) && len >= off + 4) {
        ps = be16(l3 + off);
        pd = be16(l3 + off + 2);
    }
    *out = combine<16>(l3 + 8, l3 + 24, ps, pd, (6u << 8) | (ps || pd ? next : 0));
    return true;
}

} // namespace

uint64_t flow_hash(const uint8_t *frame, uint32_t len)
{
    if (len < kEthHeaderLen)
        return 0;
    uint32_t off = 12;
    uint16_t type = be16(frame + off);
    for (int i = 0; i < kMaxVlanTags; ++i) {
        if (type != kEthertypeVlan && type != kEthertypeQinq && type != kEthertypeQinqOld)
            break;
        if (len < off + kVlanTagLen + 2)
            break;
        off += kVlanTagLen;
        type = be16(frame + off);
    }
    off += 2;
    uint64_t h = 0;
    if (type == kEthertypeIpv4 && ipv4_hash(frame + off, len - off, &h))
        return h;
    if (type == kEthertypeIpv6 && ipv6_hash(frame + off, len - off, &h))
        return h;
    return combine<6>(frame, frame + 6, 0, 0, type);
}
