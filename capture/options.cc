// What the command line asks of the system, checked before anything is
// opened; the usage text; the change of user after the device is open.
#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <cerrno>
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
