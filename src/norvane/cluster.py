"""norvane on a dqlite cluster: connecting, and a local cluster for trials.

A dqlite cluster keeps one SQLite database replicated over several nodes
through Raft; its DB-API driver ``dqlitedbapi`` (the ``cluster`` extra of this
package) gives connections that norvane's functions take like ``sqlite3``
ones::

    from norvane import cluster
    from norvane.catalog import prepare_catalog
    import norvane.norvane as nv

    conn = cluster.connect("127.0.0.1:9001", "homes")   # any node; the leader is found
    prepare_catalog(conn)
    nv.create_table(conn, "homes", ["name", "age"], [], [{"name": "u", "cols": [0]}])

``LocalCluster`` starts nodes of the ``dqlite-demo`` program (Debian package
``go-dqlite``) on free loopback ports, for trials, tests and benchmarks on one
machine; it stops them by process id.
"""

import os
import shutil
import signal
import socket
import subprocess
import time
from collections.abc import Sequence
from pathlib import Path
from types import TracebackType
from typing import Any, Self

from norvane.connections import spill_off

__all__ = ["LocalCluster", "connect", "missing_programs"]

NODE_PROGRAM = "dqlite-demo"
SHELL_PROGRAM = "dqlite"
DRIVER_MODULE = "dqlitedbapi"


def missing_programs() -> str | None:
    """Why a local cluster cannot run here, or None when everything is installed."""
    missing = [p for p in (NODE_PROGRAM, SHELL_PROGRAM) if shutil.which(p) is None]
    try:
        import dqlitedbapi  # noqa: F401
    except ImportError:
        missing.append(f"the Python module {DRIVER_MODULE}")
    if not missing:
        return None
    return (
        f"dqlite cluster programs missing: {', '.join(missing)} "
        f"(apt-get install go-dqlite; pip install 'norvane[cluster]')"
    )


def connect(address: str, database: str, *, timeout: float = 10.0, request_timeout: float | None = None,
            **options: Any) -> Any:
    """A DB-API connection to ``database`` on the cluster that ``address`` belongs to.

    ``address`` is any node's database address (``host:port``); the driver
    finds the leader. Connecting is retried for up to ``timeout`` seconds, so
    that a cluster in the middle of an election (after its leader was lost)
    answers once it has a new one. ``request_timeout`` is how long the driver
    waits for the answer to one request (its own ``timeout``, 10 s by
    default; a statement over a million rows can take longer on a busy
    machine). ``options`` go to ``dqlitedbapi.connect``.
    The connection comes with SQLite's cache spill off, which the installed
    server needs for a transaction larger than its page cache (the leader
    then holds that transaction's dirty pages in memory until the commit).
    """
    import dqlitedbapi

    if request_timeout is not None:
        options["timeout"] = request_timeout
    deadline = time.monotonic() + timeout
    while True:
        conn = dqlitedbapi.connect(address, database=database, **options)
        try:
            conn.connect()
            spill_off(conn)  # before anything writes through it, norvane or not
            return conn
        except dqlitedbapi.Error:
            conn.close()
            if time.monotonic() >= deadline:
                raise
            time.sleep(0.1)


def _free_ports(count: int) -> list[int]:
    """Ports on 127.0.0.1 that nothing listens on right now (held open together, so distinct)."""
    sockets = []
    try:
        for _ in range(count):
            s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            s.bind(("127.0.0.1", 0))
            sockets.append(s)
        return [s.getsockname()[1] for s in sockets]
    finally:
        for s in sockets:
            s.close()


def node_environment() -> dict[str, str]:
    """The environment without preloaded libraries and sanitizer settings.

    The nodes are Go programs: a sanitizer runtime preloaded into the test
    interpreter must not be loaded into them.
    """
    return {
        key: value
        for key, value in os.environ.items()
        if key != "LD_PRELOAD" and not key.startswith(("ASAN_", "UBSAN_", "LSAN_"))
    }


