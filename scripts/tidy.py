#!/usr/bin/env python3
"""clang-tidy over the C++ source files git knows that go into the programs (all of them with
--all), with the flags of a build's
compile_commands.json, and over the headers they include from this checkout (also where a
folder's include fence reaches them).

Files compiled with the same flags are analysed in groups of up to eight, as one translation
unit that includes them (in a unity build, the build's own groups), so the headers they share are
parsed and matched once per group rather than once per file; most of clang-tidy's time goes to
matching in headers. A group that does not compile as one (two files defining the same private
name) is split in halves until the parts do.

A group's findings are kept under $XDG_CACHE_HOME/quillmere-tidy, keyed by clang-tidy's version,
the .clang-tidy file, the compile commands and the text of every file the compiler read for them
(from the build's dependency log; the preprocessed text where the log has none), so that files
whose code and headers did not change are not analysed again. Exits 1 when anything is reported.

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
# -w: compiler warnings are the build's business (it turns them into errors); clang's own differ
# from GCC's and would flag what GCC rightly accepts, such as libseccomp's macros.
TIDY_ARGUMENTS = ["-quiet", "--extra-arg=-w"]
GROUP_SIZE = 8
# What CMake names the files of a unity build.
UNITY_FILE = re.compile(r"/Unity/unity_[0-9]+_cxx\.cxx$")
# Test, benchmark and sample-file code is checked with --all; by default only what ships, which
# keeps a cold run within a few minutes on two cores.
NOT_SHIPPED = ("tests/", "bench/", "fixtures/")
# Given by path: a group's file lies in the build folder, outside the checkout.
CONFIG = os.path.join(ROOT, ".clang-tidy")


def tool(*names):
    for name in names:
        path = shutil.which(name)
        if path:
            return path
    sys.exit(f"tidy: none of {', '.join(names)} found (Debian package clang-tidy)")


def arguments_of(entry):
    return entry.get("arguments") or shlex.split(entry["command"])


def is_source(entry, arg):
    return arg in (entry["file"], os.path.relpath(entry["file"], entry["directory"]))


def compiling(entry, source):
    """The entry's command, compiling `source` in place of its own file."""
    return [source if is_source(entry, arg) else arg for arg in arguments_of(entry)]


def preprocess_command(entry):
    args = arguments_of(entry)
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
    args = arguments_of(entry)
    return args[args.index("-o") + 1] if "-o" in args[:-1] else None


def input_key(entry, dependencies):
    """What the compiler read for this entry, as bytes; None when it cannot be told."""
    inputs = dependencies.get(object_of(entry))
    if inputs:
        return b"".join(path.encode() + content_hash(path) for path in inputs)
    text = subprocess.run(preprocess_command(entry), cwd=entry["directory"], capture_output=True)
    return text.stdout if text.returncode == 0 else None


def flags_key(entry):
    """The entry's command without its source and output: files of one target share it."""
    args, kept, skip = arguments_of(entry), [], False
    for arg in args:
        if skip:
            skip = False
        elif arg in ("-o", "-MF", "-MT", "-MQ"):
            skip = True
        elif not is_source(entry, arg):
            kept.append(arg)
    return (entry["directory"], tuple(kept))


def unity_members(entry):
    """The files a unity build's file includes, each with that file's command in its place."""
    try:
        with open(entry["file"], encoding="utf-8") as f:
            paths = re.findall(r'^#include "([^"]+)"$', f.read(), re.MULTILINE)
    except OSError:
        return []
    return [{"directory": entry["directory"], "file": os.path.normpath(path),
             "arguments": compiling(entry, path), "unity": entry["file"]}
            for path in paths]


def groups_of(entries):
    """A unity build's own groups; otherwise files of one target, eight at a time."""
    by_flags = {}
    for entry in sorted(entries, key=lambda e: e["file"]):
        by_flags.setdefault(entry.get("unity") or flags_key(entry), []).append(entry)
    return [members[i:i + GROUP_SIZE] for members in by_flags.values()
            for i in range(0, len(members), GROUP_SIZE)]


