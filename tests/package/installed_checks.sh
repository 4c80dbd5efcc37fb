#!/bin/bash
# installed_checks.sh VERSION RECORDING: run inside a Debian root where only the qmv2avi package (and
# what it depends on) was installed; checks the installed programs and files. Any failure ends with 1.
set -euo pipefail
version=$1
recording=$2
out=$(mktemp -d)

fail() { echo "FAIL: $*" >&2; exit 1; }
step() { echo "== $*"; }

step "package version"
[[ $(dpkg-query -W -f='${Version}' qmv2avi) == "$version" ]] || fail "dpkg says $(dpkg-query -W -f='${Version}' qmv2avi)"

step "qmv2avi-cli --version"
[[ $(qmv2avi-cli --version) == "qmv2avi-cli $version" ]] || fail "qmv2avi-cli --version: $(qmv2avi-cli --version)"
step "qmv2avi --version"
[[ $(qmv2avi --version) == "qmv2avi $version" ]] || fail "qmv2avi --version: $(qmv2avi --version)"

step "qmv2avi-cli info"
qmv2avi-cli info "$recording" | tee "$out/info.txt"
grep -q "DEMO-DVR" "$out/info.txt" || fail "info does not name the recorder"

step "qmv2avi-cli convert (pass-through)"
mkdir -p "$out/pass" "$out/mjpeg"
qmv2avi-cli convert "$recording" -o "$out/pass" --report
for n in 00 01 04 09; do [[ -s $out/pass/demo_$n.avi ]] || fail "no demo_$n.avi"; done
qmv2avi-cli verify "$out/pass/demo.report.json"

# Re-encoding decodes every frame with the Xvid library, which the program opens at run time; a frame it
# cannot decode is left out. CH-02 has no audio, so its file's size is that of its re-encoded pictures:
# 300 pictures of 704x576 in Motion JPEG take megabytes, the headers alone a few kilobytes.
step "qmv2avi-cli convert --reencode mjpeg"
qmv2avi-cli convert "$recording" -o "$out/mjpeg" --channels 2 --reencode mjpeg
size=$(stat -c %s "$out/mjpeg/demo_01.avi")
((size > 1000000)) || fail "the re-encoded demo_01.avi has $size bytes: its frames did not decode"

step "qmv2avi on the offscreen platform"
shown=$(QT_QPA_PLATFORM=offscreen QMV2AVI_QUIT_AFTER_SHOW=1 timeout 60 qmv2avi) || fail "qmv2avi ended with $?"
echo "$shown"
[[ $shown == "qmv2avi: window shown: QMV to AVI Converter" ]] || fail "the window did not show"

step "installed files"
for f in /usr/share/man/man1/qmv2avi-cli.1.gz /usr/share/man/man1/qmv2avi.1.gz \
         /usr/share/applications/org.qmv2avi.qmv2avi.desktop /usr/share/metainfo/org.qmv2avi.qmv2avi.metainfo.xml \
         /usr/share/icons/hicolor/scalable/apps/qmv2avi.svg /usr/share/icons/hicolor/48x48/apps/qmv2avi.png \
         /usr/share/bash-completion/completions/qmv2avi-cli /usr/share/zsh/vendor-completions/_qmv2avi-cli \
         /usr/share/doc/qmv2avi/README.md /usr/share/doc/qmv2avi/copyright; do
  [[ -s $f ]] || fail "missing $f"
done
zcat /usr/share/man/man1/qmv2avi-cli.1.gz | grep -q -- "--list-encoders" || fail "the manual page lacks convert's options"

# bash completion as bash-completion loads it on the first Tab: the words typed so far, then the reply.
step "bash completion"
complete_words() {
  (cd "$out" && bash -c 'source /usr/share/bash-completion/bash_completion
    _completion_loader qmv2avi-cli
    COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); COMP_LINE="$*"; COMP_POINT=${#COMP_LINE}
    _qmv2avi_cli qmv2avi-cli "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD-1]}"
    printf "%s\n" "${COMPREPLY[@]}"' _ "$@")
}
mkdir -p "$out/files/sub" && touch "$out/files/a.qmv" "$out/files/b.EXE" "$out/files/c.txt"
expect_completion() {
  local want=$1; shift
  local got; got=$(complete_words "$@" | sort | tr '\n' ' ')
  [[ $got == "$want" ]] || fail "completing '$*': got '$got', want '$want'"
}
expect_completion "convert " qmv2avi-cli con
expect_completion "--overwrite " qmv2avi-cli convert --overw
expect_completion "mjpeg " qmv2avi-cli convert --reencode mjp
expect_completion "json " qmv2avi-cli convert --progress j
expect_completion "files/a.qmv files/b.EXE files/sub " qmv2avi-cli info files/

# zsh completion with the completion system's builtins replaced by stubs that print what they are given:
# the words typed so far, then every candidate offered, one a line.
step "zsh completion"
zsh_candidates() {
  zsh -f -c 'compadd() { [[ $1 == -a ]] && print -rl -- ${(P)2} }
    _describe() { print -rl -- ${(P)4%%:*} }
    _files() { print -r -- "_files $*" }
    _values() { shift; print -rl -- "$@" }
    _arguments() { : }
    _message() { : }
    words=("$@"); CURRENT=$#; PREFIX=${@[-1]}
    source /usr/share/zsh/vendor-completions/_qmv2avi-cli' _ "$@"
}
expect_zsh() {
  local want=$1; shift
  zsh_candidates "$@" | grep -qxF -- "$want" || fail "zsh, completing '$*': no '$want' in: $(zsh_candidates "$@" | tr '\n' ' ')"
}
expect_zsh convert qmv2avi-cli ""
expect_zsh --overwrite qmv2avi-cli convert --
expect_zsh --output qmv2avi-cli convert --
expect_zsh --json qmv2avi-cli info --
expect_zsh mjpeg qmv2avi-cli convert --reencode ""
expect_zsh json qmv2avi-cli convert --progress ""
expect_zsh "_files -g *.(#i)(qmv|exe)(-.)" qmv2avi-cli info ""
echo "all checks passed"
