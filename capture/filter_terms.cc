// What a filter expression needs of an index's keys (see extract.h).
//
// The expression is read as tcpdump's grammar reads it, as far as keys go:
// `and` and `or` of equal precedence, left to right; `not`; parentheses;
// primitives made of qualifiers (a protocol, src/dst, a type) and an id,
// where a bare id takes the qualifiers of the primitive before it
// ("port 80 or 443"). A primitive becomes a key only where the index's
// keys are a superset of what the compiled filter reads: host and port
// literals, protocols, VLAN ids. Anything else, and anything under `not`,
// may match. A keyword that moves the filter's offsets into a tunnel
// (mpls, pppoes, geneve, vxlan) makes the whole expression need nothing,
// since the keys are not taken inside tunnels; so does an expression this
// reading cannot follow to its end.
#include <arpa/inet.h>
#include <pcap/dlt.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstring>
#include <string_view>

#include "extract.h"
#include "index.h"

namespace {

enum token_kind : uint8_t {
    TOK_END,
    TOK_WORD,
    TOK_OTHER,
    TOK_AND,
    TOK_OR,
    TOK_NOT,
    TOK_LP,
    TOK_RP
};

struct token {
    token_kind kind;
    std::string_view text;
};

constexpr size_t kMaxTokens = 1024;

bool word_char(char c)
{
    // strchr finds the terminating zero too: the end of the text is no word.
    return c != '\0' && (isalnum(static_cast<unsigned char>(c)) || strchr("_.:/-", c) != nullptr);
}

token_kind word_kind(std::string_view w)
{
    if (w == "and")
        return TOK_AND;
    if (w == "or")
        return TOK_OR;
    if (w == "not")
        return TOK_NOT;
    return TOK_WORD;
}

// The tokens of s; false when there are too many.
bool tokenize(const char *s, token *out, size_t *n)
{
    size_t k = 0;
    for (size_t i = 0; s[i];) {
        if (k + 1 >= kMaxTokens)
            return false;
        if (isspace(static_cast<unsigned char>(s[i]))) {
            i++;
            continue;
        }
        size_t j = i + 1;
        token t{TOK_OTHER, {}};
        if (s[i] == '(' || s[i] == ')') {
            t.kind = s[i] == '(' ? TOK_LP : TOK_RP;
        } else if ((s[i] == '&' || s[i] == '|') && s[i + 1] == s[i]) {
            t.kind = s[i] == '&' ? TOK_AND : TOK_OR;
            j = i + 2;
        } else if (s[i] == '!' && s[i + 1] != '=') {
            t.kind = TOK_NOT;
        } else if (word_char(s[i])) {
            while (word_char(s[j]))
                j++;
            t.kind = word_kind(std::string_view(s + i, j - i));
        } else {
            while (s[j] && !isspace(static_cast<unsigned char>(s[j])) && !word_char(s[j]) &&
                   s[j] != '(' && s[j] != ')')
                j++;
        }
        t.text = std::string_view(s + i, j - i);
        out[k++] = t;
        i = j;
    }
    out[k] = token{TOK_END, {}};
    *n = k;
    return true;
}

enum qual_proto : uint8_t { P_NONE, P_IP, P_IP6, P_ARP, P_TCP, P_UDP, P_SCTP, P_OTHER };
enum qual_type : uint8_t { T_NONE, T_HOST, T_NET, T_PORT, T_PROTO, T_OTHER };

struct quals {
    qual_proto proto;
    qual_type type;
    bool dir;
    bool valid; // a qualified primitive came before: a bare id takes these
};

struct parser {
    const token *t;
    size_t pos;
    uint32_t linktype;
    filter_terms *q;
    quals last;
    bool failed; // cannot follow the expression: it needs nothing
};

uint16_t add_node(parser *p, filter_node_kind kind, uint64_t term, uint16_t l, uint16_t r)
{
    if (p->q->count >= kMaxFilterNodes) {
        p->failed = true;
        return 0;
    }
    p->q->nodes[p->q->count] = filter_node{kind, l, r, term};
    return p->q->count++;
}

uint16_t any(parser *p)
{
    return add_node(p, FILTER_ANY, 0, 0, 0);
}

uint16_t term(parser *p, index_term_type type, uint64_t value)
{
    return add_node(p, FILTER_TERM, index_term(type, value), 0, 0);
}

bool number(std::string_view w, uint64_t max, uint64_t *v)
{
    auto [end, ec] = std::from_chars(w.data(), w.data() + w.size(), *v);
    return ec == std::errc() && end == w.data() + w.size() && *v <= max;
}

// IP protocol names tcpdump knows without a lookup.
bool proto_number(std::string_view w, uint64_t *v)
{
    static constexpr struct {
        const char *name;
        uint8_t number;
    } kNames[] = {{"icmp", 1},  {"igmp", 2},  {"tcp", 6},    {"udp", 17},
                  {"gre", 47},  {"esp", 50},  {"ah", 51},    {"icmp6", 58},
                  {"ospf", 89}, {"pim", 103}, {"vrrp", 112}, {"sctp", 132}};
    for (const auto &n : kNames)
        if (w == n.name)
            return *v = n.number, true;
    return number(w, 255, v);
}

qual_proto proto_of(std::string_view w)
{
    static constexpr struct {
        const char *name;
        qual_proto proto;
    } kProtos[] = {{"ip", P_IP},      {"ip6", P_IP6},     {"arp", P_ARP},    {"rarp", P_ARP},
                   {"tcp", P_TCP},    {"udp", P_UDP},     {"sctp", P_SCTP},  {"ether", P_OTHER},
                   {"link", P_OTHER}, {"fddi", P_OTHER},  {"tr", P_OTHER},   {"wlan", P_OTHER},
                   {"icmp", P_OTHER}, {"icmp6", P_OTHER}, {"igmp", P_OTHER}, {"decnet", P_OTHER}};
    for (const auto &p : kProtos)
        if (w == p.name)
            return p.proto;
    return P_NONE;
}

qual_type type_of(std::string_view w)
{
    if (w == "host")
        return T_HOST;
    if (w == "net")
        return T_NET;
    if (w == "port")
        return T_PORT;
    if (w == "proto")
        return T_PROTO;
    if (w == "portrange" || w == "gateway" || w == "protochain")
        return T_OTHER;
    return T_NONE;
}

// A host's key from a literal address; ANY for a name or a mask.
uint16_t host_key(parser *p, qual_proto proto, std::string_view id, bool net)
{
    char text[64];
    size_t len = id.size();
    if (net) { // only a whole-length mask (checked below) is one host
        size_t slash = id.find('/');
        if (slash == std::string_view::npos)
            return any(p);
        len = slash;
    }
    if (len >= sizeof text)
        return any(p);
    memcpy(text, id.data(), len);
    text[len] = '\0';
    uint8_t addr[16];
    bool v4 = std::count(text, text + len, '.') == 3 && inet_pton(AF_INET, text, addr) == 1;
    if (v4 && (proto == P_NONE || proto == P_IP || proto == P_ARP) &&
        (!net || id.substr(len + 1) == "32"))
        return term(p, TERM_IPV4, uint64_t{addr[0]} << 24 | addr[1] << 16 | addr[2] << 8 | addr[3]);
    if (!v4 && inet_pton(AF_INET6, text, addr) == 1 && (proto == P_NONE || proto == P_IP6) &&
        (!net || id.substr(len + 1) == "128"))
        return add_node(p, FILTER_TERM, index_term_ipv6(addr), 0, 0);
    return any(p);
}

// A qualified primitive with its id.
uint16_t qualified(parser *p, const quals &qs, std::string_view id)
{
    uint64_t v = 0;
    switch (qs.type) {
    case T_HOST:
    case T_NET:
        return host_key(p, qs.proto, id, qs.type == T_NET);
    case T_PORT: {
        if (!number(id, 65535, &v) || qs.proto == P_ARP || qs.proto == P_OTHER)
            return any(p);
        uint16_t port = term(p, TERM_PORT, v);
        if (qs.proto != P_TCP && qs.proto != P_UDP && qs.proto != P_SCTP)
            return port;
        uint64_t ip = qs.proto == P_TCP ? 6 : qs.proto == P_UDP ? 17 : 132;
        return add_node(p, FILTER_AND, 0, term(p, TERM_PROTO, ip), port);
    }
    case T_PROTO:
        if ((qs.proto == P_NONE || qs.proto == P_IP || qs.proto == P_IP6) && proto_number(id, &v))
            return term(p, TERM_PROTO, v);
        return any(p);
    case T_NONE: // src/dst alone, or nothing: tcpdump takes a host
        return qs.proto == P_NONE ? host_key(p, P_NONE, id, false) : any(p);
    default:
        return any(p);
    }
}

// A protocol keyword alone.
uint16_t protocol(parser *p, std::string_view w)
{
    static constexpr struct {
        const char *name;
        index_term_type type;
        uint16_t value;
    } kAlone[] = {{"tcp", TERM_PROTO, 6},          {"udp", TERM_PROTO, 17},
                  {"sctp", TERM_PROTO, 132},       {"icmp", TERM_PROTO, 1},
                  {"igmp", TERM_PROTO, 2},         {"icmp6", TERM_PROTO, 58},
                  {"ip", TERM_ETHERTYPE, 0x0800},  {"ip6", TERM_ETHERTYPE, 0x86dd},
                  {"arp", TERM_ETHERTYPE, 0x0806}, {"rarp", TERM_ETHERTYPE, 0x8035}};
    for (const auto &a : kAlone)
        if (w == a.name)
            return term(p, a.type, a.value);
    return any(p);
}

// The words of one primitive, between connectives.
uint16_t primitive(parser *p, const token *w, size_t n)
{
    for (size_t i = 0; i < n; i++)
        if (w[i].kind == TOK_OTHER)
            return p->last.valid = false, any(p);
    std::string_view first = w[0].text;
    if (first == "mpls" || first == "pppoes" || first == "pppoed" || first == "geneve" ||
        first == "vxlan") {
        p->failed = true; // the keys are not taken inside these
        return 0;
    }
    if (first == "vlan") {
        uint64_t id = 0;
        p->last.valid = false;
        if (p->linktype != DLT_EN10MB || n > 2 || (n == 2 && !number(w[1].text, 4095, &id)))
            return any(p);
        return n == 1 ? term(p, TERM_VLAN_ANY, 0) : term(p, TERM_VLAN, id);
    }
    quals qs{P_NONE, T_NONE, false, true};
    size_t i = 0;
    if (i < n && proto_of(w[i].text) != P_NONE)
        qs.proto = proto_of(w[i++].text);
    if (i < n && (w[i].text == "src" || w[i].text == "dst" || w[i].text == "srcdst"))
        qs.dir = true, i++;
    if (i < n && type_of(w[i].text) != T_NONE)
        qs.type = type_of(w[i++].text);
    if (i == n && qs.type == T_NONE && !qs.dir && n == 1)
        return p->last.valid = false, protocol(p, first);
    if (i + 1 != n)
        return p->last.valid = false, any(p);
    if (i == 0) { // a bare id: the qualifiers of the primitive before
        if (p->last.valid)
            qs = p->last;
    } else {
        p->last = qs;
    }
    return qualified(p, qs, w[i].text);
}

uint16_t expression(parser *p);

uint16_t unary(parser *p)
{
    const token &t = p->t[p->pos];
    if (t.kind == TOK_NOT) {
        p->pos++;
        unary(p); // read for its qualifiers, which later ids take
        return any(p);
    }
    if (t.kind == TOK_LP) {
        p->pos++;
        uint16_t e = expression(p);
        if (p->t[p->pos].kind != TOK_RP)
            p->failed = true;
        else
            p->pos++;
        return e;
    }
    size_t start = p->pos;
    while (p->t[p->pos].kind == TOK_WORD || p->t[p->pos].kind == TOK_OTHER)
        p->pos++;
    if (p->pos == start) {
        p->failed = true;
        return 0;
    }
    return primitive(p, p->t + start, p->pos - start);
}

uint16_t expression(parser *p)
{
    uint16_t left = unary(p);
    while (!p->failed && (p->t[p->pos].kind == TOK_AND || p->t[p->pos].kind == TOK_OR)) {
        filter_node_kind kind = p->t[p->pos].kind == TOK_AND ? FILTER_AND : FILTER_OR;
        p->pos++;
        uint16_t right = unary(p);
        left = add_node(p, kind, 0, left, right);
    }
    return left;
}

// "src or dst", "src and dst": one direction, not a connective.
void join_directions(token *t, size_t n)
{
    for (size_t i = 0; i + 2 < n; i++) {
        bool dir0 = t[i].text == "src" || t[i].text == "dst";
        bool dir2 = t[i + 2].text == "src" || t[i + 2].text == "dst";
        if (t[i].kind == TOK_WORD && dir0 && dir2 && t[i + 2].kind == TOK_WORD &&
            (t[i + 1].kind == TOK_AND || t[i + 1].kind == TOK_OR)) {
            t[i].text = "srcdst";
            memmove(t + i + 1, t + i + 3, (n + 1 - (i + 3)) * sizeof(token));
            n -= 2;
        }
    }
}

bool eval(const filter_terms *q, uint16_t node, const uint64_t *bloom, uint32_t words)
{
    const filter_node &n = q->nodes[node];
    switch (n.kind) {
    case FILTER_TERM:
        return index_bloom_has(bloom, words, n.term);
    case FILTER_AND:
        return eval(q, n.left, bloom, words) && eval(q, n.right, bloom, words);
    case FILTER_OR:
        return eval(q, n.left, bloom, words) || eval(q, n.right, bloom, words);
    default:
        return true;
    }
}

} // namespace

void filter_terms_parse(const char *expr, uint32_t linktype, filter_terms *q)
{
    token tokens[kMaxTokens];
    size_t n = 0;
    q->count = 0;
    q->root = 0;
    parser p{tokens, 0, linktype, q, quals{}, false};
    if (!tokenize(expr, tokens, &n)) {
        p.failed = true;
    } else if (n > 0) {
        join_directions(tokens, n);
        q->root = expression(&p);
        if (tokens[p.pos].kind != TOK_END)
            p.failed = true;
    }
    if (n == 0 || p.failed) {
        q->count = 0;
        q->root = any(&p);
    }
}

bool filter_terms_may_match(const filter_terms *q, const uint64_t *bloom, uint32_t nr_words)
{
    return !bloom || nr_words == 0 || eval(q, q->root, bloom, nr_words);
}

bool filter_terms_trivial(const filter_terms *q)
{
    for (uint16_t i = 0; i < q->count; i++)
        if (q->nodes[i].kind == FILTER_TERM)
            return false;
    return true;
}
