#!/usr/bin/env python3
"""clang-tidy over the C++ source files git knows that go into the programs (all of them with
--all), with the flags of a build's
compile_commands.json, and over the headers they include from this checkout (also where a
folder's include fence reaches them).

A file's findings are kept under $XDG_CACHE_HOME/quillmere-tidy, keyed by clang-tidy's version,
the .clang-tidy file, the compile command and the text of every file the compiler read for it
(from the build's dependency log; the preprocessed text where the log has none), so that a file
whose code and headers did not change is not analysed again. Exits 1 when anything is reported.

Usage: scripts/tidy.py [--all] [build-folder]
"""
import concurrent.futures
import hashlib
import json
import os
import re
import shlex
import shutil
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
TIDY_ARGUMENTS = ["-quiet", "--extra-arg=-w"]
# Test, benchmark and sample-file code is checked with --all; by default only what ships, which
# keeps a cold run within a few minutes on two cores.
NOT_SHIPPED = ("tests/", "bench/", "fixtures/")


def tool(*names):
    for name in names:
        path = shutil.which(name)
        if path:
            return path
    sys.exit(f"tidy: none of {', '.join(names)} found (Debian package clang-tidy)")


def preprocess_command(entry):
    args = entry.get("arguments") or shlex.split(entry["command"])
    kept, skip = [], False
    for arg in args:
        if skip:
            skip = False
            continue
        if arg in ("-o", "-MF", "-MT", "-MQ"):
            skip = True
            continue
        if arg in ("-c", "-MD", "-MMD") or arg.startswith("-fsanitize"):
            continue
        kept.append(arg)
    return kept + ["-E"]


def build_dependencies(build):
    """Each object's inputs as the build's last run recorded them: {object: [path, ...]}."""
    run = subprocess.run(["ninja", "-C", build, "-t", "deps"], capture_output=True, text=True,
                         errors="replace")
    found, current = {}, None
    for line in run.stdout.splitlines() if run.returncode == 0 else []:
        if not line.startswith(" "):
            # "object: #deps N, deps mtime T (VALID)"; a stale record is not trusted.
            current = line.split(": #deps")[0] if line.endswith("(VALID)") else None
            if current is not None:
                found[current] = []
        elif current is not None and line.strip():
            found[current].append(os.path.join(build, line.strip()))
    return found


_contents = {}


def content_hash(path):
    if path not in _contents:
        try:
            with open(path, "rb") as f:
                _contents[path] = hashlib.sha256(f.read()).digest()
        except OSError:
            _contents[path] = b"missing"
    return _contents[path]


def object_of(entry):
    args = entry.get("arguments") or shlex.split(entry["command"])
    return args[args.index("-o") + 1] if "-o" in args[:-1] else None


def input_key(entry, dependencies):
    """What the compiler read for this entry, as bytes; None when it cannot be told."""
    inputs = dependencies.get(object_of(entry))
    if inputs:
        return b"".join(path.encode() + content_hash(path) for path in inputs)
    text = subprocess.run(preprocess_command(entry), cwd=entry["directory"], capture_output=True)
    return text.stdout if text.returncode == 0 else None


def analyse(entry, clang_tidy, build, header_filter, fixed_key, cache, dependencies):
    file = entry["file"]
    inputs = input_key(entry, dependencies)
    key = hashlib.sha256(fixed_key + entry.get("command", "").encode() + (inputs or b"")).hexdigest()
    kept = os.path.join(cache, key)
    if inputs is not None and os.path.exists(kept):
        with open(kept, encoding="utf-8", errors="replace") as f:
            return f.read()
    # (-w in TIDY_ARGUMENTS: compiler warnings are the build's business (it turns them into errors); clang's own
    # differ from GCC's and would flag what GCC rightly accepts, such as libseccomp's macros.)
    run = subprocess.run([clang_tidy, *TIDY_ARGUMENTS, "-p", build,
                          f"-header-filter={header_filter}", file],
                         capture_output=True, text=True, errors="replace")
    # A finding inside a system header is named after the file that led there.
    findings = "\n".join(line if line.startswith(ROOT) else f"{line} (from {file})"
                         for line in run.stdout.splitlines()
                         if re.search(r": (warning|error): ", line))
    if inputs is not None:
        os.makedirs(cache, exist_ok=True)
        with open(kept + ".part", "w", encoding="utf-8") as f:
            f.write(findings)
        os.replace(kept + ".part", kept)
    return findings


def main():
    arguments = [a for a in sys.argv[1:] if a != "--all"]
    everything = "--all" in sys.argv[1:]
    build = os.path.abspath(arguments[0] if arguments else os.path.join(ROOT, "build"))
    commands = os.path.join(build, "compile_commands.json")
    if not os.path.exists(commands):
        sys.exit(f"tidy: no {commands}; build first")
    clang_tidy = tool("clang-tidy-14", "clang-tidy")
    tracked = subprocess.run(["git", "-C", ROOT, "ls-files", "-z", "--", "*.cpp"],
                             capture_output=True, check=True).stdout.decode().split("\0")
    tracked = {os.path.join(ROOT, path) for path in tracked
               if path and (everything or not path.startswith(NOT_SHIPPED))}
    with open(commands) as f:
        entries = {e["file"]: e for e in json.load(f) if e["file"] in tracked}
    header_filter = "^({}|{})/".format(re.escape(ROOT), re.escape(os.path.join(build, "include_fence")))
    version = subprocess.run([clang_tidy, "--version"], capture_output=True).stdout
    with open(os.path.join(ROOT, ".clang-tidy"), "rb") as f:
        fixed_key = version + f.read() + header_filter.encode() + " ".join(TIDY_ARGUMENTS).encode()
    cache = os.path.join(os.environ.get("XDG_CACHE_HOME") or os.path.expanduser("~/.cache"),
                         "quillmere-tidy")
    dependencies = build_dependencies(build)
    findings = set()
    with concurrent.futures.ThreadPoolExecutor(max_workers=os.cpu_count() or 2) as pool:
        jobs = [pool.submit(analyse, e, clang_tidy, build, header_filter, fixed_key, cache,
                            dependencies)
                for e in entries.values()]
        for job in jobs:
            findings.update(line for line in job.result().splitlines() if line)
    if findings:
        print("\n".join(sorted(findings)))
        print(f"tidy: {len(findings)} finding(s)", file=sys.stderr)
        return 1
    print(f"tidy: no findings in {len(entries)} files")
    return 0


if __name__ == "__main__":
    sys.exit(main())
