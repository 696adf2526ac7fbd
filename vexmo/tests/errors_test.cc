// Refusals: every bad device name or savefile gives a null device after
// exactly one line on standard error that begins "Cannot"; bad arguments
// elsewhere are harmless.
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>

#include <fstream>

#include "stream_client.h"
#include "trace_files.h"

namespace {

std::string tmp_path(const std::string &name)
{
    return testing::TempDir() + "vexmo_" + std::to_string(getpid()) + "_" + name;
}

void write_bytes(const std::string &path, const std::string &bytes)
{
    std::ofstream(path, std::ios::binary) << bytes;
}

// Opens dev on a fresh instance; expects a refusal with one "Cannot" line
// that mentions want.
void expect_refused(const std::string &dev, const std::string &want, uint32_t streams = 2)
{
    vexmo_instance_t *inst = vexmo_create();
    ASSERT_EQ(vexmo_init(inst, "vexmo_test"), 0);
    testing::internal::CaptureStderr();
    vexmo_device_t *d = vexmo_open_device(inst, dev.c_str(), streams, streams);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(d, nullptr) << dev;
    EXPECT_EQ(err.rfind("Cannot", 0), 0u) << dev << ": " << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    EXPECT_NE(err.find(want), std::string::npos) << "'" << want << "' not in: " << err;
    // A refused open leaves the instance usable for another device.
    vexmo_buff_t *bufs[4];
    EXPECT_EQ(vexmo_recv_all_burst(inst, 0, bufs, 4), 0);
}

TEST(Refuse, BadSavefiles)
{
    expect_refused("", "empty");
    expect_refused("file:", "empty");
    expect_refused("file:/nonexistent/vexmo.pcap", "No such file");
    expect_refused("file:" + testing::TempDir(), "directory");

    std::string trace = g_traces + "/afs.pcap";
    std::ifstream in(trace, std::ios::binary);
    std::string whole((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());

    std::string p = tmp_path("short_header.pcap");
    write_bytes(p, whole.substr(0, 10));
    expect_refused("file:" + p, p);
    unlink(p.c_str());

    p = tmp_path("bad_magic.pcap");
    write_bytes(p, std::string(24, '\x5a') + whole.substr(24));
    expect_refused("file:" + p, p);
    unlink(p.c_str());

    p = tmp_path("absurd_length.pcap");
    write_bytes(p, whole.substr(0, 32) + "\xff\xff\xff\x7f" + whole.substr(36));
    expect_refused("file:" + p, "absurd");
    unlink(p.c_str());

    p = write_trace("linux_sll.pcap", {std::string(20, '\0')}, DLT_LINUX_SLL);
    expect_refused("file:" + p, "not Ethernet");
    unlink(p.c_str());

    // Endless input: a device is refused, a pipe read up to a limit.
    expect_refused("file:/dev/zero", "a character device is not a savefile");
    int fds[2];
    ASSERT_TRUE(pipe(fds) == 0 && write(fds[1], whole.data(), 8192) == 8192 && close(fds[1]) == 0);
    replay_set_read_limit(4096);
    expect_refused("file:/dev/fd/" + std::to_string(fds[0]), "more than 4096 bytes, the limit");
    replay_set_read_limit(0);
    close(fds[0]);
}

// Root reads any file, so as root the open is tried in a child that has
// dropped to an unprivileged user; a live open there says what it lacks
// after the system's text.
TEST(Refuse, UnreadableSavefile)
{
    std::string p = tmp_path("unreadable.pcap");
    std::string lo = "Cannot open interface lo: socket: Operation not permitted (live capture "
                     "needs CAP_NET_RAW)\n";
    write_bytes(p, std::string(24, '\0'));
    chmod(p.c_str(), 0);
    if (geteuid() != 0) {
        expect_refused("file:" + p, "Permission denied");
        expect_refused("lo", lo);
        unlink(p.c_str());
        return;
    }
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        dup2(fds[1], 2);
        if (setgid(65534) != 0 || setuid(65534) != 0)
            _exit(3);
        vexmo_instance_t *inst = vexmo_create();
        if (vexmo_init(inst, "vexmo_test") < 0)
            _exit(4);
        bool refused = vexmo_open_device(inst, ("file:" + p).c_str(), 1, 1) == nullptr;
        _exit(refused && vexmo_open_device(inst, "lo", 1, 1) == nullptr ? 0 : 1);
    }
    close(fds[1]);
    std::string err;
    char buf[512];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof buf)) > 0)
        err.append(buf, static_cast<size_t>(n));
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    unlink(p.c_str());
    if (WIFEXITED(status) && WEXITSTATUS(status) == 3)
        GTEST_SKIP() << "cannot drop to an unprivileged user to make the file unreadable";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "opened an unreadable savefile";
    EXPECT_EQ(err.rfind("Cannot", 0), 0u) << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 2) << err;
    EXPECT_NE(err.find("Permission denied"), std::string::npos) << err;
    EXPECT_EQ(err.substr(err.find('\n') + 1), lo);
}

