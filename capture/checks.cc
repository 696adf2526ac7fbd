// What the command line asks of the system, checked before anything is
// opened: the dump file target's rules (a stream or a file name, what a
// device takes), the options that need another, the -Z user, the -z
// command; and the change of user once the device is open.
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "meminfo.h"
#include "trawlcap.h"

namespace {

// Whether `command` can be run: a path, or a name found in PATH, as the
// exec that will run it looks for it.
bool runnable(const char *command)
{
    if (strchr(command, '/'))
        return access(command, X_OK) == 0;
    const char *path = getenv("PATH");
    char dir[kTextSize];
    for (const char *p = path ? path : "/usr/bin:/bin"; *p;) {
        size_t len = strcspn(p, ":");
        char full[2 * kTextSize];
        snprintf(dir, sizeof(dir), "%.*s", static_cast<int>(len), p);
        snprintf(full, sizeof(full), "%s/%s", len ? dir : ".", command);
        if (access(full, X_OK) == 0)
            return true;
        p += len + (p[len] == ':');
    }
    return false;
}

// Options that only make sense together, and targets rotation cannot name.
dump_parse_result check_combinations(dump_instance *instance)
{
    bool rotates = instance->rotate_size || instance->rotate_seconds;
    bool stream = strcmp(instance->dumpfile, "-") == 0 || dump_target_is_stream(instance->dumpfile);
    if (instance->file_count && !rotates)
        return dump_refuse(instance,
                           "keep a ring of -W %u files without -C or -G: nothing would "
                           "start a new file",
                           instance->file_count);
    if (instance->min_free && !rotates)
        return dump_refuse(instance, "keep --min-free without -C or -G: a run without rotation has "
                                     "no closed file to remove");
    if ((rotates || instance->post_command[0]) && stream)
        return dump_refuse(instance, "rotate or run -z on %s: it is a stream, not a file name",
                           instance->dumpfile);
    if (instance->index && stream)
        return dump_refuse(instance, "index %s: it is a stream, not a file name",
                           instance->dumpfile);
    return DUMP_PARSE_OK;
}

// --write-queue: every selected worker's queue may fill, so all of them
// must fit in the memory available now. (The default is not checked: its
// pages are used only as far as a writer falls behind.)
dump_parse_result check_write_queue(dump_instance *instance)
{
    if (!instance->write_queue)
        return DUMP_PARSE_OK;
    uint64_t workers = 0;
    for (uint32_t i = 0; i < instance->nr_threads; i++)
        workers += (instance->thread_mask >> (i % 64)) & 1;
    if (strcmp(instance->dumpfile, "-") == 0)
        workers = 1;
    uint64_t queue = instance->write_queue - instance->write_queue % kDumpBufferSize;
    uint64_t available = memory_available();
    if (workers == 0 || queue <= available / workers)
        return DUMP_PARSE_OK;
    return dump_refuse(instance,
                       "keep write queues of %llu MiB for %llu workers: more than the %llu MiB "
                       "of memory available",
                       static_cast<unsigned long long>(queue >> 20),
                       static_cast<unsigned long long>(workers),
                       static_cast<unsigned long long>(available >> 20));
}

} // namespace

dump_parse_result dump_check_options(dump_instance *instance)
{
    dump_parse_result r = check_combinations(instance);
    if (r == DUMP_PARSE_OK)
        r = check_write_queue(instance);
    if (r != DUMP_PARSE_OK)
        return r;
    if (instance->tstamp_type == DUMP_TSTAMP_ARRIVAL && !vexmo_buff_tstamp)
        return dump_refuse(instance, "take arrival time stamps: the packet I/O library in use has "
                                     "no vexmo_buff_tstamp; use -j write");
    if (instance->post_command[0] && !runnable(instance->post_command))
        return dump_refuse(instance, "find command %s to run on closed files",
                           instance->post_command);
    if (instance->run_as[0]) {
        errno = 0;
        struct passwd *pw = getpwnam(instance->run_as);
        if (!pw)
            return dump_refuse(instance, "change to user %s: %s", instance->run_as,
                               errno ? strerror(errno) : "no such user");
        instance->run_uid = pw->pw_uid;
        instance->run_gid = pw->pw_gid;
    }
    return DUMP_PARSE_OK;
}

int dump_drop_privileges(const dump_instance *instance)
{
    // As tcpdump's -Z: only a program started as root changes its user.
    if (!instance->run_as[0] || (getuid() != 0 && geteuid() != 0))
        return 0;
    // Leaving uid 0 (without keeping capabilities) drops every capability.
    if (setgroups(0, nullptr) != 0 || setgid(instance->run_gid) != 0 ||
        setuid(instance->run_uid) != 0)
        return cannot("change to user %s: %s", instance->run_as, strerror(errno));
    if (instance->run_uid != 0 && setuid(0) == 0)
        return cannot("change to user %s: root could be taken back", instance->run_as);
    return 0;
}

namespace {

// /dev/stdout, /dev/stderr, /dev/stdin, /dev/fd/N and /proc/self/fd/N stand
// for a descriptor the process already has: the number, or -1.
int descriptor_named(const char *name)
{
    static constexpr struct {
        const char *name;
        int fd;
    } kStdNames[] = {{"/dev/stdin", 0}, {"/dev/stdout", 1}, {"/dev/stderr", 2}};
    for (const auto &n : kStdNames)
        if (strcmp(name, n.name) == 0)
            return n.fd;
    for (const char *prefix : {"/dev/fd/", "/proc/self/fd/"}) {
        size_t len = strlen(prefix);
        int fd = 0;
        if (strncmp(name, prefix, len) != 0 || name[len] == '\0')
            continue;
        auto [end, ec] = std::from_chars(name + len, name + strlen(name), fd);
        if (ec == std::errc() && *end == '\0')
            return fd;
    }
    return -1;
}

// Linux memory devices 1:3, 1:5 and 1:7 (null, zero, full) keep nothing
// of what is written to them.
bool keeps_nothing(const struct stat &st)
{
    unsigned minor_number = minor(st.st_rdev);
    return S_ISCHR(st.st_mode) && major(st.st_rdev) == 1 &&
           (minor_number == 3 || minor_number == 5 || minor_number == 7);
}

// Whether the name's directory is /dev itself: a RAM-backed device
// directory where no dump file belongs (/dev/shm is another matter).
bool directly_under_dev(const char *name)
{
    const char *slash = strrchr(name, '/');
    return slash && slash - name == 4 && strncmp(name, "/dev/", 5) == 0;
}

} // namespace

int dump_target_fd(const char *dumpfile)
{
    return descriptor_named(dumpfile);
}

bool dump_target_is_stream(const char *dumpfile)
{
    struct stat st;
    if (descriptor_named(dumpfile) >= 0)
        return true;
    return stat(dumpfile, &st) == 0 && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode);
}

int dump_check_dumpfile(const dump_instance *instance)
{
    struct stat st;
    if (instance->dump_stream)
        return 0;
    if (!dump_target_is_stream(instance->dumpfile)) {
        if (directly_under_dev(instance->dumpfile))
            return cannot("create dump files in /dev: %s is not an existing device.",
                          instance->dumpfile);
        return 0;
    }
    if (stat(instance->dumpfile, &st) == 0 && keeps_nothing(st))
        return 0;
    uint32_t writers = 0;
    for (uint32_t i = 0; i < instance->nr_threads; i++)
        if (instance->thread_mask & (uint64_t{1} << (i % 64)))
            writers++;
    if (writers <= 1)
        return 0;
    return cannot("share character device %s among %u capture threads.", instance->dumpfile,
                  writers);
}
