#!/usr/bin/env bash
# Installs the build into a temporary prefix, moves the installed tree elsewhere, and runs the
# programs from there through their links in bin: they must find the files beside the real
# executable wherever the tree lies.
#   test_installed_program.sh CMAKE BUILD_FOLDER PROGRAM_FOLDER_IN_PREFIX ["HELPER_PROGRAMS"]
set -euo pipefail
cmake=$1 build=$2 program_dir=$3 helpers=${4:-}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() {
    echo "FAIL: $*" >&2
    exit 1
}

# The user's settings, caches and Trash live in the temporary folder; a web page is "opened" by a
# program that does nothing.
export HOME=$work/home XDG_CONFIG_HOME=$work/home/.config XDG_CACHE_HOME=$work/home/.cache
export XDG_DATA_HOME=$work/home/.local/share XDG_RUNTIME_DIR=$work/runtime BROWSER=true
mkdir -p "$HOME" && mkdir -m 700 "$XDG_RUNTIME_DIR"

"$cmake" --install "$build" --prefix "$work/installed" >/dev/null
# A blank and a letter outside ASCII in the new place, as in many a user's folder names.
prefix="$work/moved tree é"
mv "$work/installed" "$prefix"
programs=$prefix/$program_dir

# The layout a desktop expects.
for file in "$program_dir/quillmere" "$program_dir/quillmere-cli" "$program_dir/HAND-M.CUR" \
    share/applications/quillmere.desktop share/icons/hicolor/scalable/apps/quillmere.svg \
    share/metainfo/example.vantrel.quillmere.metainfo.xml share/man/man1/quillmere-cli.1; do
    [ -s "$prefix/$file" ] || fail "$file is not installed"
done
for size in 16 24 32 48 64 128 256; do
    png=$prefix/share/icons/hicolor/${size}x${size}/apps/quillmere.png
    [ -s "$png" ] || fail "no ${size}px icon"
    # The width and height of a PNG are the big-endian words at bytes 16 and 20.
    read -r width height < <(od -An -tu4 --endian=big -j16 -N8 "$png")
    [ "$width x $height" = "$size x $size" ] || fail "${size}px icon is $width x $height"
done
[ -d "$programs/Samples" ] || fail "no Samples folder"
for helper in $helpers; do
    [ -x "$programs/$helper" ] || fail "$helper is not installed beside the program"
done
for command in quillmere quillmere-cli; do
    link=$prefix/bin/$command
    [ -L "$link" ] || fail "bin/$command is not a link"
    [[ $(readlink "$link") != /* ]] || fail "bin/$command links to an absolute path"
    [ "$(readlink -f "$link")" = "$(readlink -f "$programs/$command")" ] ||
        fail "bin/$command does not reach the program folder"
done

# The command-line program searches the installed samples.
rows=$("$prefix/bin/quillmere-cli" find Kodak "$programs/Samples")
[ -n "$rows" ] || fail "quillmere-cli found no Kodak in the installed samples"
while IFS= read -r row; do
    [[ $row == "$programs/Samples/"*$'\t'*Kodak* ]] || fail "unexpected row: $row"
done <<<"$rows"

# The window, headless on a virtual X server.
unset QT_QPA_PLATFORM

# Starts the installed window, waits until it shows something, and prints the names of its
# visible windows; the program must still be running then. Its standard error goes to FILE.
window_names() { # window_names STDERR_FILE
    xvfb-run -a -s "-screen 0 1280x1024x24" bash -c '
        "$1" 2>"$2" &
        program=$!
        for _ in $(seq 150); do
            xdotool search --onlyvisible --name . >/dev/null 2>&1 && break
            kill -0 $program 2>/dev/null || { echo "ended at start-up" >&2; exit 3; }
            sleep 0.1
        done
        sleep 1 # a failure box comes after the first window appears
        kill -0 $program 2>/dev/null || { echo "ended at start-up" >&2; exit 3; }
        for window in $(xdotool search --onlyvisible --name .); do
            xdotool getwindowname "$window"
        done
        kill $program
        wait $program || true
    ' window_names "$prefix/bin/quillmere" "$1"
}

names=$(window_names "$work/stderr") || fail "the installed window did not stay up"
[ "$names" = Quillmere ] || fail "expected only the window \"Quillmere\", saw: $names"
[ ! -s "$work/stderr" ] || fail "the window wrote to standard error: $(cat "$work/stderr")"

# A damaged hand cursor beside the real executable must be the one that start-up reads, though
# the program was started through the link in bin.
echo "not a cursor" >"$programs/HAND-M.CUR"
names=$(window_names "$work/stderr") || fail "the window ended on a damaged cursor file"
grep -q "Application Error" <<<"$names" ||
    fail "a damaged HAND-M.CUR beside the program was not read; windows: $names"
echo "installed program: layout, links, quillmere-cli and the window all pass"