TEST(Refuse, BadNamesAndOptions)
{
    expect_refused("vxnosuch0", "No such device");
    expect_refused("an-interface-name-far-too-long", "too long");
    std::string trace = "file:" + g_traces + "/afs.pcap";
    expect_refused(trace + ",loop=0", "loop=0");
    expect_refused(trace + ",loop=", "loop=");
    expect_refused(trace + ",loop=4294967296", "loop=");
    expect_refused(trace + ",loop=3x", "loop=");
    // A known key makes an option whatever its value: never part of the path.
    expect_refused(trace + ",loop=2/3.pcap", "loop=2/3.pcap is not a count from 1 to 4294967295");
    expect_refused(trace + ",speed=2", "unknown option speed");
    expect_refused(trace + ",loop=2,loop=1", "loop given twice");
    expect_refused(trace + ",ring=4M", "ring applies to live interfaces only");
    expect_refused("lo,loop=2", "loop applies to savefiles only");
    expect_refused("lo,promisc=2", "promisc=2");
    expect_refused("lo,ring=0", "ring=0");
    expect_refused("lo,ring=64X", "ring=64X");
    expect_refused("lo,fanout=rr", "fanout=rr");
    expect_refused(",promisc=0", "interface name is empty");
    expect_refused("lo,ring=1048576G", "memory");
    // The largest accepted and the smallest refused: passes, streams, path.
    std::string longest = g_traces + std::string(4087 - g_traces.size(), '/') + "afs.pcap";
    EXPECT_NE(open_instance(trace + ",loop=4294967295", 1024)->device, nullptr);
    EXPECT_NE(open_instance("file:" + longest, 1)->device, nullptr);
    expect_refused(trace, "1025 receive streams, at most 1024", 1025);
    expect_refused("file:/" + longest, "savefile path too long");
}

TEST(DeviceName, Grammar)
{
    // Replayed: a comma with no key=value, and an unknown key with a dotted
    // value, belong to the path; loop=N replays its one packet N times.
    for (const char *name : {"a,b.pcap", "run,host=a.pcap"}) {
        std::string p = write_trace(name, {std::string(60, 'x')});
        EXPECT_EQ(drain_streams("file:" + p, 1)[0].size() +
                      drain_streams("file:" + p + ",loop=7", 1)[0].size(),
                  8u)
            << p;
        unlink(p.c_str());
    }
    device_choice choice;
    ASSERT_EQ(parse_device_name("eth0", &choice), 0);
    EXPECT_EQ(choice.source, vexmo_source::live);
    EXPECT_STREQ(choice.path, "eth0");
    EXPECT_TRUE(choice.live.promisc);
    EXPECT_EQ(choice.live.fanout, live_fanout::hash);
    ASSERT_EQ(parse_device_name("eth0,fanout=cpu,ring=64M,promisc=0", &choice), 0);
    EXPECT_STREQ(choice.path, "eth0");
    EXPECT_FALSE(choice.live.promisc);
    EXPECT_EQ(choice.live.ring, 64u << 20);
    EXPECT_EQ(choice.live.fanout, live_fanout::cpu);
    ASSERT_EQ(parse_device_name("File:x", &choice), 0);
    EXPECT_EQ(choice.source, vexmo_source::live); // the prefix is case-sensitive
}

