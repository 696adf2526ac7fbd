// trawlcap-extract: the records of a set of savefiles (a capture's
// directory) that lie in a time range and that a filter expression
// selects, merged into one savefile in time order, read through each
// file's index where it has a valid one. Exit status: 0, 1 when a file was
// cut or damaged (the rest is still extracted) or the output failed, 2
// when the command line was refused (before anything was written).
#include <dirent.h>
#include <getopt.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "extract_input.h"

int cannot(const char *format, ...) __attribute__((format(printf, 1, 2)));

namespace {

constexpr int kRefused = 2;
constexpr size_t kMaxExpression = 8192;
constexpr size_t kOutputBuffer = size_t{1} << 20;

struct extract_run {
    const char **paths; // -r, in the order given
    size_t nr_paths;
    const char *output; // -w; null or "-": standard output
    int64_t from_ns;
    int64_t to_ns;
    bool build_index;
    char expression[kMaxExpression];
    input **inputs; // every savefile, in file-name order
    size_t nr_inputs;
    size_t cap_inputs;
    bool nano;
    uint32_t snaplen;
    int status;
    size_t passed_over; // files of a directory that are not savefiles
};

enum : int { kOptFrom = 256, kOptTo, kOptIndex, kOptVersion };
const struct option kLongOptions[] = {
    {"read", required_argument, nullptr, 'r'},      {"write", required_argument, nullptr, 'w'},
    {"from", required_argument, nullptr, kOptFrom}, {"to", required_argument, nullptr, kOptTo},
    {"index", no_argument, nullptr, kOptIndex},     {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, kOptVersion}, {nullptr, 0, nullptr, 0},
};

void print_usage()
{
    fputs("Usage: trawlcap-extract -r PATH [-r PATH]... [--from TIME] [--to TIME]\n"
          "                        [-w FILE] [expression]\n"
          "       trawlcap-extract --index -r PATH [-r PATH]...\n"
          "  -r PATH      a savefile (pcap, pcapng, .pcap.zst) or a directory of them\n"
          "  --from TIME  records stamped at TIME or later\n"
          "  --to TIME    records stamped before TIME\n"
          "               TIME: seconds since the epoch (a fraction allowed), or\n"
          "               ISO 8601 with a zone: 2026-12-08T14:03:00Z, ...+01:00\n"
          "  -w FILE      the savefile to write (default and -: standard output)\n"
          "  --index      build the missing or stale indexes of the files instead\n"
          "  expression   a filter in tcpdump's language\n"
          "See trawlcap-extract(1).\n",
          stdout);
}

// Digits of a fraction of a second as nanoseconds (at most nine).
bool parse_fraction(const char **s, int64_t *ns)
{
    *ns = 0;
    if (**s != '.')
        return true;
    int digits = 0;
    for ((*s)++; **s >= '0' && **s <= '9'; (*s)++, digits++) {
        if (digits >= 9)
            return false;
        *ns = *ns * 10 + (**s - '0');
    }
    for (int d = digits; d < 9; d++)
        *ns *= 10;
    return digits > 0;
}

// n digits at *s, within [lo, hi].
bool take(const char **s, int n, int lo, int hi, int *v)
{
    auto [end, ec] = std::from_chars(*s, *s + n, *v);
    if (ec != std::errc() || end != *s + n || *v < lo || *v > hi)
        return false;
    *s += n;
    return true;
}

// The zone after an ISO 8601 time: Z, +HH:MM, -HH:MM, +HHMM; seconds east.
bool parse_zone(const char *s, int64_t *east)
{
    int h = 0;
    int m = 0;
    if (strcmp(s, "Z") == 0) {
        *east = 0;
        return true;
    }
    if (*s != '+' && *s != '-')
        return false;
    int sign = *s++ == '-' ? -1 : 1;
    if (!take(&s, 2, 0, 23, &h))
        return false;
    if (*s == ':')
        s++;
    if (!take(&s, 2, 0, 59, &m) || *s)
        return false;
    *east = sign * (h * 3600 + m * 60);
    return true;
}

bool parse_iso(const char *s, int64_t *out)
{
    struct tm tm {};
    int v[6];
    if (!take(&s, 4, 1970, 9999, &v[0]) || *s++ != '-' || !take(&s, 2, 1, 12, &v[1]) ||
        *s++ != '-' || !take(&s, 2, 1, 31, &v[2]) || (*s != 'T' && *s != ' ') ||
        !take(&++s, 2, 0, 23, &v[3]) || *s++ != ':' || !take(&s, 2, 0, 59, &v[4]) || *s++ != ':' ||
        !take(&s, 2, 0, 60, &v[5]))
        return false;
    int64_t frac = 0;
    int64_t east = 0;
    if (!parse_fraction(&s, &frac) || !parse_zone(s, &east))
        return false;
    tm.tm_year = v[0] - 1900;
    tm.tm_mon = v[1] - 1;
    tm.tm_mday = v[2];
    tm.tm_hour = v[3];
    tm.tm_min = v[4];
    tm.tm_sec = v[5];
    int64_t sec = timegm(&tm);
    if (tm.tm_mday != v[2]) // 31 February
        return false;
    *out = (sec - east) * 1000000000LL + frac;
    return true;
}

// TIME: seconds since the epoch with a fraction, or ISO 8601 with a zone.
bool parse_time(const char *text, int64_t *ns)
{
    if (strchr(text, '-') && parse_iso(text, ns))
        return true;
    int64_t sec = 0;
    auto [end, ec] = std::from_chars(text, text + strlen(text), sec);
    if (ec != std::errc() || end == text || sec < 0 || sec > INT64_MAX / 1000000000LL - 1)
        return false;
    int64_t frac = 0;
    if (!parse_fraction(&end, &frac) || *end)
        return false;
    *ns = sec * 1000000000LL + frac;
    return true;
}

// -1 after the refusal's line (or -h, --version: 1).
int parse_args(extract_run *run, int argc, char **argv)
{
    int opt;
    run->paths = static_cast<const char **>(calloc(static_cast<size_t>(argc), sizeof(char *)));
    run->to_ns = INT64_MAX;
    while ((opt = getopt_long(argc, argv, "r:w:h", kLongOptions, nullptr)) != -1) {
        if (opt == 'r') {
            run->paths[run->nr_paths++] = optarg;
        } else if (opt == 'w') {
            run->output = optarg;
        } else if (opt == kOptFrom || opt == kOptTo) {
            if (!parse_time(optarg, opt == kOptFrom ? &run->from_ns : &run->to_ns))
                return cannot("take time '%s': give seconds since the epoch (1765202580.5) or "
                              "ISO 8601 with a zone (2026-12-08T14:03:00Z)",
                              optarg);
        } else if (opt == kOptIndex) {
            run->build_index = true;
        } else if (opt == 'h' || opt == kOptVersion) {
            opt == 'h' ? print_usage() : void(printf("trawlcap-extract %s\n", TRAWLKIT_VERSION));
            return 1;
        } else {
            return cannot("extract: see trawlcap-extract -h");
        }
    }
    if (run->nr_paths == 0)
        return cannot("extract: no -r PATH to read");
    size_t len = 0;
    for (int i = optind; i < argc; i++) {
        int n = snprintf(run->expression + len, sizeof run->expression - len, "%s%s",
                         len ? " " : "", argv[i]);
        if (n < 0 || static_cast<size_t>(n) >= sizeof run->expression - len)
            return cannot("take the expression: longer than %zu bytes", kMaxExpression - 1);
        len += static_cast<size_t>(n);
    }
    if (run->build_index && (len || run->output || run->from_ns || run->to_ns != INT64_MAX))
        return cannot("extract: --index builds indexes and takes only -r");
    return 0;
}

int add_input(extract_run *run, const char *path, bool in_directory)
{
    auto *in = static_cast<input *>(malloc(sizeof(input)));
    if (!in)
        return cannot("read %s: out of memory", path);
    int rc = input_open(in, path, in_directory);
    if (rc != 0) {
        input_close(in);
        free(in);
        if (rc < 0)
            run->status = 1; // cut or damaged from its start: said, the rest goes on
        run->passed_over += rc > 0;
        return 0;
    }
    if (run->nr_inputs == run->cap_inputs) {
        size_t cap = run->cap_inputs * 2 + 16;
        void *p = realloc(run->inputs, cap * sizeof(input *));
        if (!p)
            return cannot("read %s: out of memory", path);
        run->inputs = static_cast<input **>(p);
        run->cap_inputs = cap;
    }
    run->inputs[run->nr_inputs++] = in;
    return 0;
}

// Every savefile of a directory: hidden files and indexes are not looked at.
int add_directory(extract_run *run, const char *dir)
{
    DIR *d = opendir(dir);
    if (!d)
        return cannot("read directory %s: %s", dir, strerror(errno));
    int rc = 0;
    errno = 0;
    for (dirent *e = readdir(d); e && rc == 0; e = readdir(d)) {
        size_t len = strlen(e->d_name);
        if (e->d_name[0] == '.' || (len > 4 && strcmp(e->d_name + len - 4, kIndexSuffix) == 0))
            continue;
        char path[PATH_MAX];
        if (snprintf(path, sizeof path, "%s/%s", dir, e->d_name) >= static_cast<int>(sizeof path))
            continue;
        rc = add_input(run, path, true);
    }
    if (rc == 0 && errno)
        rc = cannot("read directory %s: %s", dir, strerror(errno));
    closedir(d);
    return rc;
}

bool by_name(const input *a, const input *b)
{
    return strcmp(a->path, b->path) < 0;
}

int collect_inputs(extract_run *run)
{
    for (size_t i = 0; i < run->nr_paths; i++) {
        struct stat st;
        if (stat(run->paths[i], &st) != 0)
            return cannot("read %s: %s", run->paths[i], strerror(errno));
        int rc = S_ISDIR(st.st_mode) ? add_directory(run, run->paths[i])
                                     : add_input(run, run->paths[i], false);
        if (rc != 0)
            return rc;
    }
    std::sort(run->inputs, run->inputs + run->nr_inputs, by_name);
    for (size_t i = 0; i < run->nr_inputs; i++) {
        input *in = run->inputs[i];
        in->order = static_cast<uint32_t>(i);
        run->nano |= (in->flags & INDEX_NANO) != 0;
        run->snaplen = std::max(run->snaplen, in->snaplen);
        if (in->linktype != run->inputs[0]->linktype)
            return cannot("extract from %s and %s together: their link types differ (%u, %u)",
                          run->inputs[0]->path, in->path, run->inputs[0]->linktype, in->linktype);
    }
    return 0;
}

// The filter as tcpdump compiles it for a savefile of this link type.
int compile(const extract_run *run, bpf_program *prog)
{
    uint32_t linktype = run->nr_inputs ? run->inputs[0]->linktype : DLT_EN10MB;
    int dlt = linktype == kLinktypeRaw ? DLT_RAW : static_cast<int>(linktype);
    pcap_t *p = pcap_open_dead_with_tstamp_precision(dlt, 262144, PCAP_TSTAMP_PRECISION_NANO);
    if (!p)
        return cannot("compile the expression: out of memory");
    int rc = 0;
    if (pcap_compile(p, prog, run->expression, 1, 0) != 0)
        rc = cannot("compile the expression '%s': %s", run->expression, pcap_geterr(p));
    pcap_close(p);
    return rc;
}

// --index: the missing and stale indexes, each built from its file.
int build_indexes(extract_run *run)
{
    unsigned built = 0;
    unsigned valid = 0;
    unsigned whole = 0;
    for (size_t i = 0; i < run->nr_inputs; i++) {
        input *in = run->inputs[i];
        index_view v;
        if (in->kind != INPUT_PCAPNG && index_open(in->path, in->fd, in->size, &v) == 1) {
            index_close(&v);
            valid++;
            continue;
        }
        int rc = input_build_index(in);
        built += rc == 1;
        whole += rc == 0;
        if (rc != 1 && in->kind != INPUT_PCAPNG)
            run->status = 1;
    }
    fprintf(stderr, "trawlcap-extract: %u indexes written, %u up to date, %u files without one\n",
            built, valid, whole);
    return 0;
}

// The merge's order: earliest stamp first, then file-name order. An input
// has one entry at a time, so that its own records keep their order.
bool later(const input *a, const input *b)
{
    return a->ns != b->ns ? a->ns > b->ns : a->order > b->order;
}

struct output {
    FILE *f;
    const char *name;
    bool nano;
    uint64_t records;
};

int write_header(output *o, const extract_run *run)
{
    uint32_t h[6] = {o->nano ? 0xa1b23c4du : 0xa1b2c3d4u, 0x00040002u, 0, 0, run->snaplen,
                     run->inputs[0]->linktype_field};
    if (fwrite(h, sizeof h, 1, o->f) != 1)
        return cannot("write %s: %s", o->name, strerror(errno));
    return 0;
}

// The head record of `in`, its stamp unchanged in the output's precision.
int write_record(output *o, const input *in)
{
    uint32_t h[4] = {static_cast<uint32_t>(in->ns / 1000000000),
                     static_cast<uint32_t>(in->ns % 1000000000 / (o->nano ? 1 : 1000)),
                     in->hdr.caplen, in->hdr.len};
    if (fwrite(h, sizeof h, 1, o->f) != 1 ||
        fwrite(in->data, 1, in->hdr.caplen, o->f) != in->hdr.caplen)
        return cannot("write %s: %s", o->name, strerror(errno));
    o->records++;
    return 0;
}

struct progress {
    bool shown;
    bool terminal;
    timespec start;
    timespec last;
};

double since(const timespec &a, const timespec &b)
{
    return static_cast<double>(b.tv_sec - a.tv_sec) + (b.tv_nsec - a.tv_nsec) / 1e9;
}

// On a terminal, once the extraction has taken a second: how far it is,
// four times a second at most.
void show_progress(progress *p, const extract_run *run, const output *o, size_t active)
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
    if (!p->terminal || since(p->start, now) < 1.0 || (p->shown && since(p->last, now) < 0.25))
        return;
    fprintf(stderr, "\r%zu of %zu files done, %llu records written ", run->nr_inputs - active,
            run->nr_inputs, static_cast<unsigned long long>(o->records));
    p->shown = true;
    p->last = now;
}

