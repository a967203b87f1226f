"""Every program the integration tests start, and the peers they start, comes from a Debian
package that scripts/bootstrap installs for ./test, so that a fresh machine passes them; the
benchmarks may use the bench packages as well.

The programs are found in the sources, so a test that starts a new program needs no entry here:
absolute paths of executables ("/usr/sbin/dovecot"), the first word of an argument list
(["socat", ...], through wrappers such as unshare and sh -c), shutil.which("x"), and the
commands of shell lines. Each is resolved on this machine and its package found with dpkg -S;
a listed package brings its dependencies, and the packages every Debian system has count too."""

import ast
import os
import re
import shlex
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

HERE = Path(__file__).resolve().parent
SOURCE = Path(os.environ.get("TESSARUNO_SOURCE_DIR") or HERE.parent.parent).resolve()
# Where Debian's packages put programs: what a fresh machine finds, whatever our PATH holds.
SEARCH_PATH = "/usr/sbin:/usr/bin:/sbin:/bin"
WORD = re.compile(r"[A-Za-z0-9][A-Za-z0-9._+-]*\Z")
SHELLS = {"sh", "bash", "dash"}
# Programs that run the command after their options.
WRAPPERS = {"exec", "env", "nice", "nohup", "setsid", "sudo", "timeout", "unshare"}
OPERATORS = {"&&", "||", ";", "|", "&", "(", ")", ";;"}


# --------------------------------------------------------------------------------------------
# finding the programs a source starts


def argv_programs(words):
    """The programs an argument list runs: its first word, and through a wrapper or sh -c the
    ones it runs in turn. A word that is not a literal is None."""
    found = []
    while words and words[0] is not None:
        first = words[0]
        if first != "exec":
            found.append(first)
        if Path(first).name in SHELLS and "-c" in words:
            k = words.index("-c")
            if k + 1 < len(words) and words[k + 1] is not None:
                found += shell_programs(words[k + 1])
            break
        if Path(first).name not in WRAPPERS:
            break
        words = words[1:]
        # Options, NAME=VALUE settings and a time-out's duration come before the command.
        while words and words[0] is not None and (words[0].startswith("-") or "=" in words[0]
                                                  or words[0][:1].isdigit()):
            words = words[1:]
    return found


def shell_programs(line):
    """The programs a shell command line runs (the first word of each command)."""
    try:
        lexer = shlex.shlex(line, posix=True, punctuation_chars=True)
        lexer.whitespace_split = True
        tokens = list(lexer)
    except ValueError:
        return []
    found, command = [], []
    for token in tokens + [";"]:
        if token in OPERATORS:
            while command and re.match(r"[A-Za-z_]\w*=", command[0]):
                command.pop(0)  # an assignment in front of the command
            found += argv_programs(command)
            command = []
        else:
            command.append(token)
    return found


def _text(node):
    """The text of a string literal (an f-string's placeholders as {}), else None."""
    if isinstance(node, ast.Constant) and isinstance(node.value, str):
        return node.value
    if isinstance(node, ast.JoinedStr):
        return "".join(v.value if isinstance(v, ast.Constant) else "{}" for v in node.values)
    return None


def _callee(call):
    func = call.func
    return func.attr if isinstance(func, ast.Attribute) else getattr(func, "id", "")


def program_words(source):
    """(word, asked) for the words and paths in Python source that may name a program it
    starts; asked: the word was given to shutil.which(), so it names a program."""
    tree = ast.parse(source)
    # Docstrings are prose, and the pieces of an f-string are read as the whole.
    prose = {id(n.value) for n in ast.walk(tree)
             if isinstance(n, ast.Expr) and _text(n.value) is not None}
    prose |= {id(v) for n in ast.walk(tree) if isinstance(n, ast.JoinedStr) for v in n.values}
    words, asked = [], []
    for node in ast.walk(tree):
        text = _text(node)
        if text is not None and id(node) not in prose:
            if text.startswith("/") and os.path.isfile(text) and os.access(text, os.X_OK):
                words.append(text)
            elif re.search(r"&&|\|\||\bexec |\bsh -c ", text):
                words += shell_programs(text)
        if isinstance(node, (ast.List, ast.Tuple)):
            words += argv_programs([_text(e) for e in node.elts])
        elif isinstance(node, ast.Call):
            name = _callee(node)
            if name == "which" and node.args and _text(node.args[0]) is not None:
                asked.append(_text(node.args[0]))
            elif re.search(r"run|popen|call|check_output|exec|spawn", name, re.I):
                words += argv_programs([_text(a) for a in node.args])
    return [(w, False) for w in words] + [(w, True) for w in asked]