def run_tidy(clang_tidy, header_filter, database, file):
    return subprocess.run([clang_tidy, *TIDY_ARGUMENTS, f"--config-file={CONFIG}", "-p", database,
                           f"-header-filter={header_filter}", file],
                          capture_output=True, text=True, errors="replace")


def findings_of(output, origin, group_file=None):
    # A finding inside a system header is named after the file that led there; the group's own
    # file holds nothing but its includes of .cpp files, which is the finding it would get.
    lines = [line for line in output.splitlines() if re.search(r": (warning|error): ", line)]
    return [line if line.startswith(ROOT) else f"{line} (from {origin})" for line in lines
            if group_file is None or not line.startswith(group_file + ":")]


def analyse_group(group, index, clang_tidy, build, header_filter, fixed_key, cache, dependencies):
    keys = [input_key(entry, dependencies) for entry in group]
    complete = all(k is not None for k in keys)
    key = hashlib.sha256(fixed_key + b"".join(
        " ".join(arguments_of(entry)).encode() + entry["file"].encode() + (k or b"")
        for entry, k in zip(group, keys))).hexdigest()
    kept = os.path.join(cache, key)
    if complete and os.path.exists(kept):
        with open(kept, encoding="utf-8", errors="replace") as f:
            return f.read()
    findings = analyse_together(group, str(index), clang_tidy, build, header_filter)
    text = "\n".join(findings)
    if complete:
        os.makedirs(cache, exist_ok=True)
        with open(kept + ".part", "w", encoding="utf-8") as f:
            f.write(text)
        os.replace(kept + ".part", kept)
    return text


def analyse_together(group, index, clang_tidy, build, header_filter):
    # Each group has a compilation database of its own: the file a group compiles as, or a file
    # of a unity build, is in none of the build's.
    folder = os.path.join(build, "tidy-groups", index)
    os.makedirs(folder, exist_ok=True)
    first = group[0]
    group_file = first["file"] if len(group) == 1 else os.path.join(folder, "group.cpp")
    if len(group) > 1:
        with open(group_file, "w", encoding="utf-8") as f:
            f.writelines(f'#include "{entry["file"]}"\n' for entry in group)
    with open(os.path.join(folder, "compile_commands.json"), "w", encoding="utf-8") as f:
        json.dump([{"directory": first["directory"], "arguments": compiling(first, group_file),
                    "file": group_file}], f)
    run = run_tidy(clang_tidy, header_filter, folder, group_file)
    if len(group) == 1:
        return findings_of(run.stdout, group_file)
    if "[clang-diagnostic-error]" not in run.stdout:
        origin = ", ".join(os.path.relpath(entry["file"], ROOT) for entry in group)
        return findings_of(run.stdout, origin, group_file)
    # The files do not compile as one (two of them define the same private name, or one must
    # include a library before Qt): each half is tried on its own, down to single files.
    half = len(group) // 2
    return (analyse_together(group[:half], index + "a", clang_tidy, build, header_filter) +
            analyse_together(group[half:], index + "b", clang_tidy, build, header_filter))


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
        compiled = [member for e in json.load(f)
                    for member in (unity_members(e) if UNITY_FILE.search(e["file"]) else [e])]
    entries = {e["file"]: e for e in compiled if e["file"] in tracked}
    header_filter = "^({}|{})/".format(re.escape(ROOT), re.escape(os.path.join(build, "include_fence")))
    version = subprocess.run([clang_tidy, "--version"], capture_output=True).stdout
    with open(CONFIG, "rb") as f:
        fixed_key = version + f.read() + header_filter.encode() + " ".join(TIDY_ARGUMENTS).encode()
    cache = os.path.join(os.environ.get("XDG_CACHE_HOME") or os.path.expanduser("~/.cache"),
                         "quillmere-tidy")
    dependencies = build_dependencies(build)
    findings = set()
    with concurrent.futures.ThreadPoolExecutor(max_workers=os.cpu_count() or 2) as pool:
        jobs = [pool.submit(analyse_group, group, index, clang_tidy, build, header_filter,
                            fixed_key, cache, dependencies)
                for index, group in enumerate(groups_of(entries.values()))]
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