// The merge: a heap of the inputs by their head records. An input whose
// next block is pending is read only when its bound comes up.
int merge(extract_run *run, const input_query *q, output *o)
{
    auto heap = static_cast<input **>(calloc(run->nr_inputs + 1, sizeof(input *)));
    auto cmp = [](const input *a, const input *b) { return later(a, b); };
    size_t n = 0;
    for (size_t i = 0; i < run->nr_inputs; i++)
        if (input_next(run->inputs[i], q))
            heap[n++] = run->inputs[i];
    std::make_heap(heap, heap + n, cmp);
    progress p{false, isatty(2) != 0, {}, {}};
    clock_gettime(CLOCK_MONOTONIC_COARSE, &p.start);
    int rc = 0;
    for (uint64_t step = 0; n > 0 && rc == 0; step++) {
        std::pop_heap(heap, heap + n, cmp);
        input *in = heap[n - 1];
        if (!in->pending && write_record(o, in) != 0)
            rc = -1;
        if (input_next(in, q))
            std::push_heap(heap, heap + n, cmp);
        else
            n--;
        if ((step & 1023) == 0)
            show_progress(&p, run, o, n);
    }
    if (p.shown)
        fputs("\r\033[K", stderr);
    free(heap);
    return rc;
}

int open_output(output *o, const extract_run *run)
{
    o->nano = run->nano;
    o->name = run->output && strcmp(run->output, "-") != 0 ? run->output : "standard output";
    o->f = o->name == run->output ? fopen(run->output, "wbe") : stdout;
    if (!o->f)
        return cannot("write %s: %s", o->name, strerror(errno));
    setvbuf(o->f, nullptr, _IOFBF, kOutputBuffer);
    return write_header(o, run);
}