// A SIGBUS sent with kill is no fault of a savefile's mapping: it goes to the
// default action (or a sanitizer's handler, which exits), not swallowed.
TEST(Api, ForeignSigbusPassedOn)
{
    pid_t pid = fork();
    if (pid == 0) {
        freopen("/dev/null", "w", stderr);
        open_instance("file:" + g_traces + "/afs.pcap", 1);
        kill(getpid(), SIGBUS);
        usleep(100000); // ThreadSanitizer delivers it in a call
        _exit(42);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFSIGNALED(status) ? WTERMSIG(status) == SIGBUS : WEXITSTATUS(status) != 42)
        << status;
}

TEST(Api, InitAndOpenRules)
{
    vexmo_instance_t *inst = vexmo_create();
    ASSERT_NE(inst, nullptr);
    EXPECT_LT(vexmo_init(nullptr, "x"), 0);
    EXPECT_LT(vexmo_init(inst, nullptr), 0);
    EXPECT_LT(vexmo_init(inst, ""), 0);
    EXPECT_LT(vexmo_init(inst, std::string(64, 'a').c_str()), 0);
    std::string trace = "file:" + g_traces + "/print-flags.pcap";

    testing::internal::CaptureStderr();
    EXPECT_EQ(vexmo_open_device(inst, trace.c_str(), 1, 1), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr().rfind("Cannot", 0), 0u) << "open before init";

    EXPECT_EQ(vexmo_init(inst, std::string(63, 'a').c_str()), 0);
    ASSERT_NE(vexmo_open_device(inst, trace.c_str(), 1, 1), nullptr);
    testing::internal::CaptureStderr();
    EXPECT_EQ(vexmo_open_device(inst, trace.c_str(), 1, 1), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr().rfind("Cannot", 0), 0u) << "second device";
}

// Bad arguments and handles are ignored, and ignoring them loses nothing: a
// burst given back with nulls and another instance's handle among its
// buffers frees every slot, so the ring of 1024 wraps in the passes after.
TEST(Api, HarmlessArguments)
{
    SigintCounter sig;
    const std::string trace = g_traces + "/print-flags.pcap";
    const std::vector<std::string> want = read_trace(trace);
    ASSERT_EQ(want.size(), 10u);
    vexmo_instance_t *inst = open_instance("file:" + trace + ",loop=103", 1);
    vexmo_buff_t *bufs[32];
    EXPECT_EQ(vexmo_recv_all_burst(nullptr, 0, bufs, 32), 0);
    EXPECT_EQ(vexmo_recv_all_burst(inst, 0, nullptr, 32), 0);
    EXPECT_EQ(vexmo_recv_all_burst(inst, 0, bufs, 0), 0);
    EXPECT_EQ(vexmo_recv_all_burst(inst, 1, bufs, 32), 0);
    EXPECT_EQ(vexmo_recv_all_burst(inst, UINT32_MAX, bufs, 32), 0);
    int n = vexmo_recv_all_burst(inst, 0, bufs, 10);
    ASSERT_EQ(n, 10);
    vexmo_instance_t *other = open_instance("file:" + trace, 1);
    vexmo_buff_t *foreign[1];
    ASSERT_EQ(vexmo_recv_all_burst(other, 0, foreign, 1), 1);
    vexmo_buff_t *mixed[12] = {nullptr, bufs[0], foreign[0], nullptr};
    vexmo_buff_free(inst, mixed, 4, -1, -1);
    vexmo_buff_free(inst, bufs + 1, static_cast<uint32_t>(n - 1), 7, 8);
    vexmo_buff_free(nullptr, bufs, 1, -1, -1);
    vexmo_buff_free(inst, nullptr, 3, -1, -1);
    EXPECT_EQ(vexmo_buff_mtod(nullptr), nullptr);
    EXPECT_EQ(vexmo_buff_datalen(nullptr), 0u);
    std::vector<std::string> rest = drain(inst, 0);
    ASSERT_EQ(rest.size(), 1020u);
    for (size_t i = 0; i < rest.size(); ++i)
        ASSERT_EQ(rest[i], want[i % want.size()]) << "packet " << i + 10;
    EXPECT_EQ(sig.settle(1), 1);
}

TEST(Api, ZeroStreamsOpens)
{
    // The capture program may ask for no workers at all.
    vexmo_instance_t *inst = open_instance("file:" + g_traces + "/print-flags.pcap", 0);
    vexmo_buff_t *bufs[4];
    EXPECT_EQ(vexmo_recv_all_burst(inst, 0, bufs, 4), 0);
}

} // namespace