def resolve(word):
    """The executable a word names on this machine, or None."""
    if word.startswith("/"):
        return word if os.path.isfile(word) and os.access(word, os.X_OK) else None
    if "{" in word or not WORD.match(word):
        return None
    return shutil.which(word, path=SEARCH_PATH)


def programs_in(files):
    """{program: (path or None, first file naming it)}. A name given to shutil.which() is a
    program even when it is missing here; another word that resolves to nothing is not one."""
    found = {}
    for f in files:
        for word, asked in program_words(Path(f).read_text()):
            path = resolve(word)
            if (path or asked) and word not in found:
                where = Path(f).resolve()
                found[word] = (path, str(where.relative_to(SOURCE)) if where.is_relative_to(SOURCE)
                               else where.name)
    return found


# --------------------------------------------------------------------------------------------
# packages


def owners(paths):
    """{path: package} for the paths dpkg knows. dpkg may know a file under /bin rather than
    /usr/bin, or only the target of a symbolic link."""
    def variants(path):
        seen = [path]
        for p in (path, os.path.realpath(path)):
            for a, b in (("/usr/bin/", "/bin/"), ("/usr/sbin/", "/sbin/")):
                for x, y in ((a, b), (b, a)):
                    if p.startswith(x):
                        seen.append(y + p[len(x):])
            seen.append(p)
        return list(dict.fromkeys(seen))

    asked = {p: variants(p) for p in paths}
    query = sorted({v for vs in asked.values() for v in vs})
    out = subprocess.run(["dpkg", "-S", *query], capture_output=True, text=True, timeout=60).stdout
    known = {}
    for line in out.splitlines():
        packages, sep, path = line.partition(": ")
        if sep and not line.startswith("diversion "):
            known[path.strip()] = packages.split(",")[0].strip().split(":")[0]
    return {p: next((known[v] for v in vs if v in known), None) for p, vs in asked.items()}


def installed():
    """{package: (essential_or_required, provides, dependency groups)} of installed packages."""
    fmt = "${Package}\t${Status}\t${Essential}\t${Priority}\t${Provides}\t${Pre-Depends}\t${Depends}\n"
    out = subprocess.run(["dpkg-query", "-W", "-f", fmt], capture_output=True, text=True,
                         timeout=60).stdout
    names = lambda text: [re.sub(r"\s*\(.*?\)|:\w+", "", alt).strip()  # noqa: E731
                          for alt in text.split("|")]
    table = {}
    for line in out.splitlines():
        fields = line.split("\t")
        if len(fields) != 7 or not fields[1].endswith(" installed"):
            continue
        name, _, essential, priority, provides, pre, deps = fields
        groups = [names(g) for g in f"{pre},{deps}".split(",") if g.strip()]
        table[name] = (essential == "yes" or priority == "required",
                       [p for p in names(provides.replace(",", "|")) if p], groups)
    return table


def allowed_packages(roots, table=None):
    """The listed packages, what they depend on (as installed here), and the packages every
    Debian 12 system has (essential or of required priority)."""
    table = installed() if table is None else table
    providers = {}
    for name, (_, provides, _) in table.items():
        for p in provides:
            providers.setdefault(p, []).append(name)
    allowed = {n for n, (base, _, _) in table.items() if base}
    seen = set()
    todo = list(roots)
    while todo:
        name = todo.pop()
        if name in seen:
            continue
        seen.add(name)
        allowed.add(name)
        for group in table.get(name, (False, [], []))[2]:
            for alt in group:
                todo += ([alt] if alt in table else []) + providers.get(alt, [])
    return allowed


def bootstrap_list(*option):
    out = subprocess.run([str(SOURCE / "scripts" / "bootstrap"), "--list", *option],
                         capture_output=True, text=True, timeout=60, check=True).stdout
    return out.split()


