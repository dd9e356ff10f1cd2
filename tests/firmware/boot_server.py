"""A line's boot server for the real-firmware network tests: Debian's nginx
or Debian's lighttpd, run by the test itself (no system service), with its
configuration, logs and served folder under one prefix in the build folder.
It serves the program by HTTP and stores the records the program PUTs under
`pellory-results/` (WebDAV PUT), or (nginx) refuses them with 403.

    with boot_server.BootServer(prefix, "line3") as server:    # or Lighttpd(...)
        server.place("pellory.efi", program_bytes)
        Machine(nic=Nic(guestfwd=(server.guestfwd("10.0.2.100"),))).boot()
        server.results()         # {name: bytes} of what arrived
        server.access_log()      # the server's lines

It listens on a loopback port the kernel chose; QEMU reaches it through a
guestfwd that runs socat once per guest connection, so no port is open to
anything but this machine's own processes. In a network namespace of the
test's own it may listen on the boot server's address instead.

lighttpd is set up as README.md's "A factory line" says, with the block
README gives, read from it: mod_webdav for the results folder, which it
does not make, so the folder is made first, owned by the user the server
runs as (www-data, as Debian's lighttpd runs, when the test runs as root).
"""
import os
import pwd
import re
import shutil
import socket
import subprocess
import time
from pathlib import Path

NGINX = "/usr/sbin/nginx"
LIGHTTPD = "/usr/sbin/lighttpd"
README = Path(__file__).resolve().parents[2] / "README.md"
RESULTS = "pellory-results"
START_LIMIT_SECONDS = 10.0

# One process (no master, no workers that switch user): it runs as whoever
# runs the test and writes only under the prefix.
_CONFIG = """daemon off;
master_process off;
worker_processes 1;
pid {prefix}/nginx.pid;
error_log {prefix}/error.log info;
events {{ worker_connections 16; }}
http {{
    log_format line '$remote_addr:$remote_port #$connection "$request" $status '
                    '$request_length $body_bytes_sent "$content_type" $content_length';
    access_log {prefix}/access.log line;
    client_body_temp_path {prefix}/tmp/body;
    proxy_temp_path {prefix}/tmp/proxy;
    fastcgi_temp_path {prefix}/tmp/fastcgi;
    uwsgi_temp_path {prefix}/tmp/uwsgi;
    scgi_temp_path {prefix}/tmp/scgi;
    default_type application/octet-stream;
    server {{
        listen {listen};
        root {prefix}/www;
        location {results} {{
{results_rules}
        }}
    }}
}}
"""
_STORE = """            dav_methods PUT;
            create_full_put_path on;
            dav_access user:rw;
            client_max_body_size 4k;"""
_REFUSE = """            return 403;"""


