# Sourced by scripts/windows and scripts/windows-test: `took STEP` prints the step's wall time and the
# processor time its programs used since the last call. On a busy machine the wall time grows; the
# processor time does not.
step_start=$SECONDS
step_cpu=0
took() {
  local cpu file=${TMPDIR:-/tmp}/qmv2avi-times.$$
  times >"$file" # the shell's own times, then its children's: user and system
  cpu=$(awk 'NR == 2 { split($1, u, "m"); split($2, s, "m"); printf "%d", u[1] * 60 + u[2] + s[1] * 60 + s[2] }' "$file")
  rm -f "$file"
  echo "${0##*/}: $1 took $((SECONDS - step_start)) s, $((cpu - step_cpu)) s of processor time" >&2
  step_start=$SECONDS
  step_cpu=$cpu
}
