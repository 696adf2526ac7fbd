"""A network namespace of a test's own with veth pairs, for live capture: a
context manager (in setUpClass: enterClassContext) that raises
unittest.SkipTest where none can be made (not root, no namespaces, no veth)
and takes down what it made on the way out, also after a failure. lo is up
in it and IPv6 is off on every link it makes, so that the frames a test
sends are all there is to count.

Everything a test makes that others could see is its own by its process id:
the namespace's name, and (own_name, own_subnet) the names and addresses of
links with an end outside it, so that two runs of the suite at once do not
meet.
"""
import ipaddress
import os
import subprocess
import unittest

IPV6 = os.path.isdir("/proc/sys/net/ipv6")  # else there is none to turn off
SUBNETS = ipaddress.ip_network("10.213.0.0/16")  # cut into /30s, one per process id


def own_name(tag):
    """An interface name of this process's own: tag (up to 8 characters) and the pid."""
    name = "%s%d" % (tag, os.getpid())
    assert len(name) < 16, name  # IFNAMSIZ
    return name


def own_subnet():
    """The two host addresses of this process's own /30 in SUBNETS, as
    ("A/30", "B/30"): two processes share one only when their pids are
    16384 apart."""
    nets = SUBNETS.num_addresses // 4
    base = SUBNETS.network_address + 4 * (os.getpid() % nets)
    return tuple("%s/30" % (base + i) for i in (1, 2))


class Namespace:
    def __init__(self, prefix):
        self.name = "%s-%d" % (prefix, os.getpid())
        self._outside = []  # links that do not go with the namespace

    def cmd(self, *args):
        """args as a command line run inside the namespace."""
        return ["ip", "netns", "exec", self.name] + list(args)

    def run(self, *args, timeout=120):
        """args run inside to their end: a CompletedProcess with text output."""
        return subprocess.run(self.cmd(*args), capture_output=True, text=True, timeout=timeout)

    def setup(self, *args, outside=False):
        """args run inside (or outside) to set up: where that fails the test cannot run here."""
        res = subprocess.run(list(args) if outside else self.cmd(*args), capture_output=True, text=True)
        if res.returncode != 0:
            raise unittest.SkipTest("cannot set up a network namespace (%s): %s"
                                    % (" ".join(args), res.stderr.strip()))

    def __enter__(self):
        if os.geteuid() != 0:
            raise unittest.SkipTest("needs root for a network namespace and a veth pair")
        self.setup("ip", "netns", "add", self.name, outside=True)
        try:
            if IPV6:  # "all" sets the default too, so links made or moved in later have none
                self.setup("sysctl", "-qw", "net.ipv6.conf.all.disable_ipv6=1")
            self.setup("ip", "link", "set", "lo", "up")
        except BaseException:
            self.__exit__()
            raise
        return self

    def __exit__(self, *exc):
        for link in self._outside:
            subprocess.run(["ip", "link", "del", link], capture_output=True)
        subprocess.run(["ip", "netns", "del", self.name], capture_output=True)

    def veth(self, name, peer, outside=False, addrs=()):
        """A veth pair, both ends up: name inside, peer inside too or in this
        process's namespace; addrs gives name's and peer's addresses."""
        self.setup("ip", "link", "add", peer, "type", "veth", "peer", "name", name,
                   *(["netns", self.name] if outside else []), outside=outside)
        self._outside += [peer] if outside else []
        if outside and IPV6:
            self.setup("sysctl", "-qw", "net.ipv6.conf.%s.disable_ipv6=1" % peer, outside=True)
        for link, addr, out in zip((name, peer), tuple(addrs) or (None, None), (False, outside)):
            if addr:
                self.setup("ip", "addr", "add", addr, "dev", link, outside=out)
            self.setup("ip", "link", "set", link, "up", outside=out)
