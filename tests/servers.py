"""Real servers on 127.0.0.1 for the tests of ranged reads, each counting
the body bytes it sends: nginx (installed by tools/ensure-nginx.sh where it
is missing) serving a directory, and an S3-compatible server (moto) behind
a WSGI layer that counts what it sends.  Used as session fixtures; where one
cannot be had, its tests are skipped with the reason."""
import os
import pathlib
import socket
import subprocess
import threading
import time

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for(port, proc=None, timeout=20.0):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if proc is not None and proc.poll() is not None:
            return False
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=0.5):
                return True
        except OSError:
            time.sleep(0.05)
    return False


class Nginx:
    """nginx serving `root` on a free port, its access log giving the body
    bytes of each response."""

    def __init__(self, binary, work):
        self.root = work / "www"
        self.root.mkdir()
        self.log = work / "access.log"
        self.port = free_port()
        conf = work / "nginx.conf"
        conf.write_text(f"""
daemon off;
worker_processes 1;
pid {work}/nginx.pid;
error_log {work}/error.log;
{"user root;" if os.geteuid() == 0 else ""}
events {{ worker_connections 64; }}
http {{
    log_format served '$request_method $uri $status $body_bytes_sent "$http_range"';
    access_log {self.log} served;
    client_body_temp_path {work}/body;
    proxy_temp_path {work}/proxy;
    fastcgi_temp_path {work}/fastcgi;
    uwsgi_temp_path {work}/uwsgi;
    scgi_temp_path {work}/scgi;
    types {{ application/octet-stream f0; }}
    server {{
        listen 127.0.0.1:{self.port};
        root {self.root};
    }}
}}
""")
        self.proc = subprocess.Popen([binary, "-p", str(work), "-e", str(work / "error.log"), "-c", str(conf)],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        if not wait_for(self.port, self.proc):
            err = self.proc.stderr.read().decode(errors="replace") if self.proc.poll() is not None else ""
            self.stop()
            raise RuntimeError(f"nginx did not start: {err.strip()}")
        self.url = f"http://127.0.0.1:{self.port}"

    def put(self, name, data):
        (self.root / name).write_bytes(data)
        return f"{self.url}/{name}"

    def served(self):
        """Body bytes sent so far, all requests together."""
        if not self.log.exists():
            return 0
        return sum(int(line.split()[3]) for line in self.log.read_text().splitlines() if line.strip())

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.proc.stderr.close()


class S3:
    """moto's S3 in server mode on a free port, in this process, with the
    body bytes of its responses counted as they go out."""

    def __init__(self):
        from moto.moto_server.werkzeug_app import DomainDispatcherApplication, MotoRequestHandler, create_backend_app
        from werkzeug.serving import make_server
        app = DomainDispatcherApplication(create_backend_app)
        self._served = 0
        lock = threading.Lock()

        def counting(environ, start_response):
            for chunk in app(environ, start_response):
                with lock:
                    self._served += len(chunk)
                yield chunk
        self.server = make_server("127.0.0.1", 0, counting, threaded=True, request_handler=MotoRequestHandler)
        self.port = self.server.server_port
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)
        self.thread.start()
        self.url = f"http://127.0.0.1:{self.port}"
        self.options = {"key": "testing", "secret": "testing", "use_listings_cache": False,
                        "client_kwargs": {"endpoint_url": self.url, "region_name": "us-east-1"}}
        import boto3
        import s3fs
        boto3.client("s3", endpoint_url=self.url, region_name="us-east-1", aws_access_key_id="testing",
                     aws_secret_access_key="testing").create_bucket(Bucket="pyzeb-test")
        self.fs = s3fs.S3FileSystem(**self.options)

    def put(self, name, data):
        self.fs.pipe(f"pyzeb-test/{name}", data)
        return f"s3://pyzeb-test/{name}"

    def served(self):
        return self._served

    def stop(self):
        self.server.shutdown()
        self.thread.join(10)


@pytest.fixture(scope="session")
def nginx(tmp_path_factory):
    r = subprocess.run(["sh", str(ROOT / "tools" / "ensure-nginx.sh")], capture_output=True, text=True)
    if r.returncode != 0:
        print(f"skipping the nginx tests: {r.stderr.strip()}")
        pytest.skip(f"nginx cannot be had: {r.stderr.strip()}")
    pytest.importorskip("aiohttp", reason="fsspec's http file system needs aiohttp")
    try:
        server = Nginx(r.stdout.strip().splitlines()[-1], tmp_path_factory.mktemp("nginx"))
    except RuntimeError as exc:
        print(f"skipping the nginx tests: {exc}")
        pytest.skip(str(exc))
    yield server
    server.stop()


@pytest.fixture(scope="session")
def s3():
    for module in ("moto", "s3fs", "werkzeug"):
        pytest.importorskip(module, reason=f"the S3 tests need {module} (pyzeb's Makefile installs it)")
    server = S3()
    yield server
    server.stop()
