"""A real browser engine for the tests: headless Chromium with its proxy set, a test CA that it
is told to trust, and a resolver configuration that keeps every name lookup on loopback.

    wrap = private_resolver(tmp_path)            # run a proxy under test inside it
    cert = make_certificate(tmp_path / "ca")    # nginx serves HTTPS with cert.pem / key.pem
    dom = chromium_dom(tmp_path, proxy_port, url, trust=cert.spki)
"""

import os
import shutil
import subprocess
from dataclasses import dataclass
from pathlib import Path

import pytest

CHROMIUM = "/usr/bin/chromium"


def private_resolver(tmpdir):
    """A command prefix that runs a program in a mount namespace of its own whose resolv.conf
    names only 127.0.0.1, where nothing answers: no name lookup leaves the machine."""
    if subprocess.run(["unshare", "-m", "true"], capture_output=True).returncode != 0:
        pytest.skip("unshare -m is not permitted here")
    resolv = Path(tmpdir) / "resolv.conf"
    resolv.write_text("nameserver 127.0.0.1\noptions timeout:1 attempts:1\n")
    return ["unshare", "-m", "sh", "-c", f"mount --bind {resolv} /etc/resolv.conf && exec \"$0\" \"$@\""]


@dataclass
class Certificate:
    cert: Path
    key: Path
    spki: str  # base64 SHA-256 of the public key, for --ignore-certificate-errors-spki-list


def make_certificate(folder):
    """A test CA and a server certificate it signed for localhost and 127.0.0.1."""
    folder = Path(folder)
    folder.mkdir(parents=True, exist_ok=True)

    def openssl(*args, stdin=None):
        return subprocess.run(["openssl", *args], cwd=folder, input=stdin, capture_output=True,
                              check=True).stdout

    openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "ca.key", "-out",
            "ca.pem", "-days", "2", "-subj", "/CN=tessaruno test CA")
    openssl("req", "-newkey", "rsa:2048", "-nodes", "-keyout", "key.pem", "-out", "server.csr",
            "-subj", "/CN=localhost")
    (folder / "ext").write_text("subjectAltName=DNS:localhost,IP:127.0.0.1\n")
    openssl("x509", "-req", "-in", "server.csr", "-CA", "ca.pem", "-CAkey", "ca.key",
            "-CAcreateserial", "-out", "cert.pem", "-days", "2", "-extfile", "ext")
    public = openssl("x509", "-in", "cert.pem", "-pubkey", "-noout")
    der = openssl("pkey", "-pubin", "-outform", "der", stdin=public)
    digest = openssl("dgst", "-sha256", "-binary", stdin=der)
    spki = openssl("base64", "-A", stdin=digest).decode().strip()
    return Certificate(folder / "cert.pem", folder / "key.pem", spki)


def trust_in_nss(home, ca):
    """An NSS database in home/.pki/nssdb, as Chromium on Linux reads it, trusting the CA in ca
    (PEM) for web servers; certutil comes from libnss3-tools."""
    db = Path(home) / ".pki" / "nssdb"
    db.mkdir(parents=True, exist_ok=True)
    subprocess.run(["certutil", "-d", f"sql:{db}", "-N", "--empty-password"], check=True,
                   capture_output=True)
    subprocess.run(["certutil", "-d", f"sql:{db}", "-A", "-t", "C,,", "-n", "test authority",
                    "-i", str(ca)], check=True, capture_output=True)


def chromium_dom(tmpdir, proxy_port, url, trust=None, timeout=60, nss_ca=None):
    """The DOM headless Chromium shows for url, loaded through the HTTP proxy on
    127.0.0.1:proxy_port (loopback included), with a fresh profile and no background traffic.
    nss_ca: a CA certificate the profile's NSS database trusts."""
    if not (os.path.isfile(CHROMIUM) and os.access(CHROMIUM, os.X_OK)):
        pytest.fail("chromium is not installed (scripts/bootstrap installs it)", pytrace=False)
    profile = Path(tmpdir) / f"profile-{len(list(Path(tmpdir).glob('profile-*')))}"
    profile.mkdir(parents=True)
    if nss_ca:
        trust_in_nss(profile, nss_ca)
    args = ["--headless=new", "--no-sandbox", "--disable-gpu", "--disable-quic",
            "--disable-background-networking", "--disable-component-update", "--disable-sync",
            "--no-first-run", "--disable-extensions", f"--user-data-dir={profile}",
            f"--proxy-server=http://127.0.0.1:{proxy_port}", "--proxy-bypass-list=<-loopback>",
            "--virtual-time-budget=5000", "--dump-dom"]
    if trust:
        args.append(f"--ignore-certificate-errors-spki-list={trust}")
    out = subprocess.run([*private_resolver(tmpdir), CHROMIUM, *args, url], capture_output=True,
                         timeout=timeout, env=dict(os.environ, HOME=str(profile)))
    shutil.rmtree(profile, ignore_errors=True)
    return out.stdout.decode("utf-8", "replace")