def faults(programs, allowed, listing):
    """One line for each program whose package is not allowed."""
    paths = {path for path, _ in programs.values() if path}
    owner = owners(paths) if paths else {}
    lines = []
    for word, (path, where) in sorted(programs.items()):
        if path is None:
            lines.append(f"{word} (in {where}): not installed here; add its package to {listing}")
        elif owner.get(path) is None:
            lines.append(f"{word} (in {where}): {path} is in no Debian package")
        elif owner[path] not in allowed:
            lines.append(f"{word} (in {where}): package {owner[path]} is not in {listing}")
    return lines


# --------------------------------------------------------------------------------------------
# the checks


def python_files(folder):
    for path in sorted(Path(folder).rglob("*")):
        if path.is_file():
            head = path.read_bytes()[:64].split(b"\n")[0]
            if path.suffix == ".py" or (head.startswith(b"#!") and b"python" in head):
                yield path


def integration_files():
    # This file starts only dpkg, which every Debian system has; its samples are not tests.
    return [p for p in sorted((SOURCE / "tests" / "integration").glob("*.py"))
            if p.name != Path(__file__).name]


def test_every_program_the_tests_start_is_installed_for_the_tests():
    programs = programs_in(integration_files())
    allowed = allowed_packages(bootstrap_list())
    problems = faults(programs, allowed, "the build or tests list of scripts/bootstrap")
    assert not problems, "\n".join(problems)


def test_every_program_the_benchmarks_start_is_installed_for_the_benchmarks():
    programs = programs_in(python_files(SOURCE / "bench"))
    wanted = bootstrap_list("--all")
    table = installed()
    # The tests need no benchmark peer. A program that is not here cannot be traced to its
    # package: until `scripts/bootstrap --all` has run, or while a program is hidden (a file
    # that is not executable stands in its place, as a fresh-machine check does it), only the
    # programs that are here are checked.
    def unknowable(word):
        hidden = any(os.path.exists(os.path.join(d, word)) for d in SEARCH_PATH.split(os.pathsep))
        return hidden or any(p not in table for p in wanted)
    programs = {w: v for w, v in programs.items() if v[0] is not None or not unknowable(w)}
    problems = faults(programs, allowed_packages(wanted, table), "scripts/bootstrap")
    assert not problems, "\n".join(problems)


def test_the_scan_finds_the_peers_the_tests_start():
    found = programs_in(integration_files())
    for program in ("/usr/sbin/dovecot", "/usr/bin/tinyproxy", "/usr/sbin/nginx",
                    "/usr/sbin/privoxy", "/usr/sbin/haproxy", "postfix", "socat", "curl",
                    "fetchmail", "unshare", "mount"):
        assert program in found, sorted(found)


SAMPLE = '''
"""Docstrings are prose: time to test, exec nothing && stop."""
import shutil, subprocess
DOVECOT = "/usr/sbin/dovecot"
for sub in ("new", "cur"):
    pass
def f(tmp, cmd):
    subprocess.run(["socat", "-", "TCP:127.0.0.1:1"])
    if shutil.which("no-such-program-here"):
        pass
    Command(tmp, ["sh", "-c", "exec nice -n 5 tinyproxy -d"])
    start(1, wrap=f"exec unshare -m sh -c 'mount --bind {tmp} /etc/resolv.conf && exec {cmd}'")
    _run("postconf", "-h", *cmd)
'''


def test_the_scan_reads_each_way_of_starting_a_program(tmp_path):
    sample = tmp_path / "sample.py"
    sample.write_text(SAMPLE)
    found = programs_in([sample])
    assert set(found) == {"/usr/sbin/dovecot", "socat", "no-such-program-here", "sh", "nice",
                          "tinyproxy", "unshare", "mount", "postconf"}
    assert found["no-such-program-here"][0] is None


def test_a_program_from_an_unlisted_package_is_named_with_its_package():
    table = installed()
    programs = {"curl": (shutil.which("curl"), "x.py"), "dovecot": ("/usr/sbin/dovecot", "x.py")}
    # dovecot comes from dovecot-core, which dovecot-pop3d brings.
    assert faults(programs, allowed_packages(["dovecot-pop3d"], table), "the list") == [
        "curl (in x.py): package curl is not in the list"]
    assert faults({"gone": (None, "y.py")}, set(), "the list") == [
        "gone (in y.py): not installed here; add its package to the list"]


if __name__ == "__main__":
    sys.exit(pytest.main([__file__, "-q"]))