def free_port():
    """A loopback port nothing listens on now (the kernel's choice)."""
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class BootServer:
    def __init__(self, prefix, folder="", refuse=False, address="127.0.0.1", port=None):
        """`folder`: the path under the server's root that holds the program
        ("" for the root); `refuse`: answer 403 to everything under the
        results folder; `address` and `port` to listen on (by default a
        free loopback port)."""
        self.prefix = os.path.abspath(prefix)
        self.folder = folder.strip("/")
        self.refuse = refuse
        self.address = address
        self.port = port
        self.process = None

    def _path(self, *parts):
        return os.path.join(self.prefix, "www", self.folder, *parts)

    def results_dir(self):
        return self._path(RESULTS)

    def place(self, name, content):
        os.makedirs(self._path(), exist_ok=True)
        with open(self._path(name), "wb") as out:
            out.write(content)

    def results_url(self):
        return "/%s/" % "/".join(p for p in (self.folder, RESULTS) if p)

    def command(self):
        """Writes the configuration; the server's command line."""
        config = os.path.join(self.prefix, "nginx.conf")
        with open(config, "w") as out:
            out.write(_CONFIG.format(prefix=self.prefix, listen="%s:%d" % (self.address, self.port),
                                     results=self.results_url(),
                                     results_rules=_REFUSE if self.refuse else _STORE))
        return [NGINX, "-p", self.prefix, "-c", config, "-e", os.path.join(self.prefix, "error.log")]

    def start(self):
        shutil.rmtree(self.prefix, ignore_errors=True)
        os.makedirs(os.path.join(self.prefix, "tmp"))
        os.makedirs(self._path())
        self.port = self.port or free_port()
        command = self.command()
        name = os.path.basename(command[0])
        self.process = subprocess.Popen(command, stdin=subprocess.DEVNULL,
                                        stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        deadline = time.monotonic() + START_LIMIT_SECONDS
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                raise RuntimeError("%s ended at once: %s" % (
                    name, self.process.stderr.read().decode("utf-8", "replace")))
            try:
                socket.create_connection((self.address, self.port), timeout=1).close()
                return self
            except OSError:
                time.sleep(0.05)
        self.stop()
        raise RuntimeError("%s did not listen on %s:%d within %s s" %
                           (name, self.address, self.port, START_LIMIT_SECONDS))

    def stop(self):
        if self.process and self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        if self.process:
            self.process.stderr.close()

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    def guestfwd(self, address, port=80):
        """QEMU's guestfwd that takes a guest's connection to
        address:port to this server."""
        return "tcp:%s:%d-cmd:socat - TCP:127.0.0.1:%d" % (address, port, self.port)

    def results(self):
        """{name: bytes} of every file the server stored under the results
        folder (none when nothing arrived)."""
        found = {}
        for top, _dirs, files in os.walk(self.results_dir()):
            for name in files:
                path = os.path.join(top, name)
                with open(path, "rb") as data:
                    found[os.path.relpath(path, self.results_dir())] = data.read()
        return found

    def logs(self):
        return self.prefix

    def access_log(self):
        path = os.path.join(self.logs(), "access.log")
        if not os.path.exists(path):
            return []
        with open(path, encoding="utf-8", errors="replace") as log:
            return log.read().splitlines()


# lighttpd as one process in the foreground (-D); the results' rules are
# README's own block, included as it stands there.
_LIGHTTPD_CONFIG = """server.document-root = "{prefix}/www"
server.bind = "{address}"
server.port = {port}
server.errorlog = "{prefix}/log/error.log"
server.pid-file = "{prefix}/log/lighttpd.pid"
server.upload-dirs = ( "{prefix}/tmp" )
{user}server.modules = ( "mod_accesslog" )
accesslog.filename = "{prefix}/log/access.log"
accesslog.format = "%h:0 #0 \\"%r\\" %s %I %O \\"%{{Content-Type}}i\\" %{{Content-Length}}i"
include "{prefix}/pellory-results.conf"
"""
# The user Debian's lighttpd drops to, when the test may start it as root.
LIGHTTPD_USER = "www-data"


def readme_lighttpd_block(readme=README):
    """The lighttpd configuration README.md gives for the results folder:
    the fenced block that loads mod_webdav."""
    for block in re.findall(r"```\n(.*?)```", readme.read_text(), re.S):
        if "mod_webdav" in block and "webdav.activate" in block:
            return block
    raise LookupError(f"{readme} gives no lighttpd block with mod_webdav")


class Lighttpd(BootServer):
    """Debian's lighttpd with README's set-up: its block, and the results
    folder made beforehand, owned by the user the server runs as."""

    def logs(self):
        return os.path.join(self.prefix, "log")

    def command(self):
        # The folder README makes (install -d -o www-data -g www-data), the
        # upload folder the server writes a body to first, and its logs,
        # which it opens once it runs as its user.
        folders = (self.results_dir(), os.path.join(self.prefix, "tmp"), self.logs())
        for folder in folders:
            os.makedirs(folder, exist_ok=True)
        user = ""
        if os.geteuid() == 0:
            user = f'server.username = "{LIGHTTPD_USER}"\nserver.groupname = "{LIGHTTPD_USER}"\n'
            owner = pwd.getpwnam(LIGHTTPD_USER)
            for folder in folders:
                os.chown(folder, owner.pw_uid, owner.pw_gid)
        block = readme_lighttpd_block().replace("/line3/", "/%s/" % self.folder)
        Path(self.prefix, "pellory-results.conf").write_text(block)
        config = os.path.join(self.prefix, "lighttpd.conf")
        Path(config).write_text(_LIGHTTPD_CONFIG.format(prefix=self.prefix, address=self.address,
                                                        port=self.port, user=user))
        return [LIGHTTPD, "-D", "-f", config]
