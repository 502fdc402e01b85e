"""An https Subversion server on loopback for tests: apache2 with
mod_dav_svn, its own configuration, a self-signed certificate made with
openssl, and a free port.

    with HttpsRepositories(folder) as server:
        url = server.url("repo")      # https://127.0.0.1:PORT/svn/repo
        server.certificate            # the PEM file, for openssl to describe

Repositories are folders made with `svnadmin create` under server.parent.
The certificate names `host_name`, not 127.0.0.1, so a client that connects
by address meets both an unknown issuer and a name mismatch. With `users`
({name: password}), every request needs Basic authentication.

Apache refuses to serve as root: under root its workers run as `nobody`, so
the repositories are made readable and writable by everyone. Every wait is
bounded; the server and its workers (one process group) are stopped on
every path out of the `with`, and by the kernel when this process dies.
"""
import ctypes
import os
import signal
import socket
import ssl
import subprocess
import time
import urllib.error
import urllib.request

MODULES = "/usr/lib/apache2/modules"
BOUND = 30  # seconds for the server to come up or go


def _stop_with_parent():
    PR_SET_PDEATHSIG = 1
    ctypes.CDLL(None, use_errno=True).prctl(PR_SET_PDEATHSIG, signal.SIGTERM)


def _free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class HttpsRepositories:
    def __init__(self, folder, host_name="svn.korvane.invalid", organisation="Korvane Test Authority", users=None):
        self.folder = os.path.abspath(folder)
        self.parent = os.path.join(self.folder, "repositories")
        self.certificate = os.path.join(self.folder, "server.pem")
        self.host_name = host_name
        self.organisation = organisation
        self.users = users or {}
        self.port = None
        self._process = None

    def url(self, name):
        return f"https://127.0.0.1:{self.port}/svn/{name}"

    def create(self, name):
        """A new empty repository served at url(name)."""
        path = os.path.join(self.parent, name)
        subprocess.run(["svnadmin", "create", path], check=True)
        self._open_to_workers(path)
        return path

    def __enter__(self):
        try:
            self._start()
        except BaseException:
            self._stop()
            raise
        return self

    def __exit__(self, *_):
        self._stop()

    # --- Starting and stopping ---------------------------------------------

    def _start(self):
        os.makedirs(self.parent, exist_ok=True)
        key = os.path.join(self.folder, "server.key")
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "30", "-keyout", key,
                        "-out", self.certificate, "-subj", f"/O={self.organisation}/CN={self.host_name}",
                        "-addext", f"subjectAltName=DNS:{self.host_name}"],
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        auth = ""
        if self.users:
            passwords = os.path.join(self.folder, "htpasswd")
            for i, (user, password) in enumerate(self.users.items()):
                subprocess.run(["htpasswd", "-b" + ("c" if i == 0 else ""), passwords, user, password], check=True,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            auth = (f"  AuthType Basic\n  AuthName \"Korvane test repositories\"\n  AuthBasicProvider file\n"
                    f"  AuthUserFile {passwords}\n  Require valid-user\n")
        # Another program may take the free port before apache binds it.
        for _ in range(3):
            self.port = _free_port()
            config = self._configure(key, auth)
            if self._run(config):
                return
            self._stop()
        raise RuntimeError("apache2 lost the race for a free port three times")

    def _configure(self, key, auth):
        workers = "User nobody\nGroup nogroup\n" if os.geteuid() == 0 else ""
        config = os.path.join(self.folder, "apache2.conf")
        with open(config, "w") as f:
            f.write(f"""ServerRoot {self.folder}
ServerName 127.0.0.1
DefaultRuntimeDir {self.folder}
PidFile {self.folder}/apache2.pid
ErrorLog {self.folder}/error.log
LogLevel warn
Listen 127.0.0.1:{self.port}
{workers}LoadModule mpm_event_module {MODULES}/mod_mpm_event.so
StartServers 1
ServerLimit 1
ThreadLimit 8
ThreadsPerChild 8
MaxRequestWorkers 8
MinSpareThreads 1
MaxSpareThreads 8
LoadModule authz_core_module {MODULES}/mod_authz_core.so
LoadModule authz_user_module {MODULES}/mod_authz_user.so
LoadModule authn_core_module {MODULES}/mod_authn_core.so
LoadModule authn_file_module {MODULES}/mod_authn_file.so
LoadModule auth_basic_module {MODULES}/mod_auth_basic.so
LoadModule ssl_module {MODULES}/mod_ssl.so
LoadModule dav_module {MODULES}/mod_dav.so
LoadModule dav_svn_module {MODULES}/mod_dav_svn.so
SSLEngine on
SSLCertificateFile {self.certificate}
SSLCertificateKeyFile {key}
<Location /svn>
  DAV svn
  SVNParentPath {self.parent}
{auth}</Location>
""")
        self._open_to_workers(self.folder)
        return config

    def _run(self, config):
        """Starts apache2 and waits until it answers; False when it could not
        have the port (try another), an exception for any other failure."""
        # A session of its own, so that stopping reaches the workers too;
        # and stopped by the kernel should this process die unannounced.
        self._process = subprocess.Popen(["/usr/sbin/apache2", "-f", config, "-DFOREGROUND"],
                                         start_new_session=True, preexec_fn=_stop_with_parent,
                                         stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        deadline = time.monotonic() + BOUND
        while not self._answers():
            if self._process.poll() is not None:
                said = self._process.stderr.read().decode() + self._error_log()
                if "Address already in use" in said:
                    return False
                raise RuntimeError(f"apache2 ended: {said}")
            if time.monotonic() > deadline:
                raise RuntimeError(f"apache2 did not answer on port {self.port}: {self._error_log()}")
            time.sleep(0.1)
        return True

    def _answers(self):
        """Whether the server answers an https request (any HTTP status)."""
        context = ssl.create_default_context()
        context.check_hostname = False
        context.verify_mode = ssl.CERT_NONE
        try:
            urllib.request.urlopen(f"https://127.0.0.1:{self.port}/", context=context, timeout=5).close()
        except urllib.error.HTTPError:
            pass
        except (OSError, ssl.SSLError):
            return False
        return True

    def _stop(self):
        if self._process is None:
            return
        if self._process.poll() is None:
            os.killpg(self._process.pid, signal.SIGTERM)  # a graceful stop of the server and its workers
            try:
                self._process.wait(timeout=BOUND)
            except subprocess.TimeoutExpired:
                os.killpg(self._process.pid, signal.SIGKILL)
                self._process.wait()
        # Workers that outlived their parent are gone with its group.
        try:
            os.killpg(self._process.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        self._process.stderr.close()
        self._process = None

    def _error_log(self):
        try:
            with open(os.path.join(self.folder, "error.log")) as f:
                return f.read()[-2000:]
        except OSError:
            return ""

    def _open_to_workers(self, path):
        if os.geteuid() != 0:
            return
        subprocess.run(["chmod", "-R", "a+rwX", path], check=True)
        # Every folder above must let them pass.
        folder = os.path.dirname(path)
        while folder != "/":
            mode = os.stat(folder).st_mode
            if not mode & 0o001:
                os.chmod(folder, mode | 0o001)
            folder = os.path.dirname(folder)