class LocalCluster:
    """``size`` dqlite nodes on 127.0.0.1, with their data under ``directory``.

    Use it as a context manager, or call ``start`` and ``stop``. Every node has
    a database address (``addresses``, what clients connect to) and an API
    address that the node program requires.
    """

    def __init__(self, directory: str | os.PathLike[str], size: int = 3, *, ready_timeout: float = 30.0):
        self.directory = Path(directory)
        self.size = size
        self.ready_timeout = ready_timeout
        ports = _free_ports(2 * size)
        self.addresses = [f"127.0.0.1:{port}" for port in ports[:size]]
        self._api = [f"127.0.0.1:{port}" for port in ports[size:]]
        self._nodes: dict[str, subprocess.Popen[bytes]] = {}
        self._env = node_environment()

    # -- life -----------------------------------------------------------------

    def start(self) -> Self:
        reason = missing_programs()
        if reason is not None:
            raise RuntimeError(reason)
        self.directory.mkdir(parents=True, exist_ok=True)
        try:
            self._start_node(0)
            self._wait_for_voters(1)
            for i in range(1, self.size):
                self._start_node(i, join=self.addresses[0])
            self._wait_for_voters(self.size)
        except BaseException:
            self.stop()
            raise
        return self

    def stop(self) -> None:
        """Stop every node still running, by its process id."""
        for proc in self._nodes.values():
            if proc.poll() is None:
                proc.kill()
        for proc in self._nodes.values():
            proc.wait()
        self._nodes.clear()

    def __enter__(self) -> Self:
        return self.start()

    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        tb: TracebackType | None,
    ) -> None:
        self.stop()

    def _start_node(self, i: int, join: str | None = None) -> None:
        address = self.addresses[i]
        command = [NODE_PROGRAM, "--api", self._api[i], "--db", address, "-D", str(self.directory)]
        if join is not None:
            command += ["--join", join]
        with open(self.directory / f"node-{i + 1}.log", "wb") as log:
            self._nodes[address] = subprocess.Popen(
                command,
                stdin=subprocess.DEVNULL,
                stdout=log,
                stderr=subprocess.STDOUT,
                env=self._env,
                start_new_session=True,  # a Ctrl-C of the caller reaches only the caller
            )

    def _wait_for_voters(self, count: int) -> None:
        deadline = time.monotonic() + self.ready_timeout
        while self.voters() < count:
            for address, proc in self._nodes.items():
                if proc.poll() is not None:
                    raise RuntimeError(f"dqlite node {address} exited with {proc.returncode}")
            if time.monotonic() >= deadline:
                raise RuntimeError(f"the dqlite cluster in {self.directory} has no {count} voters")
            time.sleep(0.05)

    # -- state ----------------------------------------------------------------

    @property
    def running(self) -> list[str]:
        """Database addresses of the nodes still running."""
        return [a for a, proc in self._nodes.items() if proc.poll() is None]

    def _shell(self, command: str) -> str:
        """The shell's answer, or "" when it fails or hangs (as it can while
        the survivors of a lost leader elect a new one)."""
        try:
            result = subprocess.run(
                [SHELL_PROGRAM, "-s", ",".join(self.running), "norvane", command],
                stdin=subprocess.DEVNULL,
                capture_output=True,
                text=True,
                env=self._env,
                timeout=10,
            )
        except subprocess.TimeoutExpired:
            return ""
        return result.stdout if result.returncode == 0 else ""

    def voters(self) -> int:
        return sum(line.rstrip().endswith("|voter") for line in self._shell(".cluster").splitlines())

    def leader(self, timeout: float = 10.0) -> str:
        """The leader's database address, once the running nodes agree on one."""
        deadline = time.monotonic() + timeout
        while True:
            leader = self._shell(".leader").strip()
            if leader in self.running:
                return leader
            if time.monotonic() >= deadline:
                raise RuntimeError("the dqlite cluster has no leader")
            time.sleep(0.05)

    def kill(self, address: str, sig: int = signal.SIGKILL) -> None:
        """Send ``sig`` to the node at ``address`` and wait until it is gone."""
        proc = self._nodes[address]
        proc.send_signal(sig)
        proc.wait()

    def pid(self, address: str) -> int:
        """The process id of the node at ``address`` (to watch its memory)."""
        return self._nodes[address].pid

    def survivor(self, excluding: Sequence[str] = ()) -> str:
        """The database address of a running node not in ``excluding``."""
        return next(a for a in self.running if a not in excluding)

    def connect(self, database: str, **options: Any) -> Any:
        """A connection through the first running node (see ``connect``)."""
        return connect(self.running[0], database, **options)