int extract(extract_run *run, bpf_program *prog, filter_terms *terms)
{
    input_query q{run->from_ns, run->to_ns, prog, terms};
    unsigned by_index = 0;
    for (size_t i = 0; i < run->nr_inputs; i++) {
        input_use_index(run->inputs[i], &q);
        by_index += run->inputs[i]->indexed;
    }
    output o{};
    if (open_output(&o, run) != 0 || merge(run, &q, &o) != 0)
        return 1;
    for (size_t i = 0; i < run->nr_inputs; i++)
        if (run->inputs[i]->failed)
            run->status = 1;
    if (fflush(o.f) != 0 || (o.f != stdout && fclose(o.f) != 0))
        return cannot("write %s: %s", o.name, strerror(errno)), 1;
    // Files that are not savefiles (a -z gzip's output, say) are not read:
    // said, so that an answer without them does not look whole.
    char other[64] = "";
    if (run->passed_over)
        snprintf(other, sizeof other, "; %zu other files passed over", run->passed_over);
    fprintf(stderr,
            "trawlcap-extract: %llu records written; %u files read by index, %zu scanned%s\n",
            static_cast<unsigned long long>(o.records), by_index, run->nr_inputs - by_index, other);
    return 0;
}

// -w must not name one of the files it would be read from.
int check_output(const extract_run *run)
{
    struct stat out;
    if (!run->output || strcmp(run->output, "-") == 0 || stat(run->output, &out) != 0)
        return 0;
    for (size_t i = 0; i < run->nr_inputs; i++) {
        struct stat st;
        if (fstat(run->inputs[i]->fd, &st) == 0 && st.st_dev == out.st_dev &&
            st.st_ino == out.st_ino)
            return cannot("write %s: it is one of the files to read", run->output);
    }
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    static extract_run run;
    // Every file of a directory is open at once (its index, or pcapng).
    struct rlimit files;
    if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        setrlimit(RLIMIT_NOFILE, &files);
    }
    int rc = parse_args(&run, argc, argv);
    if (rc != 0)
        return rc > 0 ? 0 : kRefused;
    if (collect_inputs(&run) != 0 || check_output(&run) != 0)
        return kRefused;
    if (run.nr_inputs == 0 && !run.build_index)
        return cannot("extract: no savefile among the paths given"), kRefused;
    if (run.build_index)
        return build_indexes(&run), run.status;
    bpf_program prog;
    static filter_terms terms;
    if (compile(&run, &prog) != 0)
        return kRefused;
    filter_terms_parse(run.expression, run.inputs[0]->linktype, &terms);
    int status = extract(&run, &prog, &terms);
    pcap_freecode(&prog);
    for (size_t i = 0; i < run.nr_inputs; i++)
        input_close(run.inputs[i]);
    return status ? status : run.status;
}
